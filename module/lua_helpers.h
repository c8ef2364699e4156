// Small push-and-store steps shared by the module's Lua functions.
#ifndef QUORVANE_MODULE_LUA_HELPERS_H
#define QUORVANE_MODULE_LUA_HELPERS_H

#include <cstddef>
#include <cstdint>

#include "module/lua_api.h"

namespace quorvane {

// Pushes `value` and stores it as field `name` of the table just below it,
// leaving the table on top.
void SetNumberField(lua_State* L, const char* name, lua_Number value);

// The same for `length` bytes of text.
void SetStringField(lua_State* L, const char* name, const char* text,
                    std::size_t length);

// Converts the UTF-16 text `wide`, `units` units long and followed by a NUL
// unit, to the ANSI code page and pushes it. Returns false, having pushed
// nothing, when the text cannot be converted or no buffer for it can be had.
// A heap buffer is released on every path, also when pushing raises a Lua
// error.
bool PushAnsiFromWide(lua_State* L, const std::uint16_t* wide, std::uint32_t units);

// The 32-bit pattern of a number: truncated toward zero, then taken modulo
// 2^32, so a negative number gives its two's complement pattern. NaN and the
// infinities give 0.
std::uint32_t HostAddressFromNumber(lua_Number value);

// Argument or stack slot `index` as a host address. A value that is not a
// number raises the standard "number expected" argument error.
std::uint32_t CheckHostAddress(lua_State* L, int index);

}  // namespace quorvane

#endif
