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

// The exact 32-bit pattern of any number, for those the fast path leaves.
// The cast compiles to a change of the FPU control word: kept off the usual
// path.
std::uint32_t WrapAnyNumber(lua_Number value) {
  if (!std::isfinite(value)) return 0;
  constexpr lua_Number kTwoTo32 = 4294967296.0;
  lua_Number wrapped = std::fmod(std::trunc(value), kTwoTo32);
  if (wrapped < 0) wrapped += kTwoTo32;
  return static_cast<std::uint32_t>(wrapped);
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
  // Below 2^51 in magnitude, adding 1.5 * 2^52 rounds the number to an
  // integer n (toward the nearest or by the rounding mode in force, either
  // way floor or ceiling) and leaves n + 2^51 in the low 52 bits of the sum.
  // Comparing n with the number then tells which way it went, so n becomes
  // the truncation toward zero. Only additions, loads of the sum's bits and
  // an integer-to-float load: no float-to-integer conversion, which on x87
  // switches the control word around a store.
  constexpr lua_Number kRoundingBias = 6755399441055744.0;  // 1.5 * 2^52
  constexpr lua_Number kFastLimit = 2251799813685248.0;     // 2^51
  if (value > -kFastLimit && value < kFastLimit) {
    const lua_Number biased = value + kRoundingBias;
    std::uint64_t bits;
    std::memcpy(&bits, &biased, sizeof bits);  // the stored double, rounded
    std::int64_t n = static_cast<std::int64_t>(bits & ((std::uint64_t{1} << 52) - 1)) -
                     (std::int64_t{1} << 51);
    const lua_Number rounded = static_cast<lua_Number>(n);
    if (value >= 0) {
      if (rounded > value) --n;
    } else if (rounded < value) {
      ++n;
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(n));
  }
  return WrapAnyNumber(value);
}
std::uint32_t CheckHostAddress(lua_State* L, int index) {
  return HostAddressFromNumber(luaL_checknumber(L, index));
}

}  // namespace quorvane
