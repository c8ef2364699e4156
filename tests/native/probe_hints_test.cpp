// The probe's hints for profile authors that need no system: names close to
// one that was not found, the fields a --field may name, the offset behind
// walks that all stop alike and the offsets that leave the module without
// data; and how it reads the numbers given on its command line.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "probe/check/check_report.h"
#include "probe/check/shared_stop.h"
#include "probe/common/near_names.h"
#include "probe/common/numbers.h"

namespace probe {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(NameDistanceTest, CountsEditsIgnoringCase) {
  struct Case {
    const char* a;
    const char* b;
    std::size_t distance;
  };
  const Case cases[] = {
      {"", "", 0},           {"abc", "", 3},          {"", "abc", 3},
      {"Sample", "sAMPLE", 0}, {"sample", "sampel", 2}, {"kitten", "sitting", 3},
      {"sample_app", "sampleapp", 1}, {"SampleApp 1.4", "SampleApp 1.5", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NameDistance(c.a, c.b), c.distance) << c.a << " / " << c.b;
    EXPECT_EQ(NameDistance(c.b, c.a), c.distance) << c.b << " / " << c.a;
  }
}

// Hexadecimal after 0x, decimal otherwise: a leading zero is no octal.
TEST(ParseCountTest, HexOnlyAfter0x) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"0x100", true, 0x100},      {"0X1f", true, 0x1F},        {"0100", true, 100},
      {"0800", true, 800},         {"4096", true, 4096},        {"0x100000", true, 0x100000},
      {"1048576", true, 0x100000}, {"1", true, 1},              {"0x100001", false, 0},
      {"1048577", false, 0},       {"0", false, 0},             {"0x0", false, 0},
      {"", false, 0},              {"0x", false, 0},            {"-1", false, 0},
      {"+5", false, 0},            {" 5", false, 0},            {"5 ", false, 0},
      {"1e3", false, 0},           {"0x1g", false, 0},          {"12a", false, 0},
      {"99999999999999999999", false, 0}, {"0x100000000000000001", false, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 7;
    EXPECT_EQ(ParseCount(c.text, 1, 0x100000, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 7u) << c.text;
  }
}

TEST(CloseNamesTest, FindsModulesByTheirFileNames) {
  const std::vector<std::string> loaded = {
      "sample_host.exe", "ntdll.dll", "KERNEL32.dll", "sample_app15.dll", "lua51.dll",
      "Sample_App.dll",  "user32.dll", "kernelbase.dll"};
  // A slip of the keys, case and the ".dll" do not matter; a longer name
  // that holds the wanted one counts; the closest comes first.
  EXPECT_THAT(CloseNames("sampel_app.dll", loaded, 5, true), ElementsAre("Sample_App.dll"));
  EXPECT_THAT(CloseNames("C:\\Host\\SAMPLE_APP", loaded, 5, true),
              ElementsAre("Sample_App.dll", "sample_app15.dll"));
  EXPECT_THAT(CloseNames("user.dll", loaded, 5, true), ElementsAre("user32.dll"));
  EXPECT_THAT(CloseNames("kernel32.dll", loaded, 1, true), ElementsAre("KERNEL32.dll"));
  EXPECT_THAT(CloseNames("not_loaded_here.dll", loaded, 5, true), IsEmpty());
  EXPECT_THAT(CloseNames("x.dll", loaded, 5, true), IsEmpty());
  // Each name once, whatever its case.
  EXPECT_THAT(CloseNames("lua51.dll", {"lua51.dll", "LUA51.DLL", "lua5.dll"}, 5, true),
              ElementsAre("lua51.dll", "lua5.dll"));
}

// What --field may name: the string fields of the type, in layout order.
TEST(StringFieldNamesTest, ListsTheTypesStringsAndWideTexts) {
  EXPECT_THAT(StringFieldNames(3), ElementsAre("font", "text"));
  EXPECT_THAT(StringFieldNames(80), ElementsAre("name", "param"));
  EXPECT_THAT(StringFieldNames(0), ElementsAre("file"));
  EXPECT_THAT(StringFieldNames(7), IsEmpty());   // scene_id alone
  EXPECT_THAT(StringFieldNames(5), IsEmpty());   // no fields
  EXPECT_THAT(StringFieldNames(14), IsEmpty());  // no layout
}

TEST(CloseNamesTest, FindsSectionsByTheWholeName) {
  const std::vector<std::string> sections = {"SampleApp 1.4", "SampleApp 1.5", "Other host"};
  EXPECT_THAT(CloseNames("SampleApp 1.6", sections, 3, false),
              ElementsAre("SampleApp 1.4", "SampleApp 1.5"));
  EXPECT_THAT(CloseNames("sampleapp 1.5 ", sections, 3, false),
              ElementsAre("SampleApp 1.5", "SampleApp 1.4"));
  // Not taken for a file name: ".5" is no extension here.
  EXPECT_THAT(CloseNames("Host 2", sections, 3, false), IsEmpty());
  // Up to a third of the name's length in edits (4 here), not one more; a
  // name that holds the wanted one is as far as the characters it adds.
  EXPECT_THAT(CloseNames("SampleApp 1.6",
                         {"SampleApp 1.6 (old build)", "xampleApp 2.790", "xampleApp 2.79",
                          "Sampl 1.6", "SAMPLEAPP 2.7", "SampleApp 1.6 (b)"},
                         5, false),
              ElementsAre("SAMPLEAPP 2.7", "xampleApp 2.79", "Sampl 1.6", "SampleApp 1.6 (b)",
                          "SampleApp 1.6 (old build)"));
}

// ------------------------------------------------------------ shared stops

Walk Stopping(std::int32_t type, Hop hop, StopReason reason, const char* field = "") {
  Walk walk;
  walk.type = type;
  walk.ok = false;
  walk.stop.hop = hop;
  walk.stop.reason = reason;
  walk.stop.field = field;
  walk.stop.message = std::string(HopCode(hop)) + " " + StopReasonCode(reason);
  return walk;
}

Walk Reaching(std::int32_t type) {
  Walk walk;
  walk.type = type;
  walk.ok = true;
  return walk;
}

Walk TextBuffer(bool ok) {
  Walk walk = ok ? Reaching(0) : Stopping(0, Hop::kTextBuffer, StopReason::kUnreadable);
  walk.text_buffer = true;
  return walk;
}

AddressTable Table() {
  AddressTable table;
  table.module_base = 0x10000000;
  table.object_address_list = 0x1040;
  table.object_data_offset = 0x28;
  table.text_buffer_address = 0x1B60;
  return table;
}

std::vector<Walk> AllStopping(Hop hop, StopReason reason, const char* field = "") {
  std::vector<Walk> walks;
  for (std::int32_t type : {0, 1, 3, 80}) walks.push_back(Stopping(type, hop, reason, field));
  walks.push_back(TextBuffer(true));
  return walks;
}

TEST(SharedStopTest, NamesTheOffsetEveryWalkShares) {
  struct Case {
    Hop hop;
    StopReason reason;
    const char* field;
    std::vector<std::string> keys;
    const char* value;  // the first key's value, as the cause shows it
  };
  const Case cases[] = {
      {Hop::kSlot, StopReason::kZero, "", {"ObjectAddressList"}, "ObjectAddressList = 0x00001040"},
      {Hop::kSlot, StopReason::kUnreadable, "", {"ObjectAddressList"}, "ObjectAddressList = 0x00001040"},
      {Hop::kRecordPointer, StopReason::kZero, "", {"ObjectDataOffset"}, "ObjectDataOffset = 0x00000028"},
      {Hop::kRecordPointer, StopReason::kUnreadable, "", {"ObjectAddressList", "ObjectDataOffset"},
       "ObjectAddressList = 0x00001040, or ObjectDataOffset = 0x00000028"},
      {Hop::kRecord, StopReason::kUnreadable, "type", {"ObjectDataOffset", "ObjectAddressList"},
       "ObjectDataOffset = 0x00000028"},
      {Hop::kAddressTable, StopReason::kZeroField, "ObjectDataOffset", {"ObjectDataOffset"},
       "ObjectDataOffset in the profile"},
      {Hop::kModule, StopReason::kNotLoaded, "", {"Module"}, "Module in [Config]"},
  };
  for (const Case& c : cases) {
    const SharedStop shared = FindSharedStop(AllStopping(c.hop, c.reason, c.field), Table());
    ASSERT_TRUE(shared.found) << HopCode(c.hop) << " " << StopReasonCode(c.reason);
    EXPECT_EQ(shared.hop, c.hop);
    EXPECT_EQ(shared.reason, c.reason);
    EXPECT_EQ(shared.walks, 4);
    EXPECT_EQ(shared.keys, c.keys) << HopCode(c.hop) << " " << StopReasonCode(c.reason);
    EXPECT_FALSE(shared.what.empty());
    EXPECT_EQ(shared.cause.rfind(c.value, 0), 0u) << shared.cause;
  }
}

TEST(SharedStopTest, NothingSharedNothingNamed) {
  // One walk reaches its data.
  std::vector<Walk> walks = AllStopping(Hop::kRecordPointer, StopReason::kZero);
  walks[2] = Reaching(3);
  EXPECT_FALSE(FindSharedStop(walks, Table()).found);
  // The same hop for different reasons.
  walks = AllStopping(Hop::kRecordPointer, StopReason::kZero);
  walks[1] = Stopping(1, Hop::kRecordPointer, StopReason::kUnreadable);
  EXPECT_FALSE(FindSharedStop(walks, Table()).found);
  // Different zero fields of the address table.
  walks = AllStopping(Hop::kAddressTable, StopReason::kZeroField, "ObjectDataOffset");
  walks[0].stop.field = "ObjectAddressList";
  EXPECT_FALSE(FindSharedStop(walks, Table()).found);
  // A single walk (--type) has nothing to share.
  EXPECT_FALSE(FindSharedStop({Stopping(3, Hop::kSlot, StopReason::kZero)}, Table()).found);
  // Stops no offset explains.
  EXPECT_FALSE(FindSharedStop(AllStopping(Hop::kLayout, StopReason::kNoLayout), Table()).found);
  EXPECT_FALSE(FindSharedStop(AllStopping(Hop::kRecord, StopReason::kNotConvertible, "text"), Table()).found);
  EXPECT_FALSE(FindSharedStop({}, Table()).found);
}

TEST(SharedStopTest, TheTextBufferIsItsOwnMatter) {
  std::vector<Walk> walks = AllStopping(Hop::kSlot, StopReason::kZero);
  walks.back() = TextBuffer(false);
  const SharedStop shared = FindSharedStop(walks, Table());
  EXPECT_TRUE(shared.found);
  EXPECT_EQ(shared.walks, 4);
}

// ------------------------------------------------------------ zero offsets

// A profile's layout section: each key's value, or nullptr for a missing key.
ProfileInfo ProfileWith(const char* list, const char* data, const char* text) {
  ProfileInfo p;
  p.section_found = true;
  const std::pair<const char*, const char*> keys[] = {
      {"ObjectAddressList", list}, {"ObjectDataOffset", data}, {"TextBufferAddress", text}};
  for (const auto& [key, value] : keys) {
    const char* written = value != nullptr ? value : "";
    p.offsets.push_back(
        {key, quorvane::ReadHexOffset(value != nullptr, written, std::strlen(written))});
  }
  return p;
}

// Whatever makes an offset read as 0 leaves the module without the data it
// leads to; a note on a value that reads as another number does not.
TEST(ZeroOffsetsTest, AnOffsetThatReadsAsZeroIsUnusable) {
  struct Case {
    const char* value;  // ObjectDataOffset's; nullptr: the key is missing
    bool zero;
  };
  const Case cases[] = {
      {nullptr, true},        {"", true},           {"0X24", true},   {"0", true},
      {"0x", true},           {"g1", true},         {"  ", true},     {"0x24", false},
      {"24 ; entry", false},  {"10x20", false},     {"0 12", false},  {"0x1F2E3D4C5", false},
  };
  for (const Case& c : cases) {
    const ProfileInfo p = ProfileWith("0x1040", c.value, "1B60");
    EXPECT_EQ(ZeroOffsets(p), c.zero ? std::vector<std::string>{"ObjectDataOffset"}
                                     : std::vector<std::string>{})
        << (c.value != nullptr ? c.value : "(missing)");
  }
  // A missing layout section: every key is missing.
  ProfileInfo lost = ProfileWith(nullptr, nullptr, nullptr);
  lost.section_found = false;
  EXPECT_THAT(ZeroOffsets(lost),
              ElementsAre("ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"));
}

// Without a process the check is complete when no offset is 0; with one,
// when every walk reaches its data.
TEST(ZeroOffsetsTest, DecideTheCheckOnlyWithoutAProcess) {
  Report report;
  report.profile = ProfileWith("0x1040", "0x24", "1B60");
  EXPECT_TRUE(report.Complete());
  report.profile = ProfileWith("0x1040", "0X24", "1B60");
  EXPECT_FALSE(report.Complete());
  report.profile = ProfileWith("0x1040", "0x24", nullptr);
  EXPECT_FALSE(report.Complete());

  // Walks decide with a process: --type 3 does not need TextBufferAddress.
  report.has_process = true;
  report.walks = {Reaching(3)};
  EXPECT_TRUE(report.Complete());
  report.profile = ProfileWith("0x1040", "0x24", "1B60");
  report.walks.push_back(Stopping(80, Hop::kRecord, StopReason::kUnreadable, "name"));
  EXPECT_FALSE(report.Complete());
}

}  // namespace
}  // namespace probe
