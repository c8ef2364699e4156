// The host memory readers: object records and the text buffer.
#ifndef QUORVANE_READERS_READERS_H
#define QUORVANE_READERS_READERS_H

#include <cstdint>

#include "module/lua_api.h"
#include "readers/layouts.h"

namespace quorvane {

// Exchanges the lowest and third bytes of a stored colour and drops the top
// byte.
constexpr std::uint32_t SwapRedBlue(std::uint32_t value) {
  return ((value >> 16) & 0xFFu) | ((value & 0xFFu) << 16) | (value & 0xFF00u);
}

// Pushes a new table filled from the record at host address `record` by
// `layout`. Returns false when a field cannot be read or converted; the
// half-filled table is then left on the stack for the caller to drop.
bool PushObjectRecord(lua_State* L, std::uint32_t record, const RecordLayout& layout);

// GetObjectData(addressTable, typeIndex) -> table of the record's fields, or
// nothing when there is nothing to read.
int GetObjectData(lua_State* L);

// GetTextbufferString(addressTable) -> the text buffer as ANSI text, or
// nothing.
int GetTextbufferString(lua_State* L);

}  // namespace quorvane

#endif
