#include "readers/host_strings.h"

#include <algorithm>

#include "module/lua_helpers.h"
#include "platform/platform.h"

namespace quorvane {

namespace {

bool IsTerminator(const char* at, std::uint32_t unit) {
  for (std::uint32_t i = 0; i < unit; ++i) {
    if (at[i] != '\0') return false;
  }
  return true;
}

// Appends to `b` the `unit`-byte elements at `address` that come before the
// first all-zero element, taking at most `max_bytes` bytes. Reads page by
// page, so a terminator just before an unreadable page is still found.
bool CollectHostRun(luaL_Buffer* b, std::uint32_t address, std::uint32_t unit,
                    std::uint32_t max_bytes) {
  std::uint32_t taken = 0;
  while (max_bytes - taken >= unit) {
    const std::uint32_t at = address + taken;
    std::uint32_t chunk = kHostPageSize - at % kHostPageSize;
    chunk = std::min({chunk, static_cast<std::uint32_t>(LUAL_BUFFERSIZE), max_bytes - taken});
    chunk -= chunk % unit;
    if (chunk == 0) chunk = unit;  // one element across a page boundary
    char* out = luaL_prepbuffer(b);
    if (!ReadHostMemory(at, out, chunk)) return false;
    for (std::uint32_t i = 0; i < chunk; i += unit) {
      if (IsTerminator(out + i, unit)) {
        luaL_addsize(b, i);
        return true;
      }
    }
    luaL_addsize(b, chunk);
    taken += chunk;
  }
  return true;
}

}  // namespace

bool PushHostString(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  const int top = lua_gettop(L);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  if (!CollectHostRun(&b, address, 1, max_bytes)) {
    lua_settop(L, top);
    return false;
  }
  luaL_pushresult(&b);
  return true;
}

bool PushHostWideText(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  const int top = lua_gettop(L);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  if (!CollectHostRun(&b, address, 2, max_bytes)) {
    lua_settop(L, top);
    return false;
  }
  luaL_addlstring(&b, "\0\0", 2);
  luaL_pushresult(&b);
  // Lua strings are aligned for any type, so the copy reads as UTF-16.
  const void* wide = lua_tostring(L, -1);
  if (!PushAnsiFromWide(L, static_cast<const std::uint16_t*>(wide))) {
    lua_settop(L, top);
    return false;
  }
  lua_remove(L, -2);
  return true;
}

}  // namespace quorvane
