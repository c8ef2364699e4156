// The multi-pattern scan: anchors, the bit table and the verification.
#include "signatures/scanner.h"

#include <algorithm>
#include <cstring>

#include "readers/host_words.h"

namespace quorvane::signatures {
namespace {

constexpr std::size_t kMaxAnchor = sizeof(Anchor::bytes);

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

// Calls visit(byte) for each byte of the pattern, in order.
template <typename Visit>
void ForEachByte(const Pattern& p, Visit visit) {
  for (std::size_t i = 0; i < p.insns.size(); ++i) {
    const PatternInsn& insn = p.insns[i];
    const std::size_t group_end = insn.group >= 0 ? GroupEnd(insn) : 0;
    for (std::size_t k = 0; k < insn.bytes.size(); ++k) {
      const bool in_group = insn.group >= 0 && k >= static_cast<std::size_t>(insn.group) && k < group_end;
      const bool before_group = insn.group < 0 || k < static_cast<std::size_t>(insn.group);
      visit(PatternByte{i, k, insn.bytes[k], !insn.wild[k] && !in_group, !insn.wild[k] && before_group});
    }
  }
}

std::vector<PatternByte> Bytes(const Pattern& p) {
  std::vector<PatternByte> out;
  ForEachByte(p, [&](const PatternByte& b) { out.push_back(b); });
  return out;
}

constexpr std::size_t kSampleStep = 61;

// Three bytes as a number, and a hash of it in `bits` bits.
std::uint32_t TripleAt(const std::uint8_t* b) {
  return b[0] | static_cast<std::uint32_t>(b[1]) << 8 | static_cast<std::uint32_t>(b[2]) << 16;
}
std::uint32_t HashIn(unsigned bits, std::uint32_t triple) { return (triple * 2654435761u) >> (32 - bits); }
std::uint32_t CountHash(std::uint32_t triple) { return HashIn(16, triple); }

// How often runs of three bytes occur in the code, estimated from a sample:
// the three bytes at every 61st byte, counted by a 16-bit hash. A count for
// each hash, or for a small sample (a small image) a table of the hashes
// met, at most half full.
class Counts {
 public:
  explicit Counts(const PeImage& image) {
    std::size_t samples = 0;
    for (const PeSection& s : image.sections) {
      if (s.code && s.bytes.size() >= 3) samples += (s.bytes.size() - 3) / kSampleStep + 1;
    }
    constexpr std::size_t kHashes = std::size_t{1} << 16;
    std::size_t size = 64;
    while (size < 2 * samples) size *= 2;
    if (size >= kHashes / 8) {
      count_.resize(kHashes);
    } else {
      hash_.resize(size);
      count_.resize(size);
    }
    for (const PeSection& s : image.sections) {
      for (std::size_t p = 0; s.code && p + 3 <= s.bytes.size(); p += kSampleStep) {
        const std::uint32_t hash = CountHash(TripleAt(&s.bytes[p]));
        const std::size_t i = Entry(hash);
        if (!hash_.empty()) hash_[i] = static_cast<std::uint16_t>(hash);
        ++count_[i];
      }
    }
  }
  std::uint32_t operator[](std::uint32_t hash) const { return count_[Entry(hash)]; }

 private:
  // The entry of `hash`: its own, or in the table of hashes met where it was
  // counted or the free one it would take (a count of 0).
  std::size_t Entry(std::uint32_t hash) const {
    if (hash_.empty()) return hash;
    const std::size_t mask = hash_.size() - 1;
    std::size_t i = hash & mask;
    while (count_[i] != 0 && hash_[i] != hash) i = (i + 1) & mask;
    return i;
  }

  std::vector<std::uint16_t> hash_;  // of each entry: empty for a count for each hash
  std::vector<std::uint32_t> count_;
};

// The anchor of exactly `length` bytes whose runs of three bytes the code
// holds least often.
Anchor ChooseAnchor(const Pattern& p, std::size_t length, const Counts& counts) {
  const std::vector<PatternByte> bytes = Bytes(p);
  Anchor best;
  std::uint64_t best_score = 0;
  for (std::size_t i = 0; i + length <= bytes.size(); ++i) {
    if (!bytes[i].may_start) continue;
    Anchor a{bytes[i].insn, bytes[i].offset, length, {}};
    std::size_t k = 0;
    for (; k < length && bytes[i + k].fixed; ++k) a.bytes[k] = bytes[i + k].value;
    if (k < length) continue;
    std::uint64_t score = 0;
    for (std::size_t j = 0; j + 3 <= length; ++j) score += counts[CountHash(TripleAt(a.bytes + j))];
    if (best.length == 0 || score < best_score) {
      best = a;
      best_score = score;
    }
  }
  return best;
}

struct Entry {
  std::size_t pattern;
  std::size_t min_offset;  // of the anchor from the pattern's start, 1-byte displacements
  std::size_t groups;      // groups before the anchor
  Anchor anchor;
};

// Three bytes of an anchor: their hash, which anchor, and where in it.
struct Triple {
  std::uint32_t hash;
  std::uint32_t entry;
  std::uint32_t at;
  bool operator<(const Triple& o) const { return hash < o.hash; }
};

// The bit table has a bit for each hash of three bytes: 2^18 bits, or for
// small code (under 64 KiB) four for each of its bytes, 2^12 at least.
constexpr unsigned kLeastHashBits = 12;
constexpr unsigned kHashBits = 18;

// Every anchor is m bytes long (the shortest anchor's length; longer ones
// are cut), so it holds m - 2 runs of three bytes at consecutive offsets:
// exactly one of them starts at a multiple of m - 2. Looking up the three
// bytes at every (m - 2)-th byte in a bit table of their hashes therefore
// finds each place once, and no lookup waits for another.
class Scan {
 public:
  Scan(const PeImage& image, const std::vector<const Pattern*>& patterns, MatchSink& sink)
      : patterns_(patterns), sink_(sink) {
    std::size_t m = kMaxAnchor;
    for (const Pattern* p : patterns) {
      const std::size_t length = LongestAnchor(*p);
      if (length >= kMinScanAnchor) m = std::min(m, length);
    }
    m_ = m;
    std::size_t code = 0;
    for (const PeSection& s : image.sections) code += s.code ? s.bytes.size() : 0;
    while (bits_ < kHashBits && (std::size_t{1} << bits_) < 4 * code) ++bits_;
    seen_.assign((std::size_t{1} << bits_) / 8, 0);
    const Counts counts(image);
    for (std::size_t i = 0; i < patterns.size(); ++i) Add(i, counts);
    std::sort(triples_.begin(), triples_.end());
  }

  void Section(const PeSection& s) {
    if (entries_.empty()) return;
    const std::uint8_t* text = s.bytes.data();
    const std::size_t n = s.bytes.size();
    const std::size_t step = m_ - 2;
    std::size_t p = 0;
    // Four lookups at a time; most find nothing.
    for (; p + 3 * step + 4 <= n; p += 4 * step) {
      const std::uint32_t a = Hash(Load24(text + p)), b = Hash(Load24(text + p + step));
      const std::uint32_t c = Hash(Load24(text + p + 2 * step)), d = Hash(Load24(text + p + 3 * step));
      if (Seen(a) | Seen(b) | Seen(c) | Seen(d)) {
        for (std::size_t k = 0; k < 4; ++k) Look(s, p + k * step);
      }
    }
    for (; p + 3 <= n; p += step) Look(s, p);
  }

 private:
  void Add(std::size_t index, const Counts& counts) {
    const Pattern& p = *patterns_[index];
    Entry e{};
    e.anchor = ChooseAnchor(p, m_, counts);
    if (e.anchor.length < m_) return;
    e.pattern = index;
    e.min_offset = MinOffset(p, e.anchor.insn) + e.anchor.offset;
    e.groups = GroupsBefore(p, e.anchor.insn);
    for (std::size_t j = 0; j + 3 <= m_; ++j) {
      const std::uint32_t h = Hash(TripleAt(e.anchor.bytes + j));
      seen_[h >> 3] = static_cast<std::uint8_t>(seen_[h >> 3] | 1u << (h & 7));
      triples_.push_back({h, static_cast<std::uint32_t>(entries_.size()), static_cast<std::uint32_t>(j)});
    }
    entries_.push_back(e);
  }

  std::uint32_t Hash(std::uint32_t triple) const { return HashIn(bits_, triple); }
  // Three bytes in one load (the fourth is there: the caller sees to it).
  static std::uint32_t Load24(const std::uint8_t* text) { return LoadU32(text) & 0xFFFFFFu; }
  unsigned Seen(std::uint32_t h) const { return seen_[h >> 3] >> (h & 7) & 1u; }

  // The anchors whose three bytes hash as those at `p` do, compared where
  // they would lie.
  [[gnu::noinline]] void Look(const PeSection& s, std::size_t p) {
    const std::uint8_t* text = s.bytes.data();
    const std::uint32_t h = Hash(TripleAt(text + p));
    if (!Seen(h)) return;
    const auto range = std::equal_range(triples_.begin(), triples_.end(), Triple{h, 0, 0});
    for (auto t = range.first; t != range.second; ++t) {
      const Entry& e = entries_[t->entry];
      if (t->at > p || p - t->at + m_ > s.bytes.size()) continue;
      const std::size_t window = p - t->at;
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
  std::size_t m_ = kMinScanAnchor;
  unsigned bits_ = kLeastHashBits;
  std::vector<std::uint8_t> seen_;  // a bit for each hash of three bytes of an anchor
  std::vector<Entry> entries_;
  std::vector<Triple> triples_;  // by hash
  Placement placement_;
};

}  // namespace

std::size_t LongestAnchor(const Pattern& p) {
  // An anchor runs over the fixed bytes from where it starts: the longest in
  // a run of fixed bytes starts at the first of them that may start one.
  std::size_t longest = 0;
  std::size_t run = 0;  // fixed bytes in a row from that first one
  bool started = false;
  ForEachByte(p, [&](const PatternByte& b) {
    if (!b.fixed) {
      started = false;
      run = 0;
      return;
    }
    started |= b.may_start;
    if (started) longest = std::max(longest, std::min(kMaxAnchor, ++run));
  });
  return longest;
}

void ScanCode(const PeImage& image, const std::vector<const Pattern*>& patterns, MatchSink& sink) {
  if (patterns.empty()) return;
  Scan scan(image, patterns, sink);
  for (const PeSection& s : image.sections) {
    if (s.code) scan.Section(s);
  }
}

}  // namespace quorvane::signatures
