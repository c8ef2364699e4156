// One streaming pass over host memory: the readable regions are copied in
// large chunks (one ReadHostMemory per chunk) and handed to a visitor, with
// the tail of the chunk before carried over so that a run of bytes that
// straddles two chunks, or two adjacent regions, is seen whole.
#ifndef QUORVANE_FINDER_SCAN_H
#define QUORVANE_FINDER_SCAN_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/host_scan.h"

namespace finder {

using quorvane::HostRegion;

// The readable regions that overlap [from, to), clipped to it, in address
// order. *ended is set when the memory map could not be queried to its end
// because the process has ended.
std::vector<HostRegion> ReadableRegions(std::uint32_t from, std::uint64_t to, bool* ended);

std::uint64_t TotalBytes(const std::vector<HostRegion>& regions);

// Told after every chunk: bytes done in this pass.
using ChunkDone = std::function<void(std::uint64_t done)>;

// Receives `size` bytes copied from host address `address`. The first
// `carried` of them were already at the end of the previous call (at most
// the pass's overlap, and only when that chunk ended where this one starts).
using ChunkVisitor = std::function<void(std::uint32_t address, const std::uint8_t* data,
                                        std::size_t size, std::size_t carried)>;

struct PassStats {
  std::uint64_t bytes = 0;         // copied from the host
  std::uint32_t failed_reads = 0;  // chunks that could not be copied whole
  bool process_ended = false;      // the pass stopped there
  // What the memory map listed as readable but could not be read (freed,
  // decommitted or protected since): whatever it held was not seen.
  std::vector<HostRegion> lost;
};

// Streams `regions` in chunks of `chunk` bytes (a multiple of 4). A chunk
// that cannot be read whole is read again page by page, and only what
// cannot be read is skipped (and noted in `lost`); the bytes carried over
// from the chunk before still join the first page read. When the process
// has ended the pass stops.
PassStats StreamRegions(const std::vector<HostRegion>& regions, std::uint32_t chunk,
                        std::uint32_t overlap, const ChunkVisitor& visit, const ChunkDone& done);

// Every occurrence of a few byte strings, in one pass over the data: a
// Horspool search on the pair of bytes at the end of the window (the
// shortest pattern's length), shared by all patterns. UTF-16 text has a zero
// in every other byte, and memory is full of zeros: a shift on one byte
// would crawl there, a shift on two does not.
class MarkerSearch {
 public:
  // Hits name a pattern by its index here; an empty one is never found.
  explicit MarkerSearch(std::vector<std::string> patterns);
  std::uint32_t Overlap() const;  // longest pattern - 1
  // Calls hit(pattern index, address) for each occurrence in the chunk that
  // was not wholly in the carried bytes.
  void Search(std::uint32_t address, const std::uint8_t* data, std::size_t size,
              std::size_t carried,
              const std::function<void(std::size_t, std::uint32_t)>& hit) const;

 private:
  // The shift table's key for the two bytes at `at`: the first byte and the
  // low four bits of the second.
  static std::size_t Pair(const std::uint8_t* at) {
    std::uint16_t pair;
    std::memcpy(&pair, at, 2);  // little-endian, like host memory: the first byte low
    return pair & 0x0FFFu;
  }
  void Check(std::uint32_t address, const std::uint8_t* data, std::size_t size, std::size_t carried,
             std::size_t i, const std::function<void(std::size_t, std::uint32_t)>& hit) const;

  std::vector<std::string> patterns_;
  std::size_t window_ = 0;           // the shortest pattern's length
  std::vector<std::uint8_t> shift_;  // by Pair of the window's last two bytes
};

// Many 32-bit values looked for at once in 4-aligned words: a bitmap of a
// hash of each value rejects nearly every word with one load, the sorted
// values settle the rest.
class PointerTargets {
 public:
  explicit PointerTargets(std::vector<std::uint32_t> values);
  bool Empty() const { return values_.empty(); }
  // Calls hit(address of the word, value) for each 4-aligned word of the
  // chunk equal to a target. `address` must be 4-aligned.
  void Search(std::uint32_t address, const std::uint8_t* data, std::size_t size,
              const std::function<void(std::uint32_t, std::uint32_t)>& hit) const;

 private:
  static std::uint32_t Hash(std::uint32_t value) { return (value * 0x9E3779B1u) >> 16; }
  std::vector<std::uint32_t> values_;  // sorted, unique
  std::vector<std::uint32_t> bitmap_;  // 2^16 bits
};

// Many 32-bit values looked for at once a short way above 4-aligned words:
// for a word w, every value v with w <= v <= w + reach. A bitmap of the
// pages such words lie in (by the low 16 bits of the page number) rejects
// nearly every other word with one load; the sorted values settle the rest.
class RangeTargets {
 public:
  // `values` in ascending order (they are named by their index there).
  RangeTargets(std::vector<std::uint32_t> values, std::uint32_t reach);
  // Calls hit(address of the word, word, index of the value) for each
  // 4-aligned word of the chunk and each value within reach above it, in
  // the values' order. `address` must be 4-aligned.
  void Search(std::uint32_t address, const std::uint8_t* data, std::size_t size,
              const std::function<void(std::uint32_t, std::uint32_t, std::size_t)>& hit) const;

 private:
  static constexpr std::uint32_t kPageBits = 12;
  std::vector<std::uint32_t> values_;
  std::uint32_t reach_;
  std::vector<std::uint32_t> bitmap_;  // 2^16 bits, by the page number's low 16 bits
};

}  // namespace finder

#endif
