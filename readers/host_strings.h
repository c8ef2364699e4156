// Strings and wide texts copied out of host memory into Lua strings.
#ifndef QUORVANE_READERS_HOST_STRINGS_H
#define QUORVANE_READERS_HOST_STRINGS_H

#include <cstdint>

#include "module/lua_api.h"

namespace quorvane {

// A string or wide text that no field follows is read up to its terminator,
// but never past this many elements (bytes, or UTF-16 units).
constexpr std::uint32_t kMaxTextElements = 1u << 20;

// Pushes the bytes at `address` up to the first NUL, or the first
// `max_bytes` bytes when no NUL comes before. Returns false, with the stack
// as it was, when any of those bytes cannot be read.
bool PushHostString(lua_State* L, std::uint32_t address, std::uint32_t max_bytes);

// Reads the UTF-16 text at `address` the same way (`max_bytes` bytes at most)
// and pushes it converted to the ANSI code page. Returns false, with the
// stack as it was, when it cannot be read or converted.
bool PushHostWideText(lua_State* L, std::uint32_t address, std::uint32_t max_bytes);

// The same for a string (`unit` 1) or wide text (`unit` 2) whose first
// `copied` bytes have just been copied from `address` to `copy` (2-byte
// aligned for a wide text): those are looked at first, and host memory is
// read on from where they end only when the terminator is not among them.
bool PushHostRun(lua_State* L, std::uint32_t address, std::uint32_t unit,
                 std::uint32_t max_bytes, const char* copy, std::uint32_t copied);

}  // namespace quorvane

#endif
