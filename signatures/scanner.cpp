// The multi-pattern scan: anchors, the shift table and the verification.
#include "signatures/scanner.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace quorvane::signatures {
namespace {

constexpr std::size_t kMaxAnchor = sizeof(Anchor::bytes);

// Bytes frequent in 32-bit x86 code: opcodes of moves, pushes, calls and
// branches, the common ModRM and SIB bytes, small displacements.
bool Common(std::uint8_t b) {
  static const std::uint8_t kCommon[] = {
      0x00, 0x01, 0x04, 0x08, 0x0C, 0x0F, 0x10, 0x24, 0x44, 0x45, 0x4C, 0x50, 0x54, 0x55,
      0x5D, 0x68, 0x6A, 0x74, 0x75, 0x83, 0x85, 0x89, 0x8B, 0x8D, 0x90, 0xC0, 0xC3, 0xC4,
      0xC7, 0xCC, 0xE5, 0xE8, 0xEB, 0xEC, 0xF4, 0xF8, 0xFC, 0xFF};
  return std::binary_search(std::begin(kCommon), std::end(kCommon), b);
}

// One byte of a pattern in order: whether it is fixed, and whether an anchor
// may start there (its offset in the instruction does not depend on a
// group's length).
struct PatternByte {
  std::size_t insn;
  std::size_t offset;
  std::uint8_t value;
  bool fixed;
  bool may_start;
};

std::vector<PatternByte> Bytes(const Pattern& p) {
  std::vector<PatternByte> out;
  for (std::size_t i = 0; i < p.insns.size(); ++i) {
    const PatternInsn& insn = p.insns[i];
    std::size_t group_end = 0;
    if (insn.group >= 0) {
      const auto g = static_cast<std::size_t>(insn.group);
      const std::uint8_t modrm = insn.bytes[g];
      group_end = g + 1 + ((modrm & 7) == 4 ? 1 : 0) + ((modrm >> 6) == 1 ? 1 : 4);
    }
    for (std::size_t k = 0; k < insn.bytes.size(); ++k) {
      const bool in_group = insn.group >= 0 && k >= static_cast<std::size_t>(insn.group) && k < group_end;
      const bool before_group = insn.group < 0 || k < static_cast<std::size_t>(insn.group);
      out.push_back({i, k, insn.bytes[k], !insn.wild[k] && !in_group, !insn.wild[k] && before_group});
    }
  }
  return out;
}

struct Entry {
  std::size_t pattern;
  std::size_t min_offset;  // of the anchor from the pattern's start, 1-byte displacements
  std::size_t groups;      // groups before the anchor
  Anchor anchor;
};

// A byte pair of an anchor: which anchor, and where in it.
struct Pair {
  std::uint32_t entry;
  std::uint32_t at;
  std::int32_t next;  // the next with the same bytes, or -1
};

// Every anchor is m bytes long (the shortest anchor's length; longer ones
// are cut), so it holds m - 1 byte pairs at consecutive offsets: exactly one
// of them starts at a multiple of m - 1. Looking at the pair at every
// (m - 1)-th byte therefore finds each place once, and no step waits for the
// one before it.
class Scan {
 public:
  Scan(const std::vector<const Pattern*>& patterns, MatchSink& sink) : patterns_(patterns), sink_(sink) {
    std::size_t m = kMaxAnchor;
    for (const Pattern* p : patterns) {
      const std::size_t length = BestAnchor(*p, kMaxAnchor).length;
      if (length >= 2) m = std::min(m, length);
    }
    m_ = m;
    std::fill(std::begin(seen_), std::end(seen_), 0);
    std::fill(std::begin(head_), std::end(head_), -1);
    for (std::size_t i = 0; i < patterns.size(); ++i) Add(i);
  }

  void Section(const PeSection& s) {
    if (entries_.empty()) return;
    const std::uint8_t* text = s.bytes.data();
    const std::size_t n = s.bytes.size();
    const std::size_t step = m_ - 1;
    std::size_t p = 0;
    // Four lookups at a time; most find nothing.
    for (; p + 3 * step + 1 < n; p += 4 * step) {
      const unsigned a = PairAt(text, p), b = PairAt(text, p + step);
      const unsigned c = PairAt(text, p + 2 * step), d = PairAt(text, p + 3 * step);
      if (Seen(a) | Seen(b) | Seen(c) | Seen(d)) {
        for (std::size_t k = 0; k < 4; ++k) Look(s, p + k * step);
      }
    }
    for (; p + 1 < n; p += step) Look(s, p);
  }

  private:
  void Add(std::size_t index) {
    const Pattern& p = *patterns_[index];
    Entry e{};
    e.anchor = BestAnchor(p, m_);
    if (e.anchor.length < m_) return;
    e.pattern = index;
    e.min_offset = MinOffset(p, e.anchor.insn) + e.anchor.offset;
    e.groups = GroupsBefore(p, e.anchor.insn);
    for (std::size_t j = 0; j + 1 < m_; ++j) {
      const unsigned pair = e.anchor.bytes[j] | static_cast<unsigned>(e.anchor.bytes[j + 1]) << 8;
      seen_[pair >> 3] = static_cast<std::uint8_t>(seen_[pair >> 3] | 1u << (pair & 7));
      pairs_.push_back({static_cast<std::uint32_t>(entries_.size()), static_cast<std::uint32_t>(j), head_[pair]});
      head_[pair] = static_cast<std::int32_t>(pairs_.size() - 1);
    }
    entries_.push_back(e);
  }

  static unsigned PairAt(const std::uint8_t* text, std::size_t p) {
    return text[p] | static_cast<unsigned>(text[p + 1]) << 8;
  }
  unsigned Seen(unsigned pair) const { return seen_[pair >> 3] >> (pair & 7) & 1u; }

  // The anchors that hold the pair at `p`, compared where they would lie.
  [[gnu::noinline]] void Look(const PeSection& s, std::size_t p) {
    const std::uint8_t* text = s.bytes.data();
    const unsigned pair = PairAt(text, p);
    if (!Seen(pair)) return;
    for (std::int32_t i = head_[pair]; i >= 0; i = pairs_[static_cast<std::size_t>(i)].next) {
      const Pair& at = pairs_[static_cast<std::size_t>(i)];
      const Entry& e = entries_[at.entry];
      if (at.at > p || p - at.at + m_ > s.bytes.size()) continue;
      const std::size_t window = p - at.at;
      if (std::memcmp(text + window, e.anchor.bytes, m_) == 0) Try(e, s, window);
    }
  }

  // The pattern's start lies before the anchor by its least offset plus 3
  // bytes for each group before it with a 4-byte displacement.
  void Try(const Entry& e, const PeSection& s, std::size_t window) {
    const Pattern& p = *patterns_[e.pattern];
    for (std::size_t t = 0; t <= e.groups; ++t) {
      const std::size_t back = e.min_offset + 3 * t;
      if (back > window) break;
      const std::size_t start = window - back;
      if (MatchAt(p, s.bytes.data(), s.bytes.size(), start, &placement_) &&
          start + placement_.at[e.anchor.insn] + e.anchor.offset == window) {
        sink_.Take(e.pattern, s, start, placement_);
      }
    }
  }

  const std::vector<const Pattern*>& patterns_;
  MatchSink& sink_;
  std::size_t m_ = 2;
  std::uint8_t seen_[(1 << 16) / 8];  // a bit for each byte pair that some anchor holds
  std::int32_t head_[1 << 16];        // its first entry in pairs_
  std::vector<Entry> entries_;
  std::vector<Pair> pairs_;
  Placement placement_;
};

}  // namespace

Anchor BestAnchor(const Pattern& p, std::size_t max_length) {
  const std::vector<PatternByte> bytes = Bytes(p);
  Anchor best;
  std::size_t best_common = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!bytes[i].may_start) continue;
    std::size_t length = 0, common = 0;
    while (length < max_length && i + length < bytes.size() && bytes[i + length].fixed) {
      common += Common(bytes[i + length].value);
      ++length;
    }
    if (length < 2) continue;
    if (length > best.length || (length == best.length && common < best_common)) {
      best = {bytes[i].insn, bytes[i].offset, length, {}};
      for (std::size_t k = 0; k < length; ++k) best.bytes[k] = bytes[i + k].value;
      best_common = common;
    }
  }
  return best;
}

void ScanCode(const PeImage& image, const std::vector<const Pattern*>& patterns, MatchSink& sink) {
  if (patterns.empty()) return;
  // The tables are large for the stack.
  auto scan = std::make_unique<Scan>(patterns, sink);
  for (const PeSection& s : image.sections) {
    if (s.code) scan->Section(s);
  }
}

}  // namespace quorvane::signatures
