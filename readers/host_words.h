// The low-level rules every reader of host memory shares, the module's and
// the probe's alike: how a 32-bit word is stored, where a type's slot lies
// and how the chain from it to the type's record is followed (runs of
// characters: host_runs.h). Header only, no system calls: each reader
// passes its own way of reading.
#ifndef QUORVANE_READERS_HOST_WORDS_H
#define QUORVANE_READERS_HOST_WORDS_H

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

// How far GetObjectData's chain got: the type's slot in the object
// address list, the structure it points to, the record pointer in that
// structure, the record.
enum class ChainStop {
  kRecord,             // reached: a record pointer that is not 0
  kSlotUnreadable,     // the slot cannot be read
  kSlotZero,           // the slot is 0: nothing for the type
  kPointerUnreadable,  // the record pointer cannot be read
  kPointerZero,        // the record pointer is 0: no current record
};

// The addresses the chain reached, as far as its stop says: the slot's
// address always, the structure once the slot was read, the record
// pointer's address once the slot was not 0, the record once the record
// pointer was read.
struct ObjectChain {
  ChainStop stop;
  std::uint32_t slot_address;
  std::uint32_t structure;
  std::uint32_t pointer_address;
  std::uint32_t record;
};

// Follows the chain of type `type` from the module loaded at `module_base`,
// with the address table's "ObjectAddressList" `list` and
// "ObjectDataOffset" `data_offset`. `read_u32(address, &value)` reads a
// 32-bit word of host memory and says whether it could.
template <typename ReadU32>
ObjectChain FollowObjectChain(std::uint32_t module_base, std::uint32_t list,
                              std::uint32_t data_offset, std::int32_t type, ReadU32&& read_u32) {
  ObjectChain chain{ChainStop::kSlotUnreadable, SlotAddress(module_base, list, type), 0, 0, 0};
  if (!read_u32(chain.slot_address, &chain.structure)) return chain;
  chain.stop = ChainStop::kSlotZero;
  if (chain.structure == 0) return chain;
  chain.stop = ChainStop::kPointerUnreadable;
  chain.pointer_address = chain.structure + data_offset;
  if (!read_u32(chain.pointer_address, &chain.record)) return chain;
  chain.stop = chain.record == 0 ? ChainStop::kPointerZero : ChainStop::kRecord;
  return chain;
}

// The same through ReadHostU32.
inline ObjectChain FollowObjectChain(std::uint32_t module_base, std::uint32_t list,
                                     std::uint32_t data_offset, std::int32_t type) {
  return FollowObjectChain(module_base, list, data_offset, type,
                           [](std::uint32_t address, std::uint32_t* value) {
                             return ReadHostU32(address, value);
                           });
}

}  // namespace quorvane

#endif
