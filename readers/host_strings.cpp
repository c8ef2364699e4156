#include "readers/host_strings.h"

#include <algorithm>

#include "module/lua_helpers.h"
#include "platform/platform.h"

namespace quorvane {

namespace {

// Most strings and texts fit in this much stack; longer ones go on in a
// Lua string buffer.
constexpr std::uint32_t kStackRunBytes = 512;

enum class Run { kComplete, kMore, kUnreadable };

bool IsTerminator(const char* at, std::uint32_t unit) {
  for (std::uint32_t i = 0; i < unit; ++i) {
    if (at[i] != '\0') return false;
  }
  return true;
}

// Copies into `out` the `unit`-byte elements at `address` that come before
// the first all-zero element, taking no more than `max_bytes` bytes of host
// memory nor `capacity` bytes of `out`. *length receives the bytes copied.
// kComplete: the terminator or `max_bytes` was reached; kMore: `out` is full
// and the run may go on. Reads page by page, so a terminator just before an
// unreadable page is still found.
Run CopyHostRun(std::uint32_t address, std::uint32_t unit, std::uint32_t max_bytes,
                char* out, std::uint32_t capacity, std::uint32_t* length) {
  std::uint32_t taken = 0;
  *length = 0;
  while (max_bytes - taken >= unit) {
    if (capacity - taken < unit) return Run::kMore;
    const std::uint32_t at = address + taken;
    std::uint32_t chunk = kHostPageSize - at % kHostPageSize;
    chunk = std::min({chunk, capacity - taken, max_bytes - taken});
    chunk -= chunk % unit;
    if (chunk == 0) chunk = unit;  // one element across a page boundary
    if (!ReadHostMemory(at, out + taken, chunk)) return Run::kUnreadable;
    for (std::uint32_t i = 0; i < chunk; i += unit) {
      if (IsTerminator(out + taken + i, unit)) {
        *length = taken + i;
        return Run::kComplete;
      }
    }
    taken += chunk;
    *length = taken;
  }
  return Run::kComplete;
}

// Pushes, as one Lua string, the `prefix_length` bytes already copied to
// `prefix` and the rest of the run that follows them in host memory.
bool PushLongRun(lua_State* L, std::uint32_t address, std::uint32_t unit,
                 std::uint32_t max_bytes, const char* prefix, std::uint32_t prefix_length) {
  const int top = lua_gettop(L);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  luaL_addlstring(&b, prefix, prefix_length);
  std::uint32_t taken = prefix_length;
  Run state = Run::kMore;
  while (state == Run::kMore) {
    std::uint32_t length;
    state = CopyHostRun(address + taken, unit, max_bytes - taken, luaL_prepbuffer(&b),
                        LUAL_BUFFERSIZE, &length);
    if (state == Run::kUnreadable) {
      lua_settop(L, top);
      return false;
    }
    luaL_addsize(&b, length);
    taken += length;
  }
  if (unit == 2) luaL_addlstring(&b, "\0\0", 2);  // the terminator of a wide text
  luaL_pushresult(&b);
  return true;
}

}  // namespace

bool PushHostString(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  char first[kStackRunBytes];
  std::uint32_t length;
  switch (CopyHostRun(address, 1, max_bytes, first, sizeof first, &length)) {
    case Run::kComplete:
      lua_pushlstring(L, first, length);
      return true;
    case Run::kMore:
      return PushLongRun(L, address, 1, max_bytes, first, length);
    case Run::kUnreadable:
      break;
  }
  return false;
}

bool PushHostWideText(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  std::uint16_t first[kStackRunBytes / 2 + 1];
  std::uint32_t length;
  switch (CopyHostRun(address, 2, max_bytes, reinterpret_cast<char*>(first),
                      kStackRunBytes, &length)) {
    case Run::kComplete:
      first[length / 2] = 0;
      return PushAnsiFromWide(L, first);
    case Run::kMore:
      break;
    case Run::kUnreadable:
      return false;
  }
  // A long text: the copy is kept in a Lua string, converted, then dropped.
  if (!PushLongRun(L, address, 2, max_bytes, reinterpret_cast<const char*>(first), length)) {
    return false;
  }
  // Lua strings are aligned for any type, so the copy reads as UTF-16.
  const void* wide = lua_tostring(L, -1);
  if (!PushAnsiFromWide(L, static_cast<const std::uint16_t*>(wide))) {
    lua_pop(L, 1);
    return false;
  }
  lua_remove(L, -2);
  return true;
}

}  // namespace quorvane
