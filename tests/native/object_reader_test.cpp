#include <cstring>
#include <string>
#include <vector>

#include "platform/fake_platform.h"
#include "readers/host_words.h"
#include "readers/layouts.h"
#include "readers/readers.h"
#include "tests/native/bytes.h"
#include "tests/native/lua_harness.h"

namespace quorvane {
namespace {

// A host module at kBase whose list of per-type slots starts kList bytes in;
// each slot points to a structure that holds the record pointer kDataOffset
// bytes in.
constexpr std::uint32_t kBase = 0x00400000;
constexpr std::uint32_t kList = 0x1000;
constexpr std::uint32_t kDataOffset = 0x10;
constexpr std::uint32_t kStructures = 0x00500000;
constexpr std::uint32_t kRecords = 0x00600000;

std::uint32_t RecordAddress(int type) { return kRecords + static_cast<std::uint32_t>(type) * 0x1000; }

class GetObjectDataTest : public testing::LuaTest {
 protected:
  // Points the slot of `type` at a structure whose record pointer is `record`.
  static void Link(int type, std::uint32_t record) {
    const std::uint32_t structure = kStructures + static_cast<std::uint32_t>(type) * 0x40;
    fake::WriteU32(kBase + kList + 4 * static_cast<std::uint32_t>(type), structure);
    fake::WriteU32(structure + kDataOffset, record);
  }
  static void Store(int type, const Bytes& bytes) {
    fake::Write(RecordAddress(type), bytes.data.data(), bytes.data.size());
    Link(type, RecordAddress(type));
  }
  std::string Read(const std::string& type) {
    return Run("return Q.GetObjectData(" + testing::AddressTable(kBase, kList, kDataOffset, 0) +
               ", " + type + ")");
  }
  std::string Read(int type) { return Read(std::to_string(type)); }
};

struct LayoutCase {
  int type;
  Bytes record;
  std::string expected;
};

TEST_F(GetObjectDataTest, DecodesEveryLayout) {
  const LayoutCase cases[] = {
      {0, Bytes().Str("C:\\clips\\a.png"), R"({file="C:\clips\a.png"})"},
      {1, Bytes().Raw("JUNK", 4).Str("b.wav"), R"({file="b.wav"})"},
      {2, Bytes().Str(""), R"({file=""})"},
      {3,
       Bytes().U8(1).U8(0).U8(1).U8(0).U8(0xFF).U8(0xFF).U8(0x80).U8(0xFF)
           .U32(0x44332211).U32(0x00FF0000).Str("Arial").At(48).Wide(u"Hi \u00e9\u65e5"),
       "{align=255,autoadjust=0,color=1122867,color2=255,font=\"Arial\",monospace=0,"
       "precision=255,soft=1,spacing_x=-1,spacing_y=-128,text=\"Hi \xe9?\",type=1}"},
      {4, Bytes().U32(0xFFFFFFFF).U32(0x0000FF).Str("circle"),
       R"({color=16711680,name="circle",type=4294967295})"},
      {5, Bytes().U32(0xFFFFFFFF), "{}"},
      {6,
       Bytes().Str("C:\\v.mp4").At(280).U16(0xFFFF).U16(0x8000).U16(1920).U16(1080).U16(0x7FFF)
           .U16(2).U32(0xAABBCCDD).U32(0xFFFFFFFF).U8(1),
       R"({color=14535867,file="C:\v.mp4",mirror=1,mode=-32768,pad_h=2,pad_w=32767,res_h=1080,res_w=1920,sample_n=-1,type=-1})"},
      {7, Bytes().U32(0x80000000), "{scene_id=-2147483648}"},
      {8, Bytes(), "{}"},
      {9, Bytes(), "{}"},
      {10, Bytes().U32(255), "{blend=255}"},
      {11, Bytes().U32(0xFFFFFFFE), "{blend=-2}"},
      {12, Bytes(), "{}"},
      {13, Bytes().U32(7), "{blend=7}"},
      {80, Bytes().U16(0xFFFF).U16(2).Str("Blur").At(260).Str("radius=4"),
       R"({filter=2,name="Blur",param="radius=4",type=-1})"},
  };
  for (const LayoutCase& c : cases) {
    Store(c.type, c.record);
    EXPECT_EQ(Read(c.type), c.expected) << "type " << c.type;
  }
}

TEST_F(GetObjectDataTest, TypesWithoutLayoutReadNothing) {
  for (int type : {14, 79, 81, -1}) Store(type < 0 ? 0 : type, Bytes().U32(1));
  const std::uint64_t reads = fake::ReadCount();
  for (const char* type : {"14", "79", "81", "-1", "2^31", "-2^31", "0/0", "-(0/0)", "1/0", "-1/0"}) {
    EXPECT_EQ(Read(type), "nothing") << type;
  }
  EXPECT_EQ(fake::ReadCount(), reads);
}

TEST_F(GetObjectDataTest, NothingToReadGivesNil) {
  Store(7, Bytes().U32(5));
  Link(10, 0);  // an empty record pointer
  const std::string tail = ", 7)";
  EXPECT_EQ(Run("return select('#', Q.GetObjectData(" +
                testing::AddressTable(0, kList, kDataOffset, 0) + tail + ")"), "0");
  EXPECT_EQ(Read("7"), "{scene_id=5}");
  EXPECT_EQ(Read("10"), "nothing");
  EXPECT_EQ(Read("11"), "nothing");  // an empty slot
  for (const auto& table : {testing::AddressTable(kBase, 0, kDataOffset, 0),
                            testing::AddressTable(kBase, kList, 0, 0)}) {
    EXPECT_EQ(Run("return Q.GetObjectData(" + table + tail), "nothing") << table;
  }
}

TEST_F(GetObjectDataTest, AddressSumsWrapAround) {
  Store(7, Bytes().U32(42));
  struct Case {
    const char* module;
    const char* list;
  };
  // 0xFFFFF000 + 0x00402000 and 0x00500000 + (-0x000FF000) both reach the
  // list at 0x00401000; fields written as 32-bit patterns mean the same.
  for (const Case c : {Case{"4294963200", "4202496"}, Case{"5242880", "-1044480"},
                       Case{"5242880", "4293922816"}, Case{"4194304 + 2^32", "4096"}}) {
    EXPECT_EQ(Run(std::string("return Q.GetObjectData({ModuleAddress=") + c.module +
                  ", ObjectAddressList=" + c.list + ", ObjectDataOffset=16}, 7)"),
              "{scene_id=42}")
        << c.module << " + " << c.list;
  }
}

TEST_F(GetObjectDataTest, UnreadableMemoryGivesNil) {
  const Bytes text_record =
      Bytes().U8(1).At(8).U32(0).U32(0).Str("Arial").At(48).Wide(u"text");
  // The record straddles two pages: its colours start 4 bytes before the
  // second one.
  const std::uint32_t record = 0x00700000 - 12;
  struct Case {
    const char* what;
    std::uint32_t unreadable;
  };
  for (const Case c : {Case{"slot", kBase + kList + 4 * 3},
                       Case{"structure", kStructures + 3 * 0x40 + kDataOffset},
                       Case{"record start", record},
                       Case{"inside the record", record + 12}}) {
    fake::Reset();
    fake::Write(record, text_record.data.data(), text_record.data.size());
    Link(3, record);
    ASSERT_NE(Read(3), "nothing");
    fake::SetReadable(c.unreadable, 1, false);
    EXPECT_EQ(Read(3), "nothing") << c.what;
  }
  // Addresses that were never mapped, up to the top of the address space.
  for (std::uint32_t record_address : {0x00000010u, 0x7FFFFFF0u, 0xFFFFFFFEu}) {
    Link(7, record_address);
    EXPECT_EQ(Read(7), "nothing") << record_address;
  }
}

TEST_F(GetObjectDataTest, StringsStopAtAnUnreadablePageOnlyWhenTheyRunIntoIt) {
  // The record sits so that its string reaches the last bytes of a page.
  const std::uint32_t page_end = 0x00700000;
  const std::uint32_t record = page_end - 8;
  Link(0, record);
  fake::SetReadable(page_end, 1, false);

  fake::Write(record, "1234567", 8);  // NUL in the page's last byte
  EXPECT_EQ(Read(0), R"({file="1234567"})");
  fake::Write(record, "12345678", 8);  // runs on into the unreadable page
  EXPECT_EQ(Read(0), "nothing");

  // Wide text whose terminator straddles nothing but ends the page.
  Link(3, page_end - 60);
  fake::Write(page_end - 60, Bytes().At(48).Wide(u"abcde").data.data(), 60);
  EXPECT_NE(Read(3), "nothing");
  fake::Write(page_end - 12, Bytes().Raw(u"abcdef", 12).data.data(), 12);
  EXPECT_EQ(Read(3), "nothing");
}

TEST_F(GetObjectDataTest, StringsWithAFollowingFieldStopWhereItStarts) {
  const std::string long_text(400, 'x');
  Store(3, Bytes().At(16).Raw(long_text.data(), 32).Wide(u"after"));
  Store(6, Bytes().Raw(long_text.data(), 280).U16(1).At(301));
  Store(80, Bytes().At(4).Raw(long_text.data(), 256).Str("p"));
  const std::string read3 = Read(3);
  EXPECT_NE(read3.find("font=\"" + std::string(32, 'x') + "\""), std::string::npos) << read3;
  EXPECT_NE(read3.find("text=\"after\""), std::string::npos) << read3;
  EXPECT_NE(Read(6).find("file=\"" + std::string(280, 'x') + "\""), std::string::npos);
  EXPECT_NE(Read(80).find("name=\"" + std::string(256, 'x') + "\",param=\"p\""),
            std::string::npos);
}

TEST_F(GetObjectDataTest, StringsWithNoFollowingFieldSpanPages) {
  std::string long_name(10000, 'n');
  long_name[5000] = 'm';
  Store(4, Bytes().U32(1).U32(2).Str(long_name));
  EXPECT_EQ(Run("local t = Q.GetObjectData(" + testing::AddressTable(kBase, kList, kDataOffset, 0) +
                ", 4) return #t.name, (t.name:find('m'))"),
            "10000 5001");
}

TEST_F(GetObjectDataTest, StringsOfEveryLengthAroundTheBufferSizes) {
  // Short strings are copied on the stack, longer ones in pieces: every
  // length around those sizes comes back whole.
  for (std::size_t length : {0u, 1u, 255u, 256u, 257u, 511u, 512u, 513u, 1023u, 1024u, 1025u,
                             4095u, 4096u, 4097u}) {
    std::string name(length, 'a');
    for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<char>('a' + i % 26);
    Store(4, Bytes().U32(1).U32(2).Str(name));
    EXPECT_EQ(Run("local t = Q.GetObjectData(" +
                  testing::AddressTable(kBase, kList, kDataOffset, 0) + ", 4) return t.name"),
              "\"" + name + "\"")
        << length;
    std::u16string text(length, u'a');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(u'A' + i % 26);
    Store(3, Bytes().At(48).Wide(text));
    EXPECT_EQ(Run("local t = Q.GetObjectData(" +
                  testing::AddressTable(kBase, kList, kDataOffset, 0) + ", 3) return t.text"),
              "\"" + std::string(text.begin(), text.end()) + "\"")
        << length;
  }
}

TEST_F(GetObjectDataTest, FailedConversionGivesNil) {
  Store(3, Bytes().At(48).Wide(u"x"));
  fake::SetWideConversionFails(true);
  EXPECT_EQ(Read(3), "nothing");
}

TEST_F(GetObjectDataTest, BadArgumentsRaise) {
  Store(7, Bytes().U32(5));
  const std::string table = testing::AddressTable(kBase, kList, kDataOffset, 0);
  const std::string no_offset = "{ModuleAddress=" + std::to_string(kBase) +
                                ",ObjectAddressList=" + std::to_string(kList) + "}";
  struct Case {
    std::string call;
    std::string error;
  };
  for (const Case& c : {
           Case{"Q.GetObjectData(" + table + ", 'seven')", "bad argument #2 to 'GetObjectData' (number expected, got string)"},
           Case{"Q.GetObjectData(" + table + ")", "bad argument #2 to 'GetObjectData' (number expected, got no value)"},
           Case{"Q.GetObjectData(" + no_offset + ", 7)", "bad argument #1 to 'GetObjectData' (field 'ObjectDataOffset': number expected, got nil)"},
           Case{"Q.GetObjectData({ModuleAddress='x', ObjectAddressList=1, ObjectDataOffset=1}, 7)", "bad argument #1 to 'GetObjectData' (field 'ModuleAddress': number expected, got string)"},
           Case{"Q.GetObjectData(5, 7)", "bad argument #1 to 'GetObjectData' (table expected, got number)"},
           Case{"Q.GetObjectData(nil, 0/0)", "bad argument #1 to 'GetObjectData' (table expected, got nil)"},
       }) {
    const std::string result = Run("return (" + c.call + ")");
    EXPECT_NE(result.find(c.error), std::string::npos) << c.call << " gave " << result;
    EXPECT_EQ(result.rfind("error: ", 0), 0u) << c.call;
  }
}

// The chain every reader of it follows: where it stops, and the addresses it
// reached on the way, which the probe's walk names hop by hop.
TEST(ObjectChainTest, StopsAtTheFirstHopThatFailsWithTheAddressesReached) {
  constexpr std::int32_t kType = 7;
  constexpr std::uint32_t kSlot = kBase + kList + 4 * kType;
  constexpr std::uint32_t kStructure = kStructures + 0x80;
  constexpr std::uint32_t kPointer = kStructure + kDataOffset;
  constexpr std::uint32_t kRecord = 0x00600040;
  struct Case {
    const char* name;
    std::uint32_t structure, record;  // stored in the slot and the record pointer
    std::uint32_t unreadable;         // a page made unreadable, or 0
    ChainStop stop;
    ObjectChain reached;  // stop left out
  };
  const Case cases[] = {
      {"record", kStructure, kRecord, 0, ChainStop::kRecord,
       {{}, kSlot, kStructure, kPointer, kRecord}},
      {"slot unreadable", kStructure, kRecord, kSlot, ChainStop::kSlotUnreadable,
       {{}, kSlot, 0, 0, 0}},
      {"slot 0", 0, kRecord, 0, ChainStop::kSlotZero, {{}, kSlot, 0, 0, 0}},
      {"record pointer unreadable", kStructure, kRecord, kPointer, ChainStop::kPointerUnreadable,
       {{}, kSlot, kStructure, kPointer, 0}},
      {"record pointer 0", kStructure, 0, 0, ChainStop::kPointerZero,
       {{}, kSlot, kStructure, kPointer, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::WriteU32(kSlot, c.structure);
    fake::WriteU32(kPointer, c.record);
    if (c.unreadable != 0) fake::SetReadable(c.unreadable, 1, false);
    const ObjectChain chain = FollowObjectChain(kBase, kList, kDataOffset, kType);
    EXPECT_EQ(chain.stop, c.stop);
    EXPECT_EQ(chain.slot_address, c.reached.slot_address);
    EXPECT_EQ(chain.structure, c.reached.structure);
    EXPECT_EQ(chain.pointer_address, c.reached.pointer_address);
    EXPECT_EQ(chain.record, c.reached.record);
  }
}

TEST(SwapRedBlueTest, ExchangesOuterBytesAndDropsTheTop) {
  EXPECT_EQ(SwapRedBlue(0x44332211u), 0x112233u);
  EXPECT_EQ(SwapRedBlue(0xFF000000u), 0u);
  EXPECT_EQ(SwapRedBlue(0x00FF00FFu), 0xFF00FFu);
  EXPECT_EQ(SwapRedBlue(0x0000FF00u), 0x00FF00u);
}

}  // namespace
}  // namespace quorvane
