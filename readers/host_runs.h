// How a run of characters in host memory (a string up to its NUL byte, a
// wide text up to its NUL unit) is read: page by page, up to a bound, and
// where it ends. Every reader of such a run follows this one rule, the
// module's and the probe's alike. Header only, no system calls: each reader
// passes its own way of reading.
#ifndef QUORVANE_READERS_HOST_RUNS_H
#define QUORVANE_READERS_HOST_RUNS_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace quorvane {

// What one chunk of a run said.
enum class RunStep { kGoOn, kEnd, kUnreadable };

// Reads a run of `unit`-byte elements (1: a string, 2: a wide text) that
// starts at `address`, at most `limit` bytes of it, page by page, so that a
// terminator just before an unreadable page is still found. Each chunk holds
// whole elements and ends at the end of a page or of the limit; an element
// that straddles a page boundary is read as a chunk of its own. For each
// chunk, `step(at, taken, chunk)` reads the `chunk` bytes at host address
// `at`, the run's bytes `taken` onwards, and says whether the run goes on.
// Returns kEnd when a step ended it, kGoOn when the limit was reached first
// and kUnreadable when a step could not read its chunk; *taken receives the
// bytes of the chunks that went on.
template <typename Step>
RunStep ReadRunByPages(std::uint32_t address, std::uint32_t unit, std::uint32_t limit,
                       std::uint32_t* taken, Step step) {
  *taken = 0;
  while (limit - *taken >= unit) {
    const std::uint32_t at = address + *taken;
    std::uint32_t chunk = std::min(kHostPageSize - at % kHostPageSize, limit - *taken);
    chunk -= chunk % unit;
    if (chunk == 0) chunk = unit;  // one element across a page boundary
    const RunStep said = step(at, *taken, chunk);
    if (said != RunStep::kGoOn) return said;
    *taken += chunk;
  }
  return RunStep::kGoOn;
}

// Whether any byte (unit 1) or 16-bit half (unit 2) of a little-endian word
// is zero: the borrow of subtracting 1 from each reaches its top bit only
// through a zero one.
inline bool HasZeroElement(std::uint32_t word, std::uint32_t unit) {
  const std::uint32_t ones = unit == 1 ? 0x01010101u : 0x00010001u;
  return ((word - ones) & ~word & (ones << (8 * unit - 1))) != 0;
}

// Offset of the first all-zero `unit`-byte element among the whole elements
// of the `bytes` bytes at `at`, or the bytes of those elements when there is
// none. Looks at a word at a time.
inline std::uint32_t FindTerminator(const std::uint8_t* at, std::uint32_t unit,
                                    std::uint32_t bytes) {
  const auto word = [at](std::uint32_t i) {
    std::uint32_t w;
    std::memcpy(&w, at + i, sizeof w);
    return w;
  };
  const std::uint32_t end = bytes - bytes % unit;
  std::uint32_t i = 0;
  while (end - i >= 8 && !HasZeroElement(word(i), unit) && !HasZeroElement(word(i + 4), unit)) {
    i += 8;
  }
  while (end - i >= 4 && !HasZeroElement(word(i), unit)) i += 4;
  for (; i < end; i += unit) {
    if (at[i] == 0 && (unit == 1 || at[i + 1] == 0)) return i;
  }
  return end;
}

// Where a run ends.
enum class RunEnd {
  kTerminator,  // at its terminator
  kBound,       // the bound came first
  kUnreadable,  // a byte before either cannot be read
};

struct RunExtent {
  RunEnd end;
  // kTerminator: the bytes before the terminator; kBound: the bytes of the
  // whole elements within the bound; kUnreadable: the bytes before the first
  // element that cannot be read whole.
  std::uint32_t length;
};

// Follows the run of `unit`-byte elements at `address` to its terminator,
// reading at most `bound` bytes, page by page (ReadRunByPages).
// `read(at, offset, size)` copies the `size` bytes at host address `at`, the
// run's bytes `offset` onwards, and returns where it put them, or nullptr
// when any of them cannot be read. Pages are readable as a whole, so a chunk
// that cannot be read fails at its first element. Which byte of that element
// cannot be read (the second page's first, for an element across two) is
// left to a caller that needs it: telling would take one more read, and on
// the module's side a read of memory that cannot be read is a fault the
// host sees.
template <typename ReadChunk>
RunExtent FindRunEnd(std::uint32_t address, std::uint32_t unit, std::uint32_t bound,
                     ReadChunk&& read) {
  RunExtent extent{RunEnd::kBound, 0};
  std::uint32_t taken = 0;
  const RunStep said = ReadRunByPages(
      address, unit, bound, &taken,
      [&](std::uint32_t at, std::uint32_t offset, std::uint32_t chunk) {
        const std::uint8_t* bytes = read(at, offset, chunk);
        if (bytes == nullptr) {
          extent = {RunEnd::kUnreadable, offset};
          return RunStep::kUnreadable;
        }
        const std::uint32_t end = FindTerminator(bytes, unit, chunk);
        if (end == chunk) return RunStep::kGoOn;
        extent = {RunEnd::kTerminator, offset + end};
        return RunStep::kEnd;
      });
  if (said == RunStep::kGoOn) extent.length = taken;
  return extent;
}

}  // namespace quorvane

#endif
