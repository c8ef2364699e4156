// quorvane-probe sign and update, the parts that need no system: their
// command lines, the live check that stands between the offsets and the
// section, the module's image read from a host over the fake platform, and
// what update says when there is no section.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pe_test_image.h"
#include "platform/fake_platform.h"
#include "probe/update/live_check.h"
#include "probe/update/module_image.h"
#include "probe/update/update_options.h"
#include "probe/update/update_report.h"

namespace probe {
namespace {

namespace fake = quorvane::fake;
namespace sig = quorvane::signatures;

// ------------------------------------------------------------ options

struct OptionCase {
  std::vector<std::string> args;  // after the command's name
  const char* error;              // nullptr: taken
};

// Reads `args` as `command`'s command line with `parse`.
template <typename Options>
bool Parse(const char* command, bool (*parse)(int, char**, Options*, std::string*),
           const std::vector<std::string>& args, Options* o, std::string* error) {
  std::vector<std::string> storage = {command};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(&arg[0]);
  return parse(static_cast<int>(argv.size()), argv.data(), o, error);
}

template <typename Options, std::size_t N>
void ExpectRules(const char* command, bool (*parse)(int, char**, Options*, std::string*),
                 const OptionCase (&cases)[N]) {
  for (const OptionCase& c : cases) {
    Options o;
    std::string error;
    const bool taken = Parse(command, parse, c.args, &o, &error);
    EXPECT_EQ(taken, c.error == nullptr) << c.args.size() << " " << error;
    if (c.error != nullptr) {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
  }
}

TEST(UpdateOptionsTest, SignNeedsAHostAndAProfile) {
  const OptionCase cases[] = {
      {{"123", "--profile", "p.ini"}, nullptr},
      {{"--profile", "p.ini", "host.exe", "--section", "SampleApp 1.6", "--out", "x.sig"}, nullptr},
      {{"--help"}, nullptr},
      {{}, "sign needs the running host"},
      {{"123"}, "sign needs --profile FILE"},
      {{"123", "--profile", ""}, "--profile needs a profile, not \"\""},
      {{"123", "--profile", "p.ini", "--out", ""}, "--out needs a file name, not \"\""},
      {{"123", "--profile", "p.ini", "--section", "a[b"}, "--section needs a name without"},
      {{"123", "--profile", "p.ini", "--section", ""}, "--section needs a name without"},
      {{"123", "456", "--profile", "p.ini"}, "too many arguments (456)"},
      {{"123", "--profile", "p.ini", "--json"}, "unknown option --json"},
  };
  ExpectRules("sign", ParseSignArguments, cases);
}

TEST(UpdateOptionsTest, UpdateReadsAHostOrAModuleFileNotBoth) {
  const OptionCase cases[] = {
      {{"123", "--signatures", "a.sig"}, nullptr},
      {{"--module-file", "m.dll", "--signatures", "a.sig", "--json", "--section", "New"}, nullptr},
      {{}, "update needs the running host"},
      {{"--signatures", "a.sig"}, "update needs the running host"},
      {{"123"}, "update needs --signatures FILE"},
      {{"123", "--module-file", "m.dll", "--signatures", "a.sig"}, "update reads a running host"},
      {{"--module-file", "", "--signatures", "a.sig"}, "--module-file needs a module file"},
      {{"123", "--signatures", "a.sig", "--section", "x\ny"}, "--section needs a name without"},
      {{"123", "--signatures=a.sig", "--json=yes"}, "unknown option --json=yes"},
  };
  ExpectRules("update", ParseUpdateArguments, cases);
  UpdateOptions o;
  std::string error;
  ASSERT_TRUE(Parse("update", ParseUpdateArguments, {"123", "--signatures", "a.sig"}, &o, &error));
  EXPECT_EQ(o.section, "Found");  // as find's
}

TEST(UpdateOptionsTest, SignatureFileGoesBesideTheProfile) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\profiles\\host.ini", "C:\\profiles\\host.sig"},
      {"C:\\profiles\\host.v1.6.ini", "C:\\profiles\\host.v1.6.sig"},
      {"C:\\profiles.d\\host", "C:\\profiles.d\\host.sig"},  // a dot in a folder name only
      {"host", "host.sig"},
      {"C:/profiles/host.ini", "C:/profiles/host.sig"},
  };
  for (const auto& [profile, signatures] : cases) {
    EXPECT_EQ(DefaultSignaturePath(profile), signatures) << profile;
  }
}

// ------------------------------------------------------------ the live check

constexpr std::uint32_t kBuffer = 0x10001B60;

FieldValue Number(const char* name, double value) {
  return {name, quorvane::FieldKind::kI32, 0, 0, false, value, ""};
}

FieldValue Text(const char* name, const std::string& text) {
  return {name, quorvane::FieldKind::kString, 0, 0, true, 0, text};
}

Walk Reached(std::int32_t type, std::vector<FieldValue> fields) {
  Walk w;
  w.type = type;
  w.ok = true;
  w.steps = {{Hop::kSlot, 0x10001040, true, 0xA10000}, {Hop::kRecord, 0xB00000, false, 0}};
  w.fields = std::move(fields);
  return w;
}

Walk Stopped(std::int32_t type, Hop hop, StopReason reason, const std::string& message) {
  Walk w;
  w.type = type;
  w.stop.hop = hop;
  w.stop.reason = reason;
  w.stop.message = message;
  return w;
}

Walk Buffer(const std::string& text) {
  Walk w;
  w.text_buffer = true;
  w.ok = true;
  w.steps = {{Hop::kTextBuffer, kBuffer, false, 0}};
  w.fields = {Text("text", text)};
  return w;
}

// A right host: a record with something in it, a type without objects
// (its record pointer is 0), a buffer with text.
std::vector<Walk> RightWalks() {
  return {Reached(3, {Number("type", 1), Text("font", "Arial")}),
          Stopped(6, Hop::kRecordPointer, StopReason::kZero, "the record pointer is 0"),
          Reached(5, {}), Buffer("Hi")};
}

bool Said(const LiveCheck& check, const std::string& part) {
  for (const std::string& p : check.problems) {
    if (p.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST(LiveCheckTest, RightHostPasses) {
  const LiveCheck check = CheckWalks(RightWalks(), {3, 5});
  EXPECT_TRUE(check.Passed()) << check.problems.front();
  EXPECT_EQ(check.reached, (std::vector<std::int32_t>{3, 5}));
  EXPECT_EQ(check.without_fields, std::vector<std::int32_t>{5});
  EXPECT_EQ(check.buffer_text, "Hi");
}

TEST(LiveCheckTest, EachWayOfBeingWrongIsNamed) {
  struct Case {
    const char* name;
    void (*spoil)(std::vector<Walk>* walks, std::vector<std::int32_t>* must_reach);
    const char* said;
  };
  const Case cases[] = {
      {"a type the signed release had has no record now",
       [](std::vector<Walk>*, std::vector<std::int32_t>* m) { m->push_back(6); },
       "type 6: no record, where the signed release had one: the record pointer is 0"},
      {"an implausible record",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         (*w)[0].implausible.push_back({"type", 0, "99 is outside 0 to 63"});
       },
       "type 3: the record at 0x00B00000 does not read as one: \"type\" 99 is outside 0 to 63"},
      {"a walk that meets memory it cannot read",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         (*w)[1] = Stopped(6, Hop::kSlot, StopReason::kUnreadable, "the slot cannot be read");
       },
       "type 6: stopped at the slot: the slot cannot be read"},
      {"records of zeros alone",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         (*w)[0] = Reached(3, {Number("type", 0), Text("font", "")});
       },
       "no record holds anything but zeros"},
      {"no record at all",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         (*w)[0] = Stopped(3, Hop::kSlot, StopReason::kZero, "the slot is 0");
         (*w)[2] = Stopped(5, Hop::kSlot, StopReason::kZero, "the slot is 0");
       },
       "no type reaches a record"},
      {"an empty buffer",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) { w->back() = Buffer(""); },
       "the text buffer at 0x10001B60 is empty"},
      {"a buffer of control characters",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) { w->back() = Buffer("\x01\x02"); },
       "control characters, not text"},
      {"a buffer inside running text, as the walk judges it",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         w->back().implausible.push_back({"text", 0, "U+0061 'a' right before it"});
       },
       "the text buffer at 0x10001B60: U+0061 'a' right before it"},
      {"a buffer that cannot be read",
       [](std::vector<Walk>* w, std::vector<std::int32_t>*) {
         Walk b = Stopped(0, Hop::kTextBuffer, StopReason::kUnreadable, "0x10001B60 cannot be read");
         b.text_buffer = true;
         w->back() = b;
       },
       "the text buffer: 0x10001B60 cannot be read"},
  };
  for (const Case& c : cases) {
    std::vector<Walk> walks = RightWalks();
    std::vector<std::int32_t> must_reach = {3};
    c.spoil(&walks, &must_reach);
    const LiveCheck check = CheckWalks(walks, must_reach);
    EXPECT_TRUE(Said(check, c.said)) << c.name << ": "
                                     << (check.problems.empty() ? "passed" : check.problems[0]);
  }
}

// An offset of 0 stops every walk at the address table alike: said once.
TEST(LiveCheckTest, ZeroOffsetIsSaidOnce) {
  std::vector<Walk> walks;
  for (const std::int32_t type : {0, 1, 2, 3}) {
    walks.push_back(Stopped(type, Hop::kAddressTable, StopReason::kZeroField,
                            "ObjectDataOffset is 0 in the address table"));
  }
  walks.push_back(Buffer("Hi"));
  const LiveCheck check = CheckWalks(walks, {});
  ASSERT_EQ(check.problems.size(), 2u);
  EXPECT_EQ(check.problems[0],
            "every type: stopped at the address table: ObjectDataOffset is 0 in the address table");
}

// ------------------------------------------------------------ the image

constexpr std::uint32_t kModuleBase = 0x30000000;

// A module with a code section of two pages, loaded in the fake host.
std::vector<std::uint8_t> LoadModule() {
  pe_test::ImageLayout layout;
  layout.code.assign(0x1800, 0x90);
  pe_test::Put32(layout.code, 0x10, 0x10003000);  // a relocated address
  layout.code_relocs = {0x10};
  const std::vector<std::uint8_t> file = pe_test::Build(layout);
  const std::vector<std::uint8_t> mapped = pe_test::Map(file, kModuleBase);
  fake::Reset();
  fake::Write(kModuleBase, mapped.data(), mapped.size());
  return mapped;
}

TEST(ModuleImageTest, ReadsTheImageAsTheHostHasIt) {
  const std::vector<std::uint8_t> mapped = LoadModule();
  ModuleImage module;
  module.base = kModuleBase;
  module.size = static_cast<std::uint32_t>(mapped.size());
  std::string error;
  ASSERT_TRUE(ReadLoadedImage("host.dll", &module, &error)) << error;
  EXPECT_EQ(module.image.load_base, kModuleBase);
  ASSERT_NE(sig::CodeSectionAt(module.image, pe_test::kCodeRva, 4), nullptr);
  EXPECT_EQ(module.image.relocated, std::vector<std::uint32_t>{pe_test::kCodeRva + 0x10});
  EXPECT_EQ(pe_test::Get32(sig::CodeSectionAt(module.image, pe_test::kCodeRva, 4)->bytes, 0x10),
            kModuleBase + 0x3000);
}

// A page of the image that cannot be read is named with what the memory map
// says of it; an image larger than the module list says is not read past
// its end.
TEST(ModuleImageTest, NamesWhatCannotBeRead) {
  const std::uint32_t code_page = kModuleBase + pe_test::kCodeRva + 0x1000;
  struct Case {
    quorvane::PageState state;
    std::uint32_t size_cut;  // from the module list's size
    const char* said;
  };
  const Case cases[] = {
      {quorvane::PageState::kGuard, 0,
       "the page at 0x30002000 cannot be read (a guard page, left untouched)"},
      {quorvane::PageState::kNoAccess, 0,
       "the page at 0x30002000 cannot be read (a page without read access)"},
      {quorvane::PageState::kReadable, 0x2000, "it points past the image's 0x"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> mapped = LoadModule();
    fake::SetPageState(code_page, 1, c.state);
    ModuleImage module;
    module.base = kModuleBase;
    module.size = static_cast<std::uint32_t>(mapped.size()) - c.size_cut;
    std::string error;
    EXPECT_FALSE(ReadLoadedImage("host.dll", &module, &error));
    EXPECT_EQ(error.rfind("cannot read host.dll's image at 0x30000000: not a PE image: ", 0), 0u)
        << error;
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
  }
}

// ------------------------------------------------------------ update's words

// Three signatures of ObjectAddressList that read two values, one that
// matched nowhere; the other offsets given.
UpdateReport Disagreeing() {
  UpdateReport r;
  r.module.live = true;
  r.file.module = "host.dll";
  r.file.section = "Host 1.0";
  for (int i = 0; i < 4; ++i) {
    sig::Signature s;
    s.offset = i < 3 ? sig::Offset::kObjectAddressList : sig::Offset::kObjectDataOffset;
    s.rva = 0x1000u + 0x10u * static_cast<std::uint32_t>(i);
    s.instruction = "mov eax, dword ptr [0x10001040]";
    r.file.signatures.push_back(s);
  }
  r.matching.ok = true;
  r.matching.matches = {{1, {0x1100}, 0x1080}, {1, {0x1200}, 0x10C0}, {0, {}, 0},
                        {1, {0x1300}, 0x38}};
  r.verdict = sig::Judge(r.file.signatures, r.matching.matches);
  return r;
}

TEST(UpdateWordsTest, NoSectionNamesTheSignaturesThatDisagree) {
  UpdateReport r = Disagreeing();
  ASSERT_FALSE(r.verdict.answered);
  r.reasons = UpdateReasons(r);
  ASSERT_EQ(r.reasons.size(), 3u);  // ObjectAddressList, TextBufferAddress, the hint
  EXPECT_EQ(r.reasons[0],
            "ObjectAddressList: not given: its signatures disagree: 1 read 0x1080, 1 read 0x10C0; "
            "signatures 1 reads 0x1080; 2 reads 0x10C0; 3 matched nowhere");
  EXPECT_EQ(r.reasons[1], "TextBufferAddress: not given: no signature gives it");
  EXPECT_NE(r.reasons[2].find("quorvane-probe find"), std::string::npos);
  EXPECT_STREQ(SignatureResult(r, 0), "disagrees");
  EXPECT_STREQ(SignatureResult(r, 2), "matched_nowhere");
  EXPECT_STREQ(SignatureResult(r, 3), "agrees");

  const std::string out = UpdateTextOutput(r);
  EXPECT_EQ(out.rfind("; No section: ", 0), 0u) << out;
  std::size_t at = 0;
  for (std::size_t next = out.find('\n'); next != std::string::npos; next = out.find('\n', at)) {
    EXPECT_EQ(out[at], ';') << out.substr(at, next - at);
    at = next + 1;
  }
  EXPECT_NE(out.find("; ObjectDataOffset=0x00000038\n"), std::string::npos) << out;
  EXPECT_NE(out.find(";   signature 3 (ObjectAddressList at RVA 0x00001020 when signed: mov eax, "
                     "dword ptr [0x10001040]): matched nowhere\n"),
            std::string::npos)
      << out;
}

// From a module file every offset given is the section, with a line that
// says it was not checked, and a note on standard error.
TEST(UpdateWordsTest, ModuleFileSectionSaysItWasNotChecked) {
  UpdateReport r = Disagreeing();
  r.module.live = false;
  r.module.path = "C:\\new\\host.dll";
  r.matching.matches[1].value = 0x1080;
  r.verdict = sig::Judge(r.file.signatures, r.matching.matches);
  r.verdict.per[2].given = true;  // as if a buffer signature had matched
  r.verdict.per[2].value = 0x2000;
  r.verdict.answered = true;
  r.options.section = "Host 1.1";
  r.reasons = UpdateReasons(r);
  ASSERT_EQ(r.reasons.size(), 1u);
  EXPECT_EQ(r.reasons[0].rfind("not checked against a running host", 0), 0u);
  const std::string out = UpdateTextOutput(r);
  EXPECT_EQ(out.rfind("[Host 1.1]\nObjectAddressList=0x00001080\nObjectDataOffset=0x00000038\n"
                      "TextBufferAddress=0x00002000\n; Not checked against a running host",
                      0),
            0u)
      << out;
}

}  // namespace
}  // namespace probe
