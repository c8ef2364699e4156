// Decoding around a place by self-synchronisation.
#include "signatures/code_walk.h"

#include <algorithm>
#include <initializer_list>

namespace quorvane::signatures {
namespace {

// The instruction at `rva` of the section, as the decoder remembers it (until
// its next decoding), or null.
const Insn* DecodedIn(Decoder& decoder, const PeSection& section, std::uint32_t rva) {
  if (rva < section.rva || rva - section.rva >= section.bytes.size()) return nullptr;
  const std::size_t at = rva - section.rva;
  return decoder.Decoded(section.bytes.data() + at, section.bytes.size() - at, rva);
}

bool DecodeIn(Decoder& decoder, const PeSection& section, std::uint32_t rva, Insn* out) {
  const Insn* insn = DecodedIn(decoder, section, rva);
  if (insn != nullptr) *out = *insn;
  return insn != nullptr;
}

// Start points before a place: at most nine.
struct Starts {
  std::uint32_t at[9];
  std::size_t count = 0;
  const std::uint32_t* begin() const { return at; }
  const std::uint32_t* end() const { return at + count; }
};

// The start points `distances` (nine at most) bytes before `rva`, kept
// inside the section, farthest first, each once.
Starts StartsBefore(const PeSection& section, std::uint32_t rva,
                    std::initializer_list<std::uint32_t> distances) {
  Starts starts;
  for (const std::uint32_t d : distances) {
    const std::uint32_t s = rva - section.rva > d ? rva - d : section.rva;
    if (std::find(starts.begin(), starts.end(), s) == starts.end()) starts.at[starts.count++] = s;
  }
  return starts;
}

// Decodes from `start` while instructions start before `end`; false when a
// byte does not decode. The instructions go to `out` when given.
bool DecodeUpTo(Decoder& decoder, const PeSection& section, std::uint32_t start, std::uint32_t end,
                std::uint32_t* reached, std::vector<Insn>* out) {
  std::uint32_t at = start;
  Insn insn;
  while (at < end) {
    if (!DecodeIn(decoder, section, at, &insn)) return false;
    if (out != nullptr) out->push_back(insn);
    at += insn.size;
  }
  *reached = at;
  return true;
}

// The index of `insn` among those found, added with no votes when new.
int Found(std::vector<Insn>& found, std::vector<int>& votes, const Insn& insn) {
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (found[i].rva == insn.rva) return static_cast<int>(i);
  }
  found.push_back(insn);
  votes.push_back(0);
  return static_cast<int>(found.size() - 1);
}

bool HoldsWord(const Insn& insn, std::uint32_t word_rva) {
  const std::uint32_t at = word_rva - insn.rva;
  return (insn.disp_at == at && insn.disp_size == 4) ||
         (insn.imm_at == at && insn.imm_size == 4 && !insn.relative);
}

}  // namespace

bool DecodeAt(Decoder& decoder, const PeImage& image, std::uint32_t rva, Insn* out) {
  const PeSection* section = CodeSectionAt(image, rva, 1);
  return section != nullptr && DecodeIn(decoder, *section, rva, out);
}

bool FindInsnWithWord(Decoder& decoder, const PeSection& section, std::uint32_t word_rva,
                      Insn* out) {
  std::vector<Insn> found;  // instructions the decodings ended on
  std::vector<int> votes;   // for each
  bool from_section_start = false;
  // Decoding from a boundary always goes the same way: a decoding that meets
  // a boundary an earlier one passed ends where that one ended. For each
  // boundary, by its distance before the word (0 to 64): where the decodings
  // through it ended, as an index in `found`, or nowhere.
  constexpr int kUnseen = -2, kNowhere = -1;
  int ends[65];
  std::fill(std::begin(ends), std::end(ends), kUnseen);
  for (const std::uint32_t s : StartsBefore(section, word_rva, {64, 48, 40, 32, 24, 16, 12, 8, 4})) {
    std::uint32_t passed[65];  // this decoding's boundaries, by distance
    std::size_t count = 0;
    int end = kUnseen;
    for (std::uint32_t at = s; end == kUnseen;) {
      if (ends[word_rva - at] != kUnseen) {
        end = ends[word_rva - at];
        break;
      }
      passed[count++] = word_rva - at;
      const Insn* insn = DecodedIn(decoder, section, at);
      if (insn == nullptr) {
        end = kNowhere;
      } else if (at + insn->size <= word_rva) {
        at += insn->size;
      } else {
        end = HoldsWord(*insn, word_rva) ? Found(found, votes, *insn) : kNowhere;
      }
    }
    for (std::size_t i = 0; i < count; ++i) ends[passed[i]] = end;
    if (end == kNowhere) continue;
    ++votes[static_cast<std::size_t>(end)];
    from_section_start |= s == section.rva;
  }
  // The most votes, more than any other instruction has, and two of them
  // unless one decoding began at the section's start.
  const auto best = std::max_element(votes.begin(), votes.end());
  if (best == votes.end() || std::count(votes.begin(), votes.end(), *best) > 1) return false;
  if (*best < 2 && !from_section_start) return false;
  *out = found[static_cast<std::size_t>(best - votes.begin())];
  return true;
}

std::vector<Insn> InsnsBefore(Decoder& decoder, const PeSection& section, std::uint32_t rva,
                              std::size_t count) {
  std::vector<std::vector<Insn>> landed;
  for (const std::uint32_t s : StartsBefore(section, rva, {256, 192, 128, 96, 64, 32})) {
    std::vector<Insn> run;
    run.reserve(rva - s);  // at most an instruction a byte
    std::uint32_t reached = 0;
    if (s < rva && DecodeUpTo(decoder, section, s, rva, &reached, &run) && reached == rva) {
      landed.push_back(std::move(run));
    }
    if (landed.size() == 2) break;
  }
  std::vector<Insn> trusted;
  if (landed.size() == 2) {
    // After their first common boundary the two decodings are the same.
    const std::vector<Insn>& far = landed[0];
    const std::vector<Insn>& near = landed[1];
    auto meet = std::find_if(far.begin(), far.end(), [&](const Insn& a) {
      return std::any_of(near.begin(), near.end(), [&](const Insn& b) { return a.rva == b.rva; });
    });
    trusted.assign(meet, far.end());
  } else if (landed.size() == 1 && !landed[0].empty() && landed[0].front().rva == section.rva) {
    trusted = std::move(landed[0]);
  }
  if (trusted.size() > count) trusted.erase(trusted.begin(), trusted.end() - static_cast<long>(count));
  return trusted;
}

std::vector<Insn> InsnsFrom(Decoder& decoder, const PeSection& section, std::uint32_t rva,
                            std::size_t count) {
  std::vector<Insn> run;
  Insn insn;
  for (std::uint32_t at = rva; run.size() < count && DecodeIn(decoder, section, at, &insn);
       at += insn.size) {
    run.push_back(insn);
    if (insn.op == Op::kReturn) break;
  }
  return run;
}

}  // namespace quorvane::signatures
