#include "module/lua_helpers.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace quorvane {

namespace {

// Most texts convert within this much stack; longer ones take a heap buffer.
constexpr int kStackConversionSize = 1024;
// The most bytes one UTF-16 unit becomes in an ANSI code page: two in a
// double-byte code page such as 932, three in UTF-8.
constexpr std::uint32_t kMaxAnsiBytesPerUnit = 3;

int PushBufferAsString(lua_State* L) {
  lua_pushstring(L, static_cast<const char*>(lua_touserdata(L, 1)));
  return 1;
}

// The conversion of a text of any length: asks for the size, converts into a
// buffer of that size, pushes it.
bool PushAnsiFromWideMeasured(lua_State* L, const std::uint16_t* wide) {
  const int size = WideToAnsi(wide, -1, nullptr, 0);
  if (size <= 0) return false;
  if (size <= kStackConversionSize) {
    char buffer[kStackConversionSize];
    if (WideToAnsi(wide, -1, buffer, size) == 0) return false;
    lua_pushstring(L, buffer);
    return true;
  }
  // The heap buffer must not outlive a Lua error, so the push that may raise
  // (out of memory) runs protected, and the function for it is pushed before
  // the buffer exists.
  lua_pushcfunction(L, PushBufferAsString);
  char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (buffer == nullptr) {
    lua_pop(L, 1);
    return false;
  }
  if (WideToAnsi(wide, -1, buffer, size) == 0) {
    std::free(buffer);
    lua_pop(L, 1);
    return false;
  }
  lua_pushlightuserdata(L, buffer);
  const int status = lua_pcall(L, 1, 1, 0);
  std::free(buffer);
  if (status != 0) lua_error(L);
  return true;
}

// The 32-bit pattern of the number at stack slot `index`, and in *finite
// whether it is finite. A value that is not a number raises "[field
// '<field>': ]number expected, got <type>" for argument `arg`. Kept out of
// line: one copy serves every check of the readers (copies inlined into each
// measured slower at some code placements).
__attribute__((noinline)) std::uint32_t CheckNumberPattern(lua_State* L, int index, int arg,
                                                           const char* function,
                                                           const char* field, bool* finite) {
  const lua_Number value = lua_tonumber(L, index);
  if (value == 0 && !lua_isnumber(L, index)) {
    const char* type = luaL_typename(L, index);
    RaiseArgError(L, arg, function,
                  field != nullptr
                      ? lua_pushfstring(L, "field '%s': number expected, got %s", field, type)
                      : lua_pushfstring(L, "number expected, got %s", type));
  }
  *finite = std::isfinite(value);
  return HostAddressFromNumber(value);
}

}  // namespace

void SetNumberField(lua_State* L, const char* name, lua_Number value) {
  lua_pushnumber(L, value);
  lua_setfield(L, -2, name);
}

void SetStringField(lua_State* L, const char* name, const char* text,
                    std::size_t length) {
  lua_pushlstring(L, text, length);
  lua_setfield(L, -2, name);
}

bool PushAnsiFromWide(lua_State* L, const std::uint16_t* wide, std::uint32_t units) {
  // One conversion into a buffer that holds the worst case; the measured
  // conversion when it cannot, or when this one fails for any reason.
  if (units < kStackConversionSize / kMaxAnsiBytesPerUnit) {
    char buffer[kStackConversionSize];
    const int written = WideToAnsi(wide, static_cast<int>(units) + 1, buffer, sizeof buffer);
    if (written > 0) {
      lua_pushlstring(L, buffer, static_cast<std::size_t>(written) - 1);
      return true;
    }
  }
  return PushAnsiFromWideMeasured(L, wide);
}

std::uint32_t HostAddressFromNumber(lua_Number value) {
  // Read off the bits of the double: |value| = mantissa * 2^(exponent - 1075)
  // with the implicit leading 1. Truncation toward zero is a shift of the
  // mantissa, the pattern modulo 2^32 its low 32 bits, a negative number the
  // two's complement of its magnitude's. Integer operations only: no
  // float-to-integer conversion (which on x87 switches the control word
  // around a store), and nothing that the FPU's precision or rounding mode
  // could change.
  static_assert(sizeof(lua_Number) == sizeof(std::uint64_t), "lua_Number is a double");
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int exponent = static_cast<int>(bits >> 52) & 0x7FF;
  if (exponent < 1023 || exponent == 0x7FF) return 0;  // |value| < 1, infinities, NaN
  const std::uint64_t mantissa = (bits & 0xFFFFFFFFFFFFFull) | 0x10000000000000ull;
  const int shift = exponent - 1075;
  std::uint32_t magnitude;
  if (shift >= 32) {
    magnitude = 0;  // a multiple of 2^32
  } else if (shift >= 0) {
    magnitude = static_cast<std::uint32_t>(mantissa << shift);
  } else {
    magnitude = static_cast<std::uint32_t>(mantissa >> -shift);
  }
  return (bits >> 63) != 0 ? 0u - magnitude : magnitude;
}

std::uint32_t CheckHostAddress(lua_State* L, int index) {
  return HostAddressFromNumber(luaL_checknumber(L, index));
}

int RaiseArgError(lua_State* L, int arg, const char* function, const char* message) {
  luaL_where(L, 1);
  lua_pushfstring(L, "bad argument #%d to '%s' (%s)", arg, function, message);
  lua_concat(L, 2);
  return lua_error(L);
}

const char* CheckString(lua_State* L, int arg, const char* function) {
  const char* text = lua_tostring(L, arg);
  if (text == nullptr) {
    RaiseArgError(L, arg, function,
                  lua_pushfstring(L, "string expected, got %s", luaL_typename(L, arg)));
  }
  return text;
}

bool CheckTypeIndex(lua_State* L, int arg, const char* function, std::int32_t* type_index) {
  bool finite;
  const std::uint32_t pattern = CheckNumberPattern(L, arg, arg, function, nullptr, &finite);
  *type_index = static_cast<std::int32_t>(pattern);
  return finite;
}

void CheckIndexable(lua_State* L, int arg, const char* function) {
  if (lua_type(L, arg) == LUA_TTABLE) return;
  if (luaL_getmetafield(L, arg, "__index")) {
    lua_pop(L, 1);
    return;
  }
  RaiseArgError(L, arg, function,
                lua_pushfstring(L, "table expected, got %s", luaL_typename(L, arg)));
}

std::uint32_t CheckAddressField(lua_State* L, int slot, int arg, const char* function,
                                const char* field) {
  bool finite;
  return CheckNumberPattern(L, slot, arg, function, field, &finite);
}

}  // namespace quorvane
