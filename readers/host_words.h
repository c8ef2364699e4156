// The low-level rules every reader of host memory shares, the module's and
// the probe's alike: how a 32-bit word is stored, where a type's slot lies,
// and how a run of characters is read page by page. Header only, no system
// calls: each reader passes its own way of reading.
#ifndef QUORVANE_READERS_HOST_WORDS_H
#define QUORVANE_READERS_HOST_WORDS_H

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

namespace quorvane {

// A 16-bit and a 32-bit little-endian value stored at `at`.
inline std::uint32_t LoadU16(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8;
}
inline std::uint32_t LoadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Reads the 32-bit word at host address `address`.
inline bool ReadHostU32(std::uint32_t address, std::uint32_t* value) {
  std::uint8_t bytes[4];
  if (!ReadHostMemory(address, bytes, sizeof bytes)) return false;
  *value = LoadU32(bytes);
  return true;
}

// The host address of type `type`'s slot in the object address list, which
// lies `list` bytes into the module loaded at `module_base`. Sums of host
// addresses wrap modulo 2^32.
inline std::uint32_t SlotAddress(std::uint32_t module_base, std::uint32_t list,
                                 std::int32_t type) {
  return module_base + list + 4u * static_cast<std::uint32_t>(type);
}

// The list offset that puts type `type`'s slot at `slot`: SlotAddress's
// inverse.
inline std::uint32_t ListOffset(std::uint32_t module_base, std::uint32_t slot,
                                std::int32_t type) {
  return slot - module_base - 4u * static_cast<std::uint32_t>(type);
}

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

}  // namespace quorvane

#endif
