// Loading the module: what require and luaopen_Quorvane give.
#include <windows.h>

#include <cstring>

#include "harness.h"

namespace qv_e2e {
namespace {

using OpenTest = E2ETest;

TEST_F(OpenTest, RuntimeIsTheOneTheRunIsLabelledWith) {
  // LuaJIT opens a "jit" library; PUC Lua has none.
  Outcome o = lua().Run("return type(jit) == 'table'");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values.at(0), Bool(Settings().runtime == "luajit")) << "runtime label " << Settings().runtime;
}

TEST_F(OpenTest, RequireGivesTheModuleTableWithExactlyTheThreeFunctions) {
  Outcome o = lua().Run(
      "local m = require 'Quorvane'\n"
      "local names = {}\n"
      "for k, v in pairs(m) do names[#names + 1] = tostring(k) .. ':' .. type(v) end\n"
      "table.sort(names)\n"
      "return table.concat(names, ','), m == Q, m == package.loaded.Quorvane, m == Quorvane");
  ASSERT_TRUE(o.ok) << o.error;
  ASSERT_EQ(o.values.size(), 4u);
  EXPECT_EQ(o.values[0], Str("GetAddress:function,GetObjectData:function,GetTextbufferString:function"));
  EXPECT_EQ(o.values[1], Bool(true)) << "require gives the same table twice";
  EXPECT_EQ(o.values[2], Bool(true)) << "package.loaded.Quorvane";
  EXPECT_EQ(o.values[3], Bool(true)) << "global Quorvane";
}

TEST_F(OpenTest, OpenFunctionReturnsExactlyTheModuleTable) {
  HMODULE dll = GetModuleHandleA("Quorvane.dll");
  ASSERT_NE(dll, nullptr);
  auto open =
      reinterpret_cast<lua_CFunction>(reinterpret_cast<void*>(GetProcAddress(dll, "luaopen_Quorvane")));
  ASSERT_NE(open, nullptr);
  // Called with an empty stack: one result and nothing else left.
  Outcome o = lua().CallFunction(open, {});
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.returned, 1);
  EXPECT_EQ(o.left_over, 0);
  ASSERT_EQ(o.values.size(), 1u);
  EXPECT_EQ(o.values[0].kind, LuaValue::kTable);
  EXPECT_EQ(o.values[0].fields.size(), 3u) << Describe(o.values[0]);
  // With unrelated values already on the stack the result is still one table.
  o = lua().CallFunction(open, {ArgNum(7), ArgStr("x")});
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.returned, 1);
  EXPECT_TRUE(o.args_intact);
  ASSERT_EQ(o.values.size(), 1u);
  EXPECT_EQ(o.values[0].kind, LuaValue::kTable);
}

TEST_F(OpenTest, OpeningAgainGivesTheSameTableWithTheEntriesStoredAgain) {
  Outcome o = lua().Run(
      "local open = assert(package.loadlib(exe_dir .. '\\\\Quorvane.dll', 'luaopen_Quorvane'))\n"
      "local first = package.loaded.Quorvane\n"
      "first.GetAddress = nil\n"
      "first.GetTextbufferString = 42\n"
      "local n = select('#', open())\n"
      "local again = open()\n"
      "return n, again == first, type(first.GetAddress), type(first.GetObjectData),\n"
      "       type(first.GetTextbufferString), again == Q, package.loaded.Quorvane == first");
  ASSERT_TRUE(o.ok) << o.error;
  ASSERT_EQ(o.values.size(), 7u);
  EXPECT_EQ(o.values[0], Num(1)) << "luaopen_Quorvane result count";
  EXPECT_EQ(o.values[1], Bool(true)) << "second open gives the same table";
  EXPECT_EQ(o.values[2], Str("function"));
  EXPECT_EQ(o.values[3], Str("function"));
  EXPECT_EQ(o.values[4], Str("function"));
  EXPECT_EQ(o.values[5], Bool(true));
  EXPECT_EQ(o.values[6], Bool(true));
}

TEST_F(OpenTest, DllExportsOnlyTheOpenFunction) {
  auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA("Quorvane.dll"));
  ASSERT_NE(image, nullptr);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + dir.VirtualAddress);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  auto* names = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<const char*>(image + names[0]), "luaopen_Quorvane");
}

TEST_F(OpenTest, SecondStateInTheSameProcessGetsItsOwnTable) {
  // A second, independent state in the same process gets its own table.
  lua_State* other = luaL_newstate();
  ASSERT_NE(other, nullptr);
  luaL_openlibs(other);
  lua_pushstring(other, (Settings().exe_dir + "\\?.dll").c_str());
  lua_setfield(other, LUA_GLOBALSINDEX, "cpath");
  const char* chunk =
      "package.cpath = cpath\n"
      "local m = require 'Quorvane'\n"
      "return type(m.GetAddress) .. type(m.GetObjectData) .. type(m.GetTextbufferString)";
  int status = luaL_loadbuffer(other, chunk, std::strlen(chunk), "=other");
  if (status == 0) status = lua_pcall(other, 0, 1, 0);
  LuaValue got = ToValue(other, -1);
  lua_close(other);
  ASSERT_EQ(status, 0) << Describe(got);
  EXPECT_EQ(got, Str("functionfunctionfunction"));
}

}  // namespace
}  // namespace qv_e2e
