// GetObjectData over the fixture module's records.
#include <windows.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "harness.h"

namespace qv_e2e {
namespace {

using ObjectDataTest = E2ETest;

// What each record of the fixture holds when it is loaded, as Lua sees it.
LuaValue DefaultFields(int type_index) {
  switch (type_index) {
    case 0: return Table({{"file", Str("C:\\media\\clip0.avi")}});
    case 1: return Table({{"file", Str("C:\\media\\sound1.wav")}});
    case 2: return Table({{"file", Str("D:\\pictures\\image2.png")}});
    case 3:
      return Table({{"type", Num(7)},
                    {"autoadjust", Num(1)},
                    {"soft", Num(0)},
                    {"monospace", Num(128)},
                    {"align", Num(255)},
                    {"spacing_x", Num(-1)},
                    {"spacing_y", Num(-128)},
                    {"precision", Num(255)},
                    {"color", Num(0x112233)},   // stored bytes 11 22 33 44
                    {"color2", Num(0x8000FF)},  // stored bytes 80 00 FF FF
                    {"font", Str("Fixture Sans")},
                    {"text", Str("Layer text 3")}});
    case 4:
      return Table({{"type", Num(4294967295.0)}, {"color", Num(0xAABBCC)}, {"name", Str("Gradient 4")}});
    case 5:
    case 8:
    case 9:
    case 12: return Table({});
    case 6:
      return Table({{"file", Str("C:\\video\\movie6.mp4")},
                    {"type", Num(-1)},
                    {"mode", Num(32767)},
                    {"res_w", Num(1920)},
                    {"res_h", Num(-32768)},
                    {"pad_w", Num(1)},
                    {"pad_h", Num(-2)},
                    {"color", Num(0x785634)},  // stored bytes 78 56 34 12
                    {"sample_n", Num(-123456789)},
                    {"mirror", Num(255)}});
    case 7: return Table({{"scene_id", Num(-2147483648.0)}});
    case 10: return Table({{"blend", Num(-1)}});
    case 11: return Table({{"blend", Num(2147483647.0)}});
    case 13: return Table({{"blend", Num(13)}});
    case 80:
      return Table({{"type", Num(-1)},
                    {"filter", Num(-32768)},
                    {"name", Str("Gaussian blur 80")},
                    {"param", Str("radius=5;angle=-30")}});
  }
  return Nil();
}

const int kLayouts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 80};

TEST_F(ObjectDataTest, EveryLayoutGivesExactlyItsFields) {
  for (int t : kLayouts) {
    SCOPED_TRACE("type index " + std::to_string(t));
    EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(t)}), DefaultFields(t)));
  }
}

TEST_F(ObjectDataTest, RecordsAreReadAfreshOnEveryCall) {
  Arg t = FixtureTable();
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(7)}), DefaultFields(7)));
  qvf_record(7)->scene_id = 4711;
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(7)}), Table({{"scene_id", Num(4711)}})));
  // Pointing the slot at another structure switches records.
  qvf_set_slot(7, qvf_get_slot(13));
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(7)}), Table({{"scene_id", Num(13)}})));
  // And the record pointer too.
  qvf_reset();
  qvf_set_record_pointer(10, qvf_get_record_pointer(11));
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(10)}), Table({{"blend", Num(2147483647.0)}})));
}

struct RecordCase {
  const char* name;
  int type_index;
  std::function<void(QvfRecord*)> change;
  LuaValue expected;
};

// `table` with some of its fields given other values.
LuaValue With(LuaValue table, const std::vector<std::pair<std::string, LuaValue>>& changes) {
  for (const auto& c : changes) {
    bool found = false;
    for (auto& f : table.fields) {
      if (f.first == c.first) {
        f.second = c.second;
        found = true;
      }
    }
    EXPECT_TRUE(found) << "no field " << c.first;
  }
  return table;
}

TEST_F(ObjectDataTest, FieldWidthsSignednessColoursAndStringBounds) {
  const std::vector<RecordCase> cases = {
      {"layout 3: every byte setting at its extremes", 3,
       [](QvfRecord* r) {
         QvfLayout3& l = r->l3;
         l.type = 0xFF; l.autoadjust = 0x80; l.soft = 0x7F; l.monospace = 0;
         l.align = 0; l.spacing_x = 127; l.spacing_y = 0; l.precision = 1;
       },
       With(DefaultFields(3), {{"type", Num(255)}, {"autoadjust", Num(128)}, {"soft", Num(127)},
                               {"monospace", Num(0)}, {"align", Num(0)}, {"spacing_x", Num(127)},
                               {"spacing_y", Num(0)}, {"precision", Num(1)}})},
      {"layout 3: colours lose the top byte and swap red and blue", 3,
       [](QvfRecord* r) {
         r->l3.color = 0xFF000000u;   // only the top byte set
         r->l3.color2 = 0x00FF00FFu;  // bytes FF 00 FF 00
       },
       With(DefaultFields(3), {{"color", Num(0)}, {"color2", Num(0xFF00FF)}})},
      {"layout 3: empty font and empty wide text give empty strings", 3,
       [](QvfRecord* r) { r->l3.font[0] = 0; r->l3.text[0] = 0; },
       With(DefaultFields(3), {{"font", Str("")}, {"text", Str("")}})},
      {"layout 3: a font with no NUL before offset 48 gives its 32 bytes", 3,
       [](QvfRecord* r) { std::memcpy(r->l3.font, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32); },
       With(DefaultFields(3), {{"font", Str("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345")}})},
      {"layout 3: a font with no NUL before 48 and an empty text", 3,
       [](QvfRecord* r) { std::memset(r->l3.font, 'f', 32); r->l3.text[0] = 0; },
       With(DefaultFields(3), {{"font", Str(std::string(32, 'f'))}, {"text", Str("")}})},
      {"layout 3: font bytes come as they stand", 3,
       [](QvfRecord* r) { std::memcpy(r->l3.font, "\x93\xFA\x96\x7B\xE9\x80\x01", 8); },
       With(DefaultFields(3), {{"font", Str("\x93\xFA\x96\x7B\xE9\x80\x01")}})},
      {"layout 4: type and colour with the top bit", 4,
       [](QvfRecord* r) { r->l4.type = 0x80000000u; r->l4.color = 0x80FFFFFFu; },
       With(DefaultFields(4), {{"type", Num(2147483648.0)}, {"color", Num(0xFFFFFF)}})},
      {"layout 4: type 0 and an empty name", 4,
       [](QvfRecord* r) { r->l4.type = 0; r->l4.name[0] = 0; },
       With(DefaultFields(4), {{"type", Num(0)}, {"name", Str("")}})},
      {"layout 6: a file with no NUL before offset 280 gives its 280 bytes", 6,
       [](QvfRecord* r) { std::memset(r->l6.file, 'F', 280); },
       With(DefaultFields(6), {{"file", Str(std::string(280, 'F'))}})},
      {"layout 6: two-byte and four-byte extremes", 6,
       [](QvfRecord* r) {
         QvfLayout6& l = r->l6;
         l.type = 32767; l.mode = -32768; l.res_w = -1; l.res_h = 0; l.pad_w = 0x7F00; l.pad_h = 0x00FF;
         l.color = 0x000000FFu; l.sample_n = INT32_MAX; l.mirror = 0;
       },
       With(DefaultFields(6), {{"type", Num(32767)}, {"mode", Num(-32768)}, {"res_w", Num(-1)},
                               {"res_h", Num(0)}, {"pad_w", Num(0x7F00)}, {"pad_h", Num(255)},
                               {"color", Num(0xFF0000)}, {"sample_n", Num(2147483647.0)}, {"mirror", Num(0)}})},
      {"layout 6: sample_n -1 and mirror 1", 6,
       [](QvfRecord* r) { r->l6.sample_n = -1; r->l6.mirror = 1; },
       With(DefaultFields(6), {{"sample_n", Num(-1)}, {"mirror", Num(1)}})},
      {"layout 7: scene_id -1", 7, [](QvfRecord* r) { r->scene_id = -1; }, Table({{"scene_id", Num(-1)}})},
      {"layout 7: scene_id 0", 7, [](QvfRecord* r) { r->scene_id = 0; }, Table({{"scene_id", Num(0)}})},
      {"layout 10: blend INT32_MIN", 10, [](QvfRecord* r) { r->blend = INT32_MIN; },
       Table({{"blend", Num(-2147483648.0)}})},
      {"layout 80: a name with no NUL before offset 260 gives its 256 bytes", 80,
       [](QvfRecord* r) { std::memset(r->l80.name, 'N', 256); },
       With(DefaultFields(80), {{"name", Str(std::string(256, 'N'))}})},
      {"layout 80: empty name and param, filter 0x7FFF", 80,
       [](QvfRecord* r) { r->l80.name[0] = 0; r->l80.param[0] = 0; r->l80.filter = 32767; r->l80.type = 0; },
       Table({{"type", Num(0)}, {"filter", Num(32767)}, {"name", Str("")}, {"param", Str("")}})},
      {"layout 1: the name starts 4 bytes in", 1,
       [](QvfRecord* r) { r->l1.lead = 0; std::strcpy(r->l1.file, "x"); },
       Table({{"file", Str("x")}})},
      {"layout 0: an empty name", 0, [](QvfRecord* r) { r->file[0] = 0; }, Table({{"file", Str("")}})},
      {"layout 2: bytes above 0x7F come as they stand", 2,
       [](QvfRecord* r) { std::strcpy(r->file, "C:\\\xE9t\xE9\\\x82\xA0.png"); },
       Table({{"file", Str("C:\\\xE9t\xE9\\\x82\xA0.png")}})},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    qvf_reset();
    c.change(qvf_record(c.type_index));
    EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(c.type_index)}), c.expected));
  }
}

TEST_F(ObjectDataTest, TypeIndicesWithoutALayoutGiveNilEvenWithValidSlots) {
  // Slots -1, 14, 79 and 81 all lead to valid records (layout 3 contents).
  for (int t : {-1, 14, 79, 81}) ASSERT_NE(qvf_get_record_pointer(t), 0u);
  for (double t :
       {-1.0, 14.0, 15.0, 50.0, 79.0, 81.0, 82.0, 100.0, 255.0, -2.0, -80.0, 2147483647.0, -2147483648.0}) {
    SCOPED_TRACE("type index " + std::to_string(t));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {FixtureTable(), ArgNum(t)})));
  }
  Outcome o = lua().Run("local t = {ModuleAddress = " + std::to_string(offsets_.base) +
                        ", ObjectAddressList = " + std::to_string(offsets_.object_address_list) +
                        ", ObjectDataOffset = 16, TextBufferAddress = 0}\n"
                        "return select('#', Q.GetObjectData(t, 14)), select('#', Q.GetObjectData(t, 81)),\n"
                        "       select('#', Q.GetObjectData(t, 80))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values, (std::vector<LuaValue>{Num(0), Num(0), Num(1)}));
}

TEST_F(ObjectDataTest, ZeroOnTheWayGivesNil) {
  const Arg t = FixtureTable();
  struct Case {
    const char* name;
    std::function<void()> change;
    Arg table;
  };
  const std::vector<Case> cases = {
      {"slot 0",
       [] {
         qvf_set_slot(3, 0);
         qvf_set_slot(5, 0);
       },
       t},
      {"record pointer 0",
       [] {
         qvf_set_record_pointer(3, 0);
         qvf_set_record_pointer(5, 0);
       },
       t},
      {"ModuleAddress 0", [] {}, WithField(t, "ModuleAddress", ArgNum(0))},
      {"ObjectAddressList 0", [] {}, WithField(t, "ObjectAddressList", ArgNum(0))},
      {"ObjectDataOffset 0", [] {}, WithField(t, "ObjectDataOffset", ArgNum(0))},
      {"ModuleAddress 2^32 (0 modulo 2^32)", [] {}, WithField(t, "ModuleAddress", ArgNum(kTwo32))},
      {"ModuleAddress 0.5 (0 when truncated)", [] {}, WithField(t, "ModuleAddress", ArgNum(0.5))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvf_reset();
    c.change();
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {c.table, ArgNum(3)})));
    EXPECT_TRUE(GaveNil(lua().Call("GetObjectData", {c.table, ArgNum(5)}))) << "empty layout";
  }
}

TEST_F(ObjectDataTest, ModuleNotLoadedGivesNil) {
  std::string path = TempPath("not loaded.ini");
  std::string profile =
      "[Config]\r\nVersion=v\r\nModule=qv_not_loaded_anywhere.dll\r\n[v]\r\nObjectAddressList=" +
      std::to_string(offsets_.object_address_list) + "\r\nObjectDataOffset=10\r\n";
  ASSERT_TRUE(qvf_write_file(path.c_str(), profile.data(), static_cast<uint32_t>(profile.size())));
  lua().SetGlobal("path", ArgStr(path));
  Outcome o = lua().Run(
      "local t = Q.GetAddress(path)\n"
      "return t.ModuleAddress, select('#', Q.GetObjectData(t, 3)), select('#', Q.GetObjectData(t, 12))");
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.values, (std::vector<LuaValue>{Num(0), Num(0), Num(0)}));
}

TEST_F(ObjectDataTest, BadArgumentsRaiseErrors) {
  lua().SetGlobal("t", FixtureTable());
  // Each message is the whole error, the same under both runtimes.
  struct Case {
    const char* call;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"Q.GetObjectData(t, 'abc')", "bad argument #2 to 'GetObjectData' (number expected, got string)"},
      {"Q.GetObjectData(t, {})", "bad argument #2 to 'GetObjectData' (number expected, got table)"},
      {"Q.GetObjectData(t)", "bad argument #2 to 'GetObjectData' (number expected, got no value)"},
      {"Q.GetObjectData(t, nil)", "bad argument #2 to 'GetObjectData' (number expected, got nil)"},
      {"Q.GetObjectData(t, true)", "bad argument #2 to 'GetObjectData' (number expected, got boolean)"},
      // The type index is checked before the table is looked at.
      {"Q.GetObjectData(nil, 'x')", "bad argument #2 to 'GetObjectData' (number expected, got string)"},
      {"Q.GetObjectData(nil)", "bad argument #2 to 'GetObjectData' (number expected, got no value)"},
      // A first argument that cannot be indexed, also with a type index that
      // names no type.
      {"Q.GetObjectData(nil, 3)", "bad argument #1 to 'GetObjectData' (table expected, got nil)"},
      {"Q.GetObjectData(42, 3)", "bad argument #1 to 'GetObjectData' (table expected, got number)"},
      {"Q.GetObjectData(true, 14)", "bad argument #1 to 'GetObjectData' (table expected, got boolean)"},
      {"Q.GetObjectData(print, 0/0)", "bad argument #1 to 'GetObjectData' (table expected, got function)"},
      {"Q.GetObjectData(coroutine.create(function() end), 3)",
       "bad argument #1 to 'GetObjectData' (table expected, got thread)"},
      // Fields, named, in the order they are fetched.
      {"Q.GetObjectData({ModuleAddress = t.ModuleAddress, ObjectAddressList = t.ObjectAddressList}, 3)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectDataOffset': number expected, got nil)"},
      {"Q.GetObjectData({ModuleAddress = t.ModuleAddress, ObjectDataOffset = 16}, 3)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number expected, got nil)"},
      {"Q.GetObjectData({ObjectAddressList = t.ObjectAddressList, ObjectDataOffset = 16}, 3)",
       "bad argument #1 to 'GetObjectData' (field 'ModuleAddress': number expected, got nil)"},
      {"Q.GetObjectData({ModuleAddress = t.ModuleAddress, ObjectAddressList = t.ObjectAddressList,"
       " ObjectDataOffset = true}, 3)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectDataOffset': number expected, got boolean)"},
      {"Q.GetObjectData({ModuleAddress = 'zz', ObjectAddressList = t.ObjectAddressList,"
       " ObjectDataOffset = 16}, 3)",
       "bad argument #1 to 'GetObjectData' (field 'ModuleAddress': number expected, got string)"},
      {"Q.GetObjectData({}, 14)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number expected, got nil)"},
      {"Q.GetObjectData({}, 0/0)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number expected, got nil)"},
      // A string has an __index metamethod (the string library): it is
      // indexed, and its fields are nil.
      {"Q.GetObjectData('abc', 3)",
       "bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number expected, got nil)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    Outcome o = lua().Run(std::string("return (") + c.call + ")");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, std::string("test:1: ") + c.message);
  }
  // However the function is reached, it is named by its own name.
  const std::string field_error =
      "bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number expected, got nil)";
  for (const char* chunk : {
           "local get = Q.GetObjectData; return (get({}, 3))",
           "return Q.GetObjectData({}, 3)",  // a tail call
           "local ok, e = pcall(Q.GetObjectData, {}, 3); error(e, 0)",
       }) {
    SCOPED_TRACE(chunk);
    Outcome o = lua().Run(chunk);
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find(field_error), std::string::npos) << o.error;
  }
  // Numbers in strings are numbers, as for any Lua library function.
  EXPECT_TRUE(Gave(lua().Run("return Q.GetObjectData({ModuleAddress = tostring(t.ModuleAddress),"
                             " ObjectAddressList = t.ObjectAddressList, ObjectDataOffset = '16'}, '13')"),
                   DefaultFields(13)));
  // And everything still works afterwards.
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {FixtureTable(), ArgNum(13)}), DefaultFields(13)));
}

TEST_F(ObjectDataTest, AnythingWithAnIndexMetamethodIsIndexedAsATable) {
  lua().SetGlobal("t", FixtureTable());
  // Every field goes through lua_getfield, metamethods included, in the
  // order ObjectAddressList, ObjectDataOffset, ModuleAddress; the three are
  // fetched before any is checked.
  Outcome o = lua().Run(
      "local seen = {}\n"
      "local proxy = setmetatable({}, {__index = function(_, k) seen[#seen + 1] = k; return t[k] end})\n"
      "local r = Q.GetObjectData(proxy, 13)\n"
      "local bad = setmetatable({}, {__index = function(_, k) seen[#seen + 1] = k end})\n"
      "local ok, e = pcall(Q.GetObjectData, bad, 13)\n"
      "return r.blend, table.concat(seen, ' '), e");
  EXPECT_TRUE(o.ok) << Describe(o);
  EXPECT_EQ(o.values, (std::vector<LuaValue>{
                          Num(13),
                          Str("ObjectAddressList ObjectDataOffset ModuleAddress "
                              "ObjectAddressList ObjectDataOffset ModuleAddress"),
                          Str("bad argument #1 to 'GetObjectData' (field 'ObjectAddressList': number "
                              "expected, got nil)")}));
  // A userdata with an __index metamethod is indexed too.
  o = lua().Run(
      "local u = newproxy(true)\n"
      "getmetatable(u).__index = t\n"
      "return Q.GetObjectData(u, 13).blend, Q.GetTextbufferString(u)");
  EXPECT_TRUE(o.ok) << Describe(o);
  EXPECT_EQ(o.values, (std::vector<LuaValue>{Num(13), Str("Fixture text buffer: 0123456789 ABC xyz")}));
  // One without is not.
  EXPECT_TRUE(Raised(lua().Run("return (Q.GetObjectData(newproxy(false), 13))"),
                     "bad argument #1 to 'GetObjectData' (table expected, got userdata)"));
}

TEST_F(ObjectDataTest, AddressFieldsAreTakenModulo2To32) {
  const Arg t = FixtureTable();
  const double base = offsets_.base;
  const double list = offsets_.object_address_list;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    const char* field;
    double value;
    bool gives_record;
  };
  const std::vector<Case> cases = {
      {"ModuleAddress with a fraction", "ModuleAddress", base + 0.75, true},
      {"ModuleAddress + 2^32", "ModuleAddress", base + kTwo32, true},
      {"ModuleAddress + 2^40", "ModuleAddress", base + 1099511627776.0, true},
      {"ModuleAddress - 2^32 (negative)", "ModuleAddress", base - kTwo32, true},
      {"ModuleAddress - 2^32 - 0.5 (truncated toward zero)", "ModuleAddress", base - kTwo32 - 0.5, true},
      {"ObjectAddressList - 2^32 (negative)", "ObjectAddressList", list - kTwo32, true},
      {"ObjectAddressList + 3 * 2^32", "ObjectAddressList", list + 3 * kTwo32, true},
      {"ObjectAddressList with a fraction", "ObjectAddressList", list + 0.999, true},
      {"ObjectDataOffset + 2^32", "ObjectDataOffset", 16 + kTwo32, true},
      {"ObjectDataOffset - 2^32 (negative)", "ObjectDataOffset", 16 - kTwo32, true},
      {"ModuleAddress NaN", "ModuleAddress", nan, false},
      {"ModuleAddress +inf", "ModuleAddress", inf, false},
      {"ModuleAddress -inf", "ModuleAddress", -inf, false},
      {"ModuleAddress 1e300 (a multiple of 2^32)", "ModuleAddress", 1e300, false},
      {"ObjectDataOffset NaN", "ObjectDataOffset", nan, false},
      {"ObjectAddressList inf", "ObjectAddressList", inf, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = lua().Call("GetObjectData", {WithField(t, c.field, ArgNum(c.value)), ArgNum(3)});
    if (c.gives_record)
      EXPECT_TRUE(Gave(o, DefaultFields(3)));
    else
      EXPECT_TRUE(GaveNil(o));
  }
}

TEST_F(ObjectDataTest, TypeIndexIsTakenModulo2To32AsASigned32BitValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double index;
    int layout;  // -1: nil
  };
  const std::vector<Case> cases = {
      {3.99, 3},
      {-0.5, 0},  // truncated toward zero
      {kTwo32 + 3, 3},
      {3 - kTwo32, 3},
      {kTwo32 * 256 + 80, 80},
      {kTwo32 - 1, -1},  // the pattern of -1
      {kTwo31, -1},      // INT32_MIN
      {kTwo31 + 3, -1},
      {kTwo32 + kTwo31 + 7, -1},
      {nan, -1},  // NaN and the infinities name no type
      {-nan, -1},
      {inf, -1},
      {-inf, -1},
      {1e300, 0},  // a multiple of 2^32
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("type index " + std::to_string(c.index));
    Outcome o = lua().Call("GetObjectData", {FixtureTable(), ArgNum(c.index)});
    if (c.layout < 0)
      EXPECT_TRUE(GaveNil(o));
    else
      EXPECT_TRUE(Gave(o, DefaultFields(c.layout)));
  }
}

// The list is placed below the fixture's base, so that "ObjectAddressList"
// has its top bit set and base + offset wraps around 2^32.
class HighAddressTest : public ObjectDataTest {
 protected:
  void SetUp() override {
    ObjectDataTest::SetUp();
    if (HasFatalFailure()) return;
    list_ = static_cast<uint32_t*>(qvf_alloc_below(4096, offsets_.base));
    ASSERT_NE(list_, nullptr) << "no memory below the fixture base";
    for (int t = 0; t < QVF_TYPE_COUNT; ++t) list_[t] = qvf_get_slot(t);
    list_offset_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(list_)) - offsets_.base;
    ASSERT_GE(list_offset_, 0x80000000u) << "list not far enough below the base";
  }
  void TearDown() override {
    if (list_) qvf_free_pages(list_);
    ObjectDataTest::TearDown();
  }
  uint32_t* list_ = nullptr;
  uint32_t list_offset_ = 0;
};

TEST_F(HighAddressTest, ListOffsetWithTheTopBitSetFromAProfile) {
  std::string path = TempPath("high.ini");
  char section[256];
  std::snprintf(section, sizeof section, "[h]\r\nObjectAddressList=%08lX\r\nObjectDataOffset=0x10\r\n",
                static_cast<unsigned long>(list_offset_));
  std::string profile = std::string("[Config]\r\nVersion=h\r\nModule=") + QVF_MODULE_NAME + "\r\n" + section;
  ASSERT_TRUE(qvf_write_file(path.c_str(), profile.data(), static_cast<uint32_t>(profile.size())));
  lua().SetGlobal("path", ArgStr(path));
  Outcome o = lua().Run(
      "local t = Q.GetAddress(path)\n"
      "return t.ObjectAddressList, Q.GetObjectData(t, 3), Q.GetObjectData(t, 80), Q.GetObjectData(t, 0)");
  ASSERT_TRUE(o.ok) << o.error;
  ASSERT_EQ(o.values.size(), 4u);
  EXPECT_EQ(o.values[0], Num(list_offset_)) << "pushed as the unsigned value";
  EXPECT_EQ(o.values[1], DefaultFields(3));
  EXPECT_EQ(o.values[2], DefaultFields(80));
  EXPECT_EQ(o.values[3], DefaultFields(0));
}

TEST_F(HighAddressTest, ListOffsetWithTheTopBitSetAsNumberOrNegative) {
  const Arg t = FixtureTable();
  for (double list :
       {static_cast<double>(list_offset_), list_offset_ - kTwo32, list_offset_ - kTwo32 - 0.25}) {
    SCOPED_TRACE("ObjectAddressList " + std::to_string(list));
    Arg high = WithField(t, "ObjectAddressList", ArgNum(list));
    for (int type_index : {4, 6, 7}) {
      EXPECT_TRUE(Gave(lua().Call("GetObjectData", {high, ArgNum(type_index)}), DefaultFields(type_index)));
    }
  }
}

TEST_F(ObjectDataTest, ModuleAddressAndDataOffsetWithTheTopBitSet) {
  // A base of 0xF0000000 with the list offset wrapping back to the real list.
  const uint32_t fake_base = 0xF0000000u;
  const uint32_t list = offsets_.base + offsets_.object_address_list;
  Arg t = AddressTable(fake_base, static_cast<uint32_t>(list - fake_base), 16, 0);
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(6)}), DefaultFields(6)));
  t = AddressTable(fake_base - kTwo32, static_cast<uint32_t>(list - fake_base) - kTwo32, 16, 0);
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(6)}), DefaultFields(6)));

  // "ObjectDataOffset" with the top bit set: the slot holds a value that only
  // reaches the record pointer when the sum wraps.
  const uint32_t data_offset = 0x80000010u;
  const uint32_t holder = qvf_get_slot(11);
  qvf_set_slot(11, static_cast<uint32_t>(holder + QVF_DATA_OFFSET - data_offset));
  t = WithField(FixtureTable(), "ObjectDataOffset", ArgNum(data_offset));
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(11)}), DefaultFields(11)));
  t = WithField(FixtureTable(), "ObjectDataOffset", ArgNum(static_cast<double>(data_offset) - kTwo32));
  EXPECT_TRUE(Gave(lua().Call("GetObjectData", {t, ArgNum(11)}), DefaultFields(11)));
}

TEST_F(ObjectDataTest, ReadsLeaveTheHostModuleUnchanged) {
  uint32_t size = 0;
  const void* block = qvf_data_block(&size);
  std::vector<unsigned char> before(static_cast<const unsigned char*>(block),
                                    static_cast<const unsigned char*>(block) + size);
  const Arg t = FixtureTable();
  for (int round = 0; round < 2; ++round) {
    for (int i = -1; i <= 81; ++i) lua().Call("GetObjectData", {t, ArgNum(i)});
    lua().Call("GetTextbufferString", {t});
  }
  EXPECT_EQ(0, std::memcmp(before.data(), block, size));
}

// The x87 control word of the calling thread, for as long as it lives.
class FpuMode {
 public:
  explicit FpuMode(unsigned short control) {
    __asm__ volatile("fnstcw %0" : "=m"(saved_));
    __asm__ volatile("fldcw %0" : : "m"(control));
  }
  ~FpuMode() { __asm__ volatile("fldcw %0" : : "m"(saved_)); }

 private:
  unsigned short saved_ = 0;
};

// Whether a double loaded into the x87 under this control word stays exact.
// Hardware applies the precision control to arithmetic only; an emulated x87
// (qemu's) rounds loads to it as well, so Lua itself sees other numbers there
// and a mode that does so says nothing about the module.
bool LoadsKeepDoublesExact(unsigned short control) {
  const volatile double wide = 4503599627370497.0;  // 2^52 + 1: all 53 bits
  double back = 0;
  {
    FpuMode in(control);
    __asm__ volatile("fldl %1\n\tfstpl %0" : "=m"(back) : "m"(wide));
  }
  return back == wide;
}

// The host may run the FPU in any precision and rounding mode; numbers with
// fractions, near 2^32 and near 2^51 are truncated toward zero all the same.
TEST_F(ObjectDataTest, NumbersAreTruncatedTheSameWhateverTheFpuMode) {
  const double two51 = 2251799813685248.0;
  struct Mode {
    const char* name;
    unsigned short control;  // all exceptions masked
  };
  const Mode modes[] = {{"extended, nearest", 0x037F}, {"double, nearest", 0x027F},
                        {"extended, down", 0x077F},    {"extended, up", 0x0B7F},
                        {"double, toward zero", 0x0E7F},
                        // Single precision, the mode Direct3D 9 leaves the
                        // thread that creates a device in unless told otherwise.
                        {"single, nearest", 0x007F},   {"single, toward zero", 0x0C7F}};
  struct Case {
    const char* field;  // nullptr: the type index
    double value;
    int layout;  // what comes back; -1: nil
  };
  const Case cases[] = {
      {nullptr, 3.5, 3},
      {nullptr, 6.75, 6},
      {nullptr, 80.999, 80},
      {nullptr, -0.5, 0},
      {nullptr, -0.999, 0},
      {nullptr, -1.5, -1},                    // -1: no layout
      {nullptr, kTwo32 + 3.5, 3},
      {nullptr, two51 - kTwo32 + 6.5, 6},     // 2^51 - 2^32 is 0 modulo 2^32
      {nullptr, 2.5 - (two51 - kTwo32), 3},   // toward zero: 3 - (2^51 - 2^32)
      {nullptr, two51 + 3, 3},                // past the short way
      {nullptr, 4.0 * two51 + 80, 80},
      {"ObjectDataOffset", 16 - kTwo32 - 0.5, 3},
      {"ObjectDataOffset", 16.5 + kTwo32, 3},
      {"ObjectDataOffset", 15.5 - two51, 3},  // toward zero: 16 - 2^51
  };
  std::string unfaithful;
  for (const Mode& mode : modes) {
    if (!LoadsKeepDoublesExact(mode.control)) {
      unfaithful += unfaithful.empty() ? mode.name : std::string("; ") + mode.name;
      continue;
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode.name) + ": " + (c.field ? c.field : "type index") + " " +
                   std::to_string(c.value));
      Arg table = FixtureTable();
      Arg index = ArgNum(c.value);
      if (c.field != nullptr) {
        table = WithField(table, c.field, ArgNum(c.value));
        index = ArgNum(3);
      }
      Outcome o;
      {
        FpuMode in(mode.control);
        o = lua().Call("GetObjectData", {table, index});
      }
      if (c.layout < 0)
        EXPECT_TRUE(GaveNil(o));
      else
        EXPECT_TRUE(Gave(o, DefaultFields(c.layout)));
    }
  }
  if (!unfaithful.empty())
    GTEST_SKIP() << "this CPU rounds x87 loads under reduced precision (hardware does not; "
                    "an emulator may), so these modes were not run: "
                 << unfaithful;
}

}  // namespace
}  // namespace qv_e2e
