#include <string>

#include "platform/fake_platform.h"
#include "readers/host_strings.h"
#include "tests/native/lua_harness.h"

namespace quorvane {
namespace {

constexpr std::uint32_t kBase = 0x10000000;
constexpr std::uint32_t kText = 0x2000;

class GetTextbufferStringTest : public testing::LuaTest {
 protected:
  std::string ReadText(std::uint32_t base = kBase, std::uint32_t text = kText) {
    return Run("return Q.GetTextbufferString(" + testing::AddressTable(base, 0, 0, text) + ")");
  }
};

TEST_F(GetTextbufferStringTest, ConvertsTheBufferToAnsi) {
  struct Case {
    std::u16string text;
    std::string expected;
  };
  for (const Case& c : {Case{u"Hello", "\"Hello\""}, Case{u"", "\"\""},
                        Case{u"caf\u00e9 \u65e5\u672c", "\"caf\xe9 ??\""}}) {
    fake::WriteWide(kBase + kText, c.text);
    EXPECT_EQ(ReadText(), c.expected);
  }
}

TEST_F(GetTextbufferStringTest, ZeroAddressesGiveNil) {
  fake::WriteWide(kBase + kText, u"x");
  EXPECT_EQ(ReadText(0, kText), "nothing");
  EXPECT_EQ(ReadText(kBase, 0), "nothing");
  EXPECT_EQ(Run("return (Q.GetTextbufferString({ModuleAddress=1}))").rfind("error: ", 0), 0u);
}

TEST_F(GetTextbufferStringTest, BadArgumentsNameTheArgumentAndTheField) {
  EXPECT_EQ(Run("return (Q.GetTextbufferString(nil))"),
            "error: [string \"test\"]:1: bad argument #1 to "
            "'GetTextbufferString' (table expected, got nil)");
  EXPECT_EQ(Run("local ok, e = pcall(Q.GetTextbufferString, {TextBufferAddress=1}) return e"),
            "\"bad argument #1 to 'GetTextbufferString' (field 'ModuleAddress': number expected, "
            "got nil)\"");
}

TEST_F(GetTextbufferStringTest, UnreadableOrUnterminatedTextGivesNil) {
  // A text that fills its page to the end without a terminator.
  const std::uint32_t at = 0x20000000 - 8;
  fake::Write(at, u"abcd", 8);
  fake::SetReadable(0x20000000, 1, false);
  EXPECT_EQ(ReadText(at - 0x1000, 0x1000), "nothing");
  EXPECT_EQ(ReadText(0x30000000, 0x10), "nothing");  // never mapped
  fake::SetWideConversionFails(true);
  fake::WriteWide(kBase + kText, u"x");
  EXPECT_EQ(ReadText(), "nothing");
}

TEST_F(GetTextbufferStringTest, OddAddressesAndPageCrossingUnits) {
  // A text at an odd address whose units straddle a page boundary.
  const std::uint32_t at = 0x30001000 - 3;
  fake::WriteWide(at, u"xyz");
  EXPECT_EQ(ReadText(at - 1, 1), "\"xyz\"");
}

TEST_F(GetTextbufferStringTest, LongTextsAreCutAtTheCap) {
  const std::u16string text(kMaxTextElements + 10, u'a');
  fake::WriteWide(kBase + kText, text);
  EXPECT_EQ(Run("return #Q.GetTextbufferString(" +
                testing::AddressTable(kBase, 0, 0, kText) + ")"),
            std::to_string(kMaxTextElements));
}

}  // namespace
}  // namespace quorvane
