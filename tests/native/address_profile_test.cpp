#include <string>

#include <gmock/gmock.h>

#include "config/address_profile.h"
#include "platform/fake_platform.h"
#include "tests/native/lua_harness.h"

namespace quorvane {
namespace {

struct HexCase {
  const char* text;
  std::uint32_t value;
};

class ParseHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(ParseHexTest, ReadsProfileValues) {
  EXPECT_EQ(ParseHex(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ParseHexTest,
    ::testing::Values(HexCase{"0x1A", 26}, HexCase{"1a", 26}, HexCase{"  1a", 26},
                      HexCase{"\t1A", 26}, HexCase{"00x1A", 26}, HexCase{"0X10", 0},
                      HexCase{"10x20", 288}, HexCase{"12 34", 0x12}, HexCase{"0 12", 0x12},
                      HexCase{"g1", 0}, HexCase{"0x", 0}, HexCase{"", 0},
                      HexCase{"123456789", 0x23456789}, HexCase{"FFFFFFFF", 0xFFFFFFFFu},
                      HexCase{"0x0040A1F0", 0x40A1F0}, HexCase{"1a;comment", 26},
                      HexCase{"-1", 0}, HexCase{"0x0x10", 16}, HexCase{"0x1a0x2b", 0x1A2B},
                      HexCase{"1a ", 26}, HexCase{"0 0x1A", 26}, HexCase{"1 0x2", 1},
                      HexCase{"1g", 1}, HexCase{"abcdef", 0xABCDEF},
                      HexCase{"ABCDEF01", 0xABCDEF01}, HexCase{"FFFFFFFFF", 0xFFFFFFFFu},
                      HexCase{"100000000", 0}, HexCase{"000000000000000000012", 0x12}));

using GetAddressTest = testing::LuaTest;

constexpr const char* kPath = "C:\\profiles\\host.ini";

void WriteFullProfile() {
  fake::SetProfileValue(kPath, "Config", "Version", "v1.10");
  fake::SetProfileValue(kPath, "Config", "Module", "host.dll");
  fake::SetProfileValue(kPath, "v1.10", "ObjectAddressList", "0x0001D0C0");
  fake::SetProfileValue(kPath, "v1.10", "ObjectDataOffset", "3c");
  fake::SetProfileValue(kPath, "v1.10", "TextBufferAddress", "FFFFFFFF");
}

TEST_F(GetAddressTest, BuildsTheAddressTable) {
  WriteFullProfile();
  fake::SetModuleBase("host.dll", 0x80400000u);
  EXPECT_EQ(Run(std::string("return Q.GetAddress[[") + kPath + "]]"),
            "{ModuleAddress=2151677952,ObjectAddressList=118976,ObjectDataOffset=60,"
            "TextBufferAddress=4294967295}");
}

TEST_F(GetAddressTest, ModuleNotLoadedStillParsesOffsets) {
  WriteFullProfile();
  EXPECT_EQ(Run(std::string("return Q.GetAddress[[") + kPath + "]]"),
            "{ModuleAddress=0,ObjectAddressList=118976,ObjectDataOffset=60,"
            "TextBufferAddress=4294967295}");
}

TEST_F(GetAddressTest, MissingKeysAndSectionGiveZero) {
  fake::SetProfileValue(kPath, "Config", "Version", "v2");
  fake::SetProfileValue(kPath, "Config", "Module", "host.dll");
  fake::SetProfileValue(kPath, "v2", "ObjectDataOffset", "10");
  fake::SetModuleBase("host.dll", 0x10000000u);
  EXPECT_EQ(Run(std::string("return Q.GetAddress[[") + kPath + "]]"),
            "{ModuleAddress=268435456,ObjectAddressList=0,ObjectDataOffset=16,"
            "TextBufferAddress=0}");
}

TEST_F(GetAddressTest, NoVersionOrModuleGivesNoValues) {
  struct Case {
    const char* version;
    const char* module;
  };
  for (const Case c : {Case{"", "host.dll"}, Case{"v1", ""}, Case{"", ""}, Case{nullptr, "host.dll"},
                       Case{"v1", nullptr}}) {
    fake::Reset();
    if (c.version) fake::SetProfileValue(kPath, "Config", "Version", c.version);
    if (c.module) fake::SetProfileValue(kPath, "Config", "Module", c.module);
    fake::SetProfileValue(kPath, "v1", "ObjectAddressList", "10");
    // select('#') counts the values the call left: none at all.
    EXPECT_EQ(Run(std::string("return select('#', Q.GetAddress[[") + kPath + "]])"), "0");
  }
  EXPECT_EQ(Run("return select('#', Q.GetAddress[[C:\\missing.ini]])"), "0");
}

TEST_F(GetAddressTest, LongValuesAreCutTo255Characters) {
  const std::string long_section(300, 's');
  fake::SetProfileValue(kPath, "Config", "Version", long_section);
  fake::SetProfileValue(kPath, "Config", "Module", "host.dll");
  // The section is looked up by the first 255 characters of the version.
  const std::string cut_section = long_section.substr(0, 255);
  // 254 zeros then "12": only the first 255 characters are parsed.
  fake::SetProfileValue(kPath, cut_section, "ObjectAddressList", std::string(254, '0') + "12");
  fake::SetProfileValue(kPath, cut_section, "ObjectDataOffset", std::string(253, '0') + "12");
  EXPECT_EQ(Run(std::string("local t = Q.GetAddress[[") + kPath +
                "]] return t.ObjectAddressList, t.ObjectDataOffset"),
            "1 18");
}

TEST_F(GetAddressTest, NonStringArgumentRaises) {
  EXPECT_THAT(Run("return (Q.GetAddress({}))"),
              ::testing::MatchesRegex("error: .*bad argument #1 to 'GetAddress' \\(string expected, got table\\)"));
  EXPECT_THAT(Run("return (Q.GetAddress())"),
              ::testing::MatchesRegex("error: .*bad argument #1 to 'GetAddress' \\(string expected, got no value\\)"));
  // However the function is reached, it is named by its own name.
  for (const char* chunk : {"local ga = Q.GetAddress; return (ga({}))",
                            "return Q.GetAddress({})",  // a tail call
                            "local ok, e = pcall(Q.GetAddress, {}); return e"}) {
    SCOPED_TRACE(chunk);
    EXPECT_THAT(Run(chunk), ::testing::HasSubstr("bad argument #1 to 'GetAddress' (string expected, got table)"));
  }
}

TEST_F(GetAddressTest, OpeningTwiceGivesTheSameTable) {
  EXPECT_EQ(Run("return rawequal(require('Quorvane'), Q), type(Q.GetAddress), type(Q.GetObjectData),"
                "type(Q.GetTextbufferString)"),
            R"(true "function" "function" "function")");
  lua_pushcfunction(L, luaopen_Quorvane);
  lua_call(L, 0, LUA_MULTRET);
  ASSERT_EQ(lua_gettop(L), 1);
  lua_getglobal(L, "Q");
  EXPECT_TRUE(lua_rawequal(L, -1, -2));
  lua_settop(L, 0);
}

}  // namespace
}  // namespace quorvane
