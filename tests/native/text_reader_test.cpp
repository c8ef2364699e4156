#include <string>

#include "platform/fake_platform.h"
#include "platform/platform.h"
#include "readers/host_runs.h"
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

// The one rule for where a string or wide text in host memory ends, as
// every reader of one follows it: at its terminator, at the bound (in whole
// elements), or at the first element that cannot be read whole.
TEST(RunEndTest, EndsAtTheTerminatorTheBoundOrTheFirstElementThatCannotBeRead) {
  constexpr std::uint32_t kPageEnd = 0x00C00000;
  struct Case {
    const char* name;
    std::uint32_t before;  // the run starts this many bytes before kPageEnd
    bool next_page_readable;
    std::uint32_t unit, bound;
    std::string bytes;  // written where the run starts
    RunEnd end;
    std::uint32_t length;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"string's terminator", 8, false, 1, 100, "abc\0"s, RunEnd::kTerminator, 3},
      {"terminator in the page's last byte", 4, false, 1, 100, "abc\0"s, RunEnd::kTerminator, 3},
      {"string into the page that cannot be read", 4, false, 1, 100, "abcd", RunEnd::kUnreadable,
       4},
      {"string across into a readable page", 4, true, 1, 100, "abcdef\0"s, RunEnd::kTerminator, 6},
      {"bound first", 8, false, 1, 5, "abcdefgh", RunEnd::kBound, 5},
      {"bound of 0", 8, false, 1, 0, "abc\0"s, RunEnd::kBound, 0},
      {"wide terminator", 8, false, 2, 100, "a\0b\0\0\0"s, RunEnd::kTerminator, 4},
      {"wide bound in whole units", 8, false, 2, 5, "a\0b\0c\0d\0"s, RunEnd::kBound, 4},
      {"a zero byte of a unit is no terminator", 8, false, 2, 100, "a\0\0b\0\0"s,
       RunEnd::kTerminator, 4},
      {"wide unit across into a page that cannot be read", 3, false, 2, 100, "a\0b",
       RunEnd::kUnreadable, 2},
      {"wide text that starts in the page's last byte", 1, false, 2, 100, "a",
       RunEnd::kUnreadable, 0},
      {"wide terminator across into a readable page", 3, true, 2, 100, "a\0\0\0"s,
       RunEnd::kTerminator, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    const std::uint32_t start = kPageEnd - c.before;
    fake::Write(kPageEnd, "\xFF\xFF\xFF\xFF", 4);  // no terminator unless the case writes one
    fake::Write(start, c.bytes.data(), c.bytes.size());
    fake::SetReadable(kPageEnd, 1, c.next_page_readable);
    std::uint8_t copy[128];
    const RunExtent extent = FindRunEnd(
        start, c.unit, c.bound,
        [&](std::uint32_t at, std::uint32_t offset, std::uint32_t size) -> const std::uint8_t* {
          return ReadHostMemory(at, copy + offset, size) ? copy + offset : nullptr;
        });
    EXPECT_EQ(extent.end, c.end);
    EXPECT_EQ(extent.length, c.length);
  }
}

}  // namespace
}  // namespace quorvane
