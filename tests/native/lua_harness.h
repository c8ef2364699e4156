// A Lua state with the module opened as a script would see it, over the fake
// platform, and small helpers to run script snippets against it.
#ifndef QUORVANE_TESTS_NATIVE_LUA_HARNESS_H
#define QUORVANE_TESTS_NATIVE_LUA_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "module/lua_api.h"

extern "C" {
#include <lualib.h>
}

extern "C" int luaopen_Quorvane(lua_State* L);

namespace quorvane::testing {

class LuaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs `chunk` (with the module table as the global Q) and returns what it
  // returned, rendered by Render and separated by blanks: "nothing" when it
  // returned no values, "error: <msg>" when it raised.
  std::string Run(const std::string& chunk);

  // Renders the value at `index`: nil, numbers as integers where exact,
  // strings quoted, tables as {key=value,...} with keys sorted.
  std::string Render(int index);

  lua_State* L = nullptr;
};

// An address table literal for scripts.
std::string AddressTable(std::uint32_t module, std::uint32_t list, std::uint32_t data_offset,
                         std::uint32_t text_buffer);

}  // namespace quorvane::testing

#endif
