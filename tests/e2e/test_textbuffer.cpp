// GetTextbufferString, and the conversion of wide text to the ANSI code page
// (the text buffer and layout 3's "text").
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace qv_e2e {
namespace {

using TextBufferTest = E2ETest;

void SetText(const std::u16string& text) {
  std::vector<uint16_t> w = Wide(text);
  ASSERT_TRUE(qvf_set_text(w.data()));
}

TEST_F(TextBufferTest, GivesTheBufferText) {
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}),
                   Str("Fixture text buffer: 0123456789 ABC xyz")));
}

TEST_F(TextBufferTest, EmptyBufferGivesTheEmptyString) {
  SetText(u"");
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}), Str("")));
  Outcome o = lua().Run(
      "local t = {ModuleAddress = " + std::to_string(offsets_.base) +
      ", TextBufferAddress = " + std::to_string(offsets_.text_buffer_address) +
      "}\nlocal s = Q.GetTextbufferString(t)\nreturn type(s), select('#', Q.GetTextbufferString(t))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values, (std::vector<LuaValue>{Str("string"), Num(1)}));
}

TEST_F(TextBufferTest, BufferIsReadAfreshOnEveryCall) {
  const Arg t = FixtureTable();
  SetText(u"first");
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {t}), Str("first")));
  SetText(u"second, longer");
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {t}), Str("second, longer")));
  SetText(u"3");
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {t}), Str("3")));
}

TEST_F(TextBufferTest, AsciiComesOutUnchangedUnderAnyCodePage) {
  std::u16string all;
  std::string expected;
  for (char16_t c = 0x20; c < 0x7F; ++c) {
    all += c;
    expected += static_cast<char>(c);
  }
  all += u"\t\r\n\x01\x7F";
  expected += "\t\r\n\x01\x7F";
  SetText(all);
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}), Str(expected)));
  // The whole buffer, filled up to its last unit.
  std::vector<uint16_t> full(QVF_TEXT_CAPACITY, 'z');
  full.back() = 0;
  ASSERT_TRUE(qvf_set_text_raw(full.data(), QVF_TEXT_CAPACITY));
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}),
                   Str(std::string(QVF_TEXT_CAPACITY - 1, 'z'))));
}

TEST_F(TextBufferTest, ZeroAddressesGiveNil) {
  const Arg t = FixtureTable();
  EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {WithField(t, "ModuleAddress", ArgNum(0))})));
  EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {WithField(t, "TextBufferAddress", ArgNum(0))})));
  EXPECT_TRUE(GaveNil(lua().Call("GetTextbufferString", {WithField(t, "ModuleAddress", ArgNum(kTwo32))})));
  EXPECT_TRUE(
      GaveNil(lua().Call("GetTextbufferString", {WithField(t, "TextBufferAddress", ArgNum(-kTwo32))})));
  // A profile naming a module that is not loaded.
  std::string path = TempPath("text not loaded.ini");
  std::string profile =
      "[Config]\r\nVersion=v\r\nModule=qv_not_loaded_anywhere.dll\r\n[v]\r\nTextBufferAddress=" +
      std::to_string(offsets_.text_buffer_address) + "\r\n";
  ASSERT_TRUE(qvf_write_file(path.c_str(), profile.data(), static_cast<uint32_t>(profile.size())));
  lua().SetGlobal("path", ArgStr(path));
  Outcome o = lua().Run(
      "local t = Q.GetAddress(path)\nreturn t.ModuleAddress, select('#', Q.GetTextbufferString(t))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values, (std::vector<LuaValue>{Num(0), Num(0)}));
}

TEST_F(TextBufferTest, AddressFieldsAreTakenModulo2To32) {
  const Arg t = FixtureTable();
  const double base = offsets_.base;
  const double text = offsets_.text_buffer_address;
  const std::string expected = "Fixture text buffer: 0123456789 ABC xyz";
  for (const auto& change :
       std::vector<std::pair<const char*, double>>{{"ModuleAddress", base + kTwo32},
                                                   {"ModuleAddress", base - kTwo32},
                                                   {"ModuleAddress", base + 0.5},
                                                   {"TextBufferAddress", text - kTwo32},
                                                   {"TextBufferAddress", text + 7 * kTwo32 + 0.9}}) {
    SCOPED_TRACE(std::string(change.first) + " = " + std::to_string(change.second));
    EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {WithField(t, change.first, ArgNum(change.second))}),
                     Str(expected)));
  }
  // Both fields with the top bit set, wrapping around to the buffer.
  const uint32_t fake_base = 0xC0000000u;
  const uint32_t buffer = offsets_.base + offsets_.text_buffer_address;
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString",
                              {AddressTable(fake_base, 0, 0, static_cast<uint32_t>(buffer - fake_base))}),
                   Str(expected)));
  // A buffer below the module's base: the offset has the top bit set.
  uint16_t* low = static_cast<uint16_t*>(qvf_alloc_below(4096, offsets_.base));
  ASSERT_NE(low, nullptr);
  low[0] = 'l';
  low[1] = 'o';
  low[2] = 'w';
  low[3] = 0;
  const uint32_t offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(low)) - offsets_.base;
  EXPECT_GE(offset, 0x80000000u);
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {WithField(t, "TextBufferAddress", ArgNum(offset))}),
                   Str("low")));
  EXPECT_TRUE(
      Gave(lua().Call("GetTextbufferString", {WithField(t, "TextBufferAddress", ArgNum(offset - kTwo32))}),
           Str("low")));
  qvf_free_pages(low);
}

TEST_F(TextBufferTest, BadArgumentsRaiseErrors) {
  lua().SetGlobal("t", FixtureTable());
  // Each message is the whole error, the same under both runtimes.
  struct Case {
    const char* call;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"Q.GetTextbufferString()", "bad argument #1 to 'GetTextbufferString' (table expected, got no value)"},
      {"Q.GetTextbufferString(nil)", "bad argument #1 to 'GetTextbufferString' (table expected, got nil)"},
      {"Q.GetTextbufferString(1)", "bad argument #1 to 'GetTextbufferString' (table expected, got number)"},
      {"Q.GetTextbufferString({ModuleAddress = t.ModuleAddress})",
       "bad argument #1 to 'GetTextbufferString' (field 'TextBufferAddress': number expected, got nil)"},
      {"Q.GetTextbufferString({TextBufferAddress = t.TextBufferAddress})",
       "bad argument #1 to 'GetTextbufferString' (field 'ModuleAddress': number expected, got nil)"},
      {"Q.GetTextbufferString({})",
       "bad argument #1 to 'GetTextbufferString' (field 'TextBufferAddress': number expected, got nil)"},
      {"Q.GetTextbufferString({ModuleAddress = t.ModuleAddress, TextBufferAddress = {}})",
       "bad argument #1 to 'GetTextbufferString' (field 'TextBufferAddress': number expected, got table)"},
      {"Q.GetTextbufferString({ModuleAddress = 'x', TextBufferAddress = t.TextBufferAddress})",
       "bad argument #1 to 'GetTextbufferString' (field 'ModuleAddress': number expected, got string)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    Outcome o = lua().Run(std::string("return (") + c.call + ")");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, std::string("test:1: ") + c.message);
  }
  for (const char* chunk : {"local f = Q.GetTextbufferString; return (f(nil))",
                            "return Q.GetTextbufferString(nil)",
                            "local ok, e = pcall(Q.GetTextbufferString, nil); error(e, 0)"}) {
    SCOPED_TRACE(chunk);
    Outcome o = lua().Run(chunk);
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find("bad argument #1 to 'GetTextbufferString' (table expected, got nil)"),
              std::string::npos)
        << o.error;
  }
  EXPECT_TRUE(Gave(lua().Call("GetTextbufferString", {FixtureTable()}),
                   Str("Fixture text buffer: 0123456789 ABC xyz")));
}

// ---------------------------------------------------------------- code pages

// The same wide text through both readers: the text buffer and layout 3.
void ExpectAnsi(LuaSession& lua, const std::u16string& text, const std::string& expected) {
  SCOPED_TRACE("wide text of " + std::to_string(text.size()) + " units");
  std::vector<uint16_t> w = Wide(text);
  if (w.size() <= QVF_TEXT_CAPACITY) {
    ASSERT_TRUE(qvf_set_text(w.data()));
    EXPECT_TRUE(Gave(lua.Call("GetTextbufferString", {FixtureTable()}), Str(expected))) << "text buffer";
  }
  QvfRecord* r = qvf_record(3);
  if (w.size() <= sizeof r->l3.text / 2) {
    std::copy(w.begin(), w.end(), r->l3.text);
    Outcome o = lua.Call("GetObjectData", {FixtureTable(), ArgNum(3)});
    ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].Field("text")) << Describe(o);
    EXPECT_EQ(*o.values[0].Field("text"), Str(expected)) << "layout 3 text";
  }
}

// Cases for one ANSI code page, skipped in any other. Each code page has a
// run made for it, which checks at its start that it has that code page
// (tests/expected_code_page.h), so that none of its cases is skipped there.
template <UINT kCodePage>
class CodePageTest : public TextBufferTest {
 protected:
  void SetUp() override {
    if (GetACP() != kCodePage) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not " << kCodePage;
    TextBufferTest::SetUp();
  }
};
using CodePage932Test = CodePageTest<932>;
using CodePage1252Test = CodePageTest<1252>;

TEST_F(CodePage932Test, JapaneseComesOutAsShiftJis) {
  ExpectAnsi(lua(), u"\u65E5\u672C", "\x93\xFA\x96\x7B");
  ExpectAnsi(lua(), u"A\u65E5\u672Cz", "A\x93\xFA\x96\x7Bz");
  ExpectAnsi(lua(), u"\uFF71\u3042", "\xB1\x82\xA0");  // half-width katakana is one byte
}

TEST_F(CodePage932Test, CharactersTheCodePageLacksBecomeQuestionMarks) {
  ExpectAnsi(lua(), u"\u0101", "?");
  ExpectAnsi(lua(), u"a\u0101b\u65E5", "a?b\x93\xFA");
  ExpectAnsi(lua(), u"\u0E01\u263A", "??");
}

TEST_F(CodePage932Test, LookAlikesAndCharactersOutsideTheBasicPlane) {
  // Where the code page has a look-alike, Windows puts it in.
  ExpectAnsi(lua(), u"caf\u00E9 na\u00EFve", "cafe naive");
  // A character outside the Basic Multilingual Plane is two UTF-16 units,
  // each without a counterpart.
  ExpectAnsi(lua(), u"a\U0001F600b", "a??b");
  ExpectAnsi(lua(), u"\U00020B9F", "??");
}

TEST_F(CodePage932Test, ConvertedTextLongerInBytesThanInUnits) {
  // Every unit becomes two bytes: the size comes from the conversion itself.
  std::u16string text(3000, u'\u65E5');
  std::string expected;
  for (int i = 0; i < 3000; ++i) expected += "\x93\xFA";
  ExpectAnsi(lua(), text, expected);
  // At the cap: 2^20 units give twice as many bytes.
  uint16_t* w = static_cast<uint16_t*>(qvf_alloc_pages((kCap + 10) * 2, PAGE_READWRITE));
  ASSERT_NE(w, nullptr);
  for (uint32_t i = 0; i < kCap + 9; ++i) w[i] = 0x65E5;
  w[kCap + 9] = 0;
  const uint32_t offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w)) - offsets_.base;
  Outcome o =
      lua().Call("GetTextbufferString", {WithField(FixtureTable(), "TextBufferAddress", ArgNum(offset))});
  qvf_free_pages(w);
  ASSERT_TRUE(o.ok && o.values.size() == 1 && o.values[0].kind == LuaValue::kString) << Describe(o);
  EXPECT_EQ(o.values[0].str.size(), 2u * kCap);
  EXPECT_EQ(o.values[0].str.substr(0, 4), "\x93\xFA\x93\xFA");
}

TEST_F(CodePage932Test, StringFieldsAreNotConverted) {
  QvfRecord* r = qvf_record(0);
  std::strcpy(r->file, "\x93\xFA\x96\x7B.avi");
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(0)}),
                   Table({{"file", Str("\x93\xFA\x96\x7B.avi")}})));
}

TEST_F(CodePage1252Test, WesternCharactersAndReplacements) {
  ExpectAnsi(lua(), u"caf\u00E9 \u20AC5",
             "caf\xE9 \x80"
             "5");
  ExpectAnsi(lua(), u"\u0E01\u263Ax\u65E5", "??x?");
  // Look-alikes where the code page has one; two units outside the Basic
  // Multilingual Plane, two question marks.
  ExpectAnsi(lua(), u"\u0101\u0107", "ac");
  ExpectAnsi(lua(), u"a\U0001F600b", "a??b");
}

}  // namespace
}  // namespace qv_e2e
