// One pass over a module's code sections for many patterns at once. Each
// pattern is found through an anchor, a run of its bytes that neither a
// wildcard nor a displacement of changing length interrupts. The anchors are
// looked for together: every few bytes, the three bytes there are looked up
// in a bit table of those the anchors hold (each byte is read once, and no
// lookup waits for another); where an anchor may lie, it is compared, and
// where it lies, its whole pattern is matched around it.
#ifndef QUORVANE_SIGNATURES_SCANNER_H
#define QUORVANE_SIGNATURES_SCANNER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "signatures/pe_image.h"
#include "signatures/signature.h"

namespace quorvane::signatures {

// Where a pattern can be anchored: `length` fixed bytes from byte `offset`
// of instruction `insn` (an offset before that instruction's group, if it
// has one). Length 0: nowhere (fewer than two fixed bytes in a row).
// Patterns are found through anchors of at least kMinScanAnchor bytes.
constexpr std::size_t kMinScanAnchor = 3;
struct Anchor {
  std::size_t insn = 0;
  std::size_t offset = 0;
  std::size_t length = 0;
  std::uint8_t bytes[8] = {};
};

// The length of the pattern's longest anchor, up to 8 bytes. The scan cuts
// every anchor to the shortest one's length and, among the places in a
// pattern where such an anchor may lie, takes the one whose bytes the code
// holds least often (by a sample of the code).
std::size_t LongestAnchor(const Pattern& p);

// Told of each place a pattern matches (its bytes; deeper checks are the
// sink's).
class MatchSink {
 public:
  virtual void Take(std::size_t pattern, const PeSection& section, std::size_t start,
                    const Placement& placement) = 0;

 protected:
  ~MatchSink() = default;
};

// Calls sink.Take once for every place in the code sections where one of
// `patterns` matches (each match found through its anchor, so once). A
// pattern without an anchor of kMinScanAnchor bytes is never found.
void ScanCode(const PeImage& image, const std::vector<const Pattern*>& patterns, MatchSink& sink);

}  // namespace quorvane::signatures

#endif
