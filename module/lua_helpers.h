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

// Argument checks of the module's functions. Their errors read like the Lua library's
// ("bad argument #1 to 'GetObjectData' (...)", after the caller's position),
// but name `function` as given: the name the library would take from the
// call's debug information differs between PUC Lua and LuaJIT (a tail call,
// a call through pcall, a local of another name).

// Raises "bad argument #<arg> to '<function>' (<message>)".
int RaiseArgError(lua_State* L, int arg, const char* function, const char* message);

// Argument `arg` as a string; a number is turned into one, as Lua's own
// checks do. Anything else raises "string expected, got <type>".
const char* CheckString(lua_State* L, int arg, const char* function);

// Argument `arg` as a type index: the 32-bit pattern of the number, read as
// signed. A value that is not a number raises "number expected, got <type>".
// Returns false for NaN and the infinities, which name no type.
bool CheckTypeIndex(lua_State* L, int arg, const char* function, std::int32_t* type_index);

// Lets argument `arg` be indexed only when it is a table or has an __index
// metamethod; anything else raises "table expected, got <type>".
void CheckIndexable(lua_State* L, int arg, const char* function);

// The value at stack slot `slot`, just taken from field `field` of argument
// `arg`, as a host address. A value that is not a number raises
// "field '<field>': number expected, got <type>" for argument `arg`.
std::uint32_t CheckAddressField(lua_State* L, int slot, int arg, const char* function,
                                const char* field);

}  // namespace quorvane

#endif
