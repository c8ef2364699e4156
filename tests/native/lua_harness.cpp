#include "tests/native/lua_harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/fake_platform.h"

namespace quorvane::testing {

void LuaTest::SetUp() {
  fake::Reset();
  L = luaL_newstate();
  luaL_openlibs(L);
  lua_pushcfunction(L, luaopen_Quorvane);
  lua_call(L, 0, 1);
  lua_setglobal(L, "Q");
}

void LuaTest::TearDown() {
  ASSERT_EQ(lua_gettop(L), 0) << "a test left values on the Lua stack";
  lua_close(L);
}

std::string LuaTest::Render(int index) {
  index = index < 0 ? lua_gettop(L) + index + 1 : index;
  switch (lua_type(L, index)) {
    case LUA_TNIL:
      return "nil";
    case LUA_TBOOLEAN:
      return lua_toboolean(L, index) ? "true" : "false";
    case LUA_TNUMBER: {
      const lua_Number n = lua_tonumber(L, index);
      char text[64];
      if (n == std::floor(n) && std::fabs(n) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", n);
      } else {
        std::snprintf(text, sizeof text, "%.17g", n);
      }
      return text;
    }
    case LUA_TSTRING: {
      std::size_t length;
      const char* s = lua_tolstring(L, index, &length);
      return "\"" + std::string(s, length) + "\"";
    }
    case LUA_TTABLE: {
      std::vector<std::pair<std::string, std::string>> entries;
      lua_pushnil(L);
      while (lua_next(L, index) != 0) {
        lua_pushvalue(L, -2);
        std::string key = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : Render(-1);
        lua_pop(L, 1);
        entries.emplace_back(key, Render(-1));
        lua_pop(L, 1);
      }
      std::sort(entries.begin(), entries.end());
      std::string out = "{";
      for (const auto& [key, value] : entries) {
        if (out.size() > 1) out += ",";
        out += key + "=" + value;
      }
      return out + "}";
    }
    default:
      return lua_typename(L, lua_type(L, index));
  }
}

std::string LuaTest::Run(const std::string& chunk) {
  if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "test") != 0 ||
      lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
    std::string message = "error: " + std::string(lua_tostring(L, -1));
    lua_settop(L, 0);
    return message;
  }
  if (lua_gettop(L) == 0) return "nothing";
  std::string out;
  for (int i = 1; i <= lua_gettop(L); ++i) {
    if (i > 1) out += " ";
    out += Render(i);
  }
  lua_settop(L, 0);
  return out;
}

std::string AddressTable(std::uint32_t module, std::uint32_t list, std::uint32_t data_offset,
                         std::uint32_t text_buffer) {
  return "{ModuleAddress=" + std::to_string(module) + ",ObjectAddressList=" +
         std::to_string(list) + ",ObjectDataOffset=" + std::to_string(data_offset) +
         ",TextBufferAddress=" + std::to_string(text_buffer) + "}";
}

}  // namespace quorvane::testing
