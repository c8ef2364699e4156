// The finder over the fake platform: the candidate arithmetic, the scoring
// that ranks candidates, markers across chunk boundaries, decoys, ambiguity
// and a process that ends during the scan.
#include "finder/finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "finder/plausibility.h"
#include "finder/scan.h"
#include "platform/fake_platform.h"
#include "bytes.h"
#include "utf16_bytes.h"

namespace finder {
namespace {

namespace fake = quorvane::fake;

constexpr std::uint32_t kBase = 0x10000000;
constexpr std::uint32_t kImageSize = 0x8000;
constexpr std::uint32_t kHeap = 0x00A10000;
constexpr std::uint32_t kRecords = 0x00B00000;
constexpr std::uint32_t kOtherModule = 0x00400000;
const char kModule[] = "host_app.dll";
const std::u16string kMarker = u"QV-7f3a";
const std::u16string kBufferMarker = u"QV-b9c2";

// A plausible record of each type with a layout; type 3 holds `text`.
Bytes Record(std::int32_t type, const std::u16string& text) {
  Bytes b;
  switch (type) {
    case 0:
    case 2: return b.Str("C:\\Projects\\intro\\opening.png");
    case 1: return b.U32(240).Str("C:\\Projects\\frames\\0001.png");
    case 3:
      b.U8(1).U8(1).U8(1).U8(0).U8(4).U8(0xFE).U8(6).U8(2).U32(0x0000C8FF).U32(0x00402010);
      return b.Str("Arial").At(48).Wide(text);
    case 4: return b.U32(2).U32(0x00FF8020).Str("Rounded rectangle");
    case 6:
      b.Str("C:\\Projects\\drone.mp4").At(280).U16(1).U16(2).U16(1920).U16(1080).U16(0);
      return b.U16(0xFFF8).U32(0).U32(48000).U8(1);
    case 7: return b.U32(3).U32(1200);
    case 10:
    case 11:
    case 13: return b.U32(2).U32(192);
    case 80: return b.U16(1).U16(12).Str("Gaussian blur").At(260).Str("radius=4");
    default: return b.U32(1).U32(0).U32(0).U32(0);  // 5, 8, 9, 12: no fields read
  }
}

// How the fake host lays out its data.
struct Shape {
  std::uint32_t list = 0x1040;       // ObjectAddressList
  std::uint32_t data_offset = 0x24;  // ObjectDataOffset
  std::uint32_t buffer = 0x1B60;     // TextBufferAddress
  bool heap = false;                 // structures and records on the heap, not in the image
  bool only_text = false;            // no other type has a record
  bool decoys = false;               // an unlisted undo copy and the marker in another module
  // A "recently used" array in the image: the text type's structure at its
  // type, a structure with a zero-filled record at every other type.
  bool recent = false;
  std::u16string text = kMarker;
  std::u16string buffer_text = kBufferMarker;
  std::u16string buffer_before;        // typed before the marker, which stays at `buffer`
  // A variable whose high half is not zero right before the buffer, and a
  // copy of the marker with NUL units around it elsewhere in the image.
  bool buffer_after_variable = false;
  // A second list in the image, kUndoList bytes after the first, whose
  // structures and records are copies of the live ones: an undo history.
  bool undo_list = false;
  // Every structure also holds, kFirstPointer bytes in, a second pointer to
  // its record (a "first" beside the "current" one).
  bool first_pointer = false;
};

constexpr std::uint32_t kStructureSize = 0x40;
constexpr std::uint32_t kRecentArray = 0x5800;  // image offset of Shape::recent's array
constexpr std::uint32_t kUndoList = 0x400;       // Shape::undo_list's, after the list
constexpr std::uint32_t kUndoCopies = 0x8000;    // its structures and records, after the live ones
constexpr std::uint32_t kFirstPointer = 0x34;    // Shape::first_pointer's, in a structure

// Types with a layout whose records have fields to judge.
int TypesWithFields() {
  int n = 0;
  for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
    n += quorvane::FindLayout(quorvane::kTypesWithLayout[i])->count > 0 ? 1 : 0;
  }
  return n;
}

// Lays the host out in the fake address space. Types with a layout get a
// structure and a record each, in type order.
void BuildHost(const Shape& s) {
  fake::Reset();
  fake::SetModuleBase(kModule, kBase);
  fake::SetModuleSize(kModule, kImageSize);
  std::vector<std::uint8_t> zeros(kImageSize, 0);
  fake::Write(kBase, zeros.data(), zeros.size());
  fake::Write(kBase + 0x40, "HostApp object table", 21);
  // Some code-like filler in the image.
  for (std::uint32_t i = 0; i < 0x1000; i += 4) fake::WriteU32(kBase + 0x6000 + i, i * 0x01000193u);

  const std::uint32_t structures = s.heap ? kHeap : kBase + 0x2000;
  const std::uint32_t records = s.heap ? kRecords : kBase + 0x3000;
  for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
    const std::int32_t type = quorvane::kTypesWithLayout[i];
    if (s.only_text && type != 3) continue;
    const std::uint32_t structure = structures + static_cast<std::uint32_t>(i) * kStructureSize;
    const std::uint32_t record = records + static_cast<std::uint32_t>(i) * 0x200;
    fake::WriteU32(kBase + s.list + 4u * static_cast<std::uint32_t>(type), structure);
    Bytes entry;
    entry.Str("entry").At(0x10).U32(static_cast<std::uint32_t>(type)).U32(1);
    entry.WriteAt(structure);
    fake::WriteU32(structure + s.data_offset, record);
    if (s.first_pointer) fake::WriteU32(structure + kFirstPointer, record);
    Record(type, s.text).WriteAt(record);
    if (s.undo_list) {
      fake::WriteU32(kBase + s.list + kUndoList + 4u * static_cast<std::uint32_t>(type),
                     structure + kUndoCopies);
      entry.WriteAt(structure + kUndoCopies);
      fake::WriteU32(structure + kUndoCopies + s.data_offset, record + kUndoCopies);
      Record(type, s.text).WriteAt(record + kUndoCopies);
    }
  }
  fake::WriteWide(kBase + s.buffer, s.buffer_text);
  if (!s.buffer_before.empty()) {
    const std::string before = Utf16(s.buffer_before);
    fake::Write(kBase + s.buffer - static_cast<std::uint32_t>(before.size()), before.data(),
                before.size());
  }
  if (s.buffer_after_variable) {
    fake::WriteU32(kBase + s.buffer - 4, 0x16001234);
    fake::WriteWide(kBase + 0x5002, s.buffer_text);
  }
  if (s.recent) {
    std::vector<std::uint8_t> zero_record(0x200, 0);
    for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
      const std::int32_t type = quorvane::kTypesWithLayout[i];
      const std::uint32_t slot = kBase + kRecentArray + 4u * static_cast<std::uint32_t>(type);
      if (type == 3) {
        fake::WriteU32(slot, structures + static_cast<std::uint32_t>(i) * kStructureSize);
        continue;
      }
      const std::uint32_t structure = 0x00C80000 + static_cast<std::uint32_t>(i) * kStructureSize;
      const std::uint32_t record = 0x00C90000 + static_cast<std::uint32_t>(i) * 0x200;
      fake::WriteU32(slot, structure);
      fake::WriteU32(structure + s.data_offset, record);
      fake::Write(record, zero_record.data(), zero_record.size());
    }
  }
  if (s.decoys) {
    // An undo copy of the text record, from an unlisted structure right
    // after the listed ones, with its pointer at the same offset.
    const std::uint32_t copy = records + 0x4000;
    Record(3, s.text).WriteAt(copy);
    const std::uint32_t unlisted =
        structures + static_cast<std::uint32_t>(quorvane::kTypesWithLayoutCount) * kStructureSize;
    fake::WriteU32(unlisted + s.data_offset, copy);
    // The marker in another module's data.
    fake::WriteWide(kOtherModule + 0x3010, s.text);
  }
  // Some ballast: pseudo-random words, a few of which look like pointers.
  std::uint32_t x = 12345;
  for (std::uint32_t i = 0; i < 0x4000; i += 4) {
    x = x * 1664525u + 1013904223u;
    fake::WriteU32(0x02000000 + i, x);
  }
}

FindRequest Request(std::uint32_t chunk = kDefaultChunk) {
  FindRequest r;
  r.module = kModule;
  r.objects = {ObjectMarker{Utf16(kMarker), 3, 11}};
  r.buffer_marker = true;
  r.buffer_bytes = Utf16(kBufferMarker);
  r.chunk = chunk;
  return r;
}

FindResult Find(const FindRequest& r) {
  return FindOffsets(r, [](std::uint64_t, std::uint64_t) {});
}

// ------------------------------------------------------------ finding

struct FindCase {
  const char* name;
  Shape shape;
  std::uint32_t chunk;
  Answer object;  // kFound: exactly the shape's; kAmbiguous: the shape's listed first
  Answer buffer;
  void (*more)() = nullptr;  // what the case adds to the host after BuildHost
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

Shape Heap(std::uint32_t list, std::uint32_t data_offset, std::uint32_t buffer, bool decoys) {
  Shape s;
  s.list = list;
  s.data_offset = data_offset;
  s.buffer = buffer;
  s.heap = true;
  s.decoys = decoys;
  return s;
}

Shape OnlyText() {
  Shape s = Heap(0x2210, 0x30, 0x2F00, true);
  s.only_text = true;
  return s;
}

// The live list holds the text object alone; a "recently used" array in
// the image holds the same structure at type 3 and zero-filled records for
// every other type. Zeros are no evidence: the array must not win.
Shape RecentArray() {
  Shape s;
  s.only_text = true;
  s.recent = true;
  return s;
}

Shape TextBeforeBuffer() {
  Shape s;
  s.buffer_before = u"Hello ";
  return s;
}

Shape BufferAfterVariable() {
  Shape s;
  s.buffer_after_variable = true;
  return s;
}

Shape TwoBuffers() {
  Shape s;
  s.decoys = true;
  return s;
}

class FindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindTest, GivesTheTrueOffsetsOrListsThemFirst) {
  const FindCase& c = GetParam();
  BuildHost(c.shape);
  if (c.more != nullptr) c.more();
  FindRequest request = Request(c.chunk);
  // The hint is an older build's, which is not this one's.
  request.hint_list = request.hint_data = request.hint_buffer = true;
  request.old_list = c.shape.list + 0x100;
  request.old_data = c.shape.data_offset;
  request.old_buffer = c.shape.buffer;
  const FindResult r = Find(request);

  ASSERT_TRUE(r.module_loaded);
  EXPECT_FALSE(r.process_ended);
  EXPECT_EQ(r.failed_reads, 0u);
  EXPECT_EQ(r.object_answer, c.object);
  ASSERT_FALSE(r.candidates.empty());
  const Candidate& best = r.candidates.front();
  EXPECT_EQ(best.list, c.shape.list);
  EXPECT_EQ(best.data_offset, c.shape.data_offset);
  EXPECT_EQ(best.slot, kBase + c.shape.list + 12);
  if (c.object == Answer::kFound) {
    EXPECT_EQ(r.object_contenders, 1u);
    EXPECT_EQ(best.Count(Outcome::kPlausible), TypesWithFields());
    EXPECT_EQ(best.Count(Outcome::kNoEvidence), quorvane::kTypesWithLayoutCount - TypesWithFields());
    EXPECT_GE(best.score, r.candidates[1 % r.candidates.size()].score + kClearLead);
  } else {
    EXPECT_GE(r.object_contenders, 2u);
  }

  EXPECT_EQ(r.buffer_answer, c.buffer);
  ASSERT_FALSE(r.buffers.empty());
  EXPECT_EQ(r.buffers.front().offset, c.shape.buffer);
  // Each pass went over all readable memory, the image once more.
  EXPECT_GE(r.bytes_read, 2 * r.total_bytes + kImageSize);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, FindTest,
    ::testing::Values(
        // Everything in the image, as in the demo's first build.
        FindCase{"all_in_image", Shape{}, kDefaultChunk, Answer::kFound, Answer::kFound},
        // Structures and records on the heap, with the decoys a real host
        // has: the undo copy's structure lies right after the listed ones,
        // so list slots point within reach of its pointer.
        FindCase{"heap_with_decoys", Heap(0x2210, 0x30, 0x2F00, true), kDefaultChunk,
                 Answer::kFound, Answer::kFound},
        // Small chunks: markers and records straddle chunk boundaries.
        FindCase{"chunks_of_60_bytes", Heap(0x2210, 0x30, 0x2F00, true), 60, Answer::kFound,
                 Answer::kFound},
        FindCase{"far_record_pointer", Heap(0x1800, 0xFFC, 0x1B60, false), 4096, Answer::kFound,
                 Answer::kFound},
        // Only the text object exists: the undo copy's structure scores as
        // well as the listed one. Both are listed, the hinted first.
        FindCase{"only_text", OnlyText(), kDefaultChunk, Answer::kAmbiguous, Answer::kFound},
        FindCase{"recently_used_array_of_zeros", RecentArray(), kDefaultChunk, Answer::kAmbiguous,
                 Answer::kFound},
        FindCase{"two_whole_buffers", TwoBuffers(), kDefaultChunk, Answer::kFound,
                 Answer::kAmbiguous,
                 [] { fake::WriteWide(kBase + 0x5000, kBufferMarker); }},
        // The marker typed after other text: its one hit is not where the
        // buffer starts.
        FindCase{"text_before_the_buffer_marker", TextBeforeBuffer(), kDefaultChunk,
                 Answer::kFound, Answer::kAmbiguous},
        // Whether the unit before a hit is text or a variable's, the bytes
        // do not say: the buffer after a variable ties with a NUL-framed
        // copy, and the hinted one is listed first.
        FindCase{"buffer_after_a_variable", BufferAfterVariable(), kDefaultChunk, Answer::kFound,
                 Answer::kAmbiguous}),
    [](const ::testing::TestParamInfo<FindCase>& p) { return std::string(p.param.name); });

TEST(FindTest, SaysWhatIsMissing) {
  struct Case {
    const char* name;
    void (*change)();  // after BuildHost(Shape{})
    std::uint32_t max_data_offset;
    Missing missing;
    std::vector<ObjectMarker> more = {};  // markers after the text's
  };
  const Case cases[] = {
      {"no_marker", [] { fake::WriteWide(kBase + 0x3000 + 3 * 0x200 + 48, u"Hello"); },
       kDefaultMaxDataOffset, Missing::kNoMarker},
      {"no_pointer", [] { fake::WriteU32(kBase + 0x2000 + 3 * kStructureSize + 0x24, 0); },
       kDefaultMaxDataOffset, Missing::kNoPointer},
      {"offset_beyond_limit", [] {}, 0x20, Missing::kNoSlot},
      // Every marker given must be reached: a second one with a typo is
      // nowhere, and the first one's answer does not stand alone.
      {"second_marker_nowhere", [] {}, kDefaultMaxDataOffset, Missing::kMarkerNotReached,
       {ObjectMarker{Utf16(u"QV-7f3b"), 3, 11}}},
      // Type 4's name given as type 80's: found, but its record would start
      // 4 bytes early, where no pointer leads.
      {"second_marker_not_reached", [] {}, kDefaultMaxDataOffset, Missing::kMarkerNotReached,
       {ObjectMarker{"Rounded rectangle", 80, 2}}},
  };
  for (const Case& c : cases) {
    BuildHost(Shape{});
    c.change();
    FindRequest request = Request();
    request.objects.insert(request.objects.end(), c.more.begin(), c.more.end());
    request.max_data_offset = c.max_data_offset;
    request.buffer_bytes = Utf16(u"not there");
    const FindResult r = Find(request);
    EXPECT_EQ(r.object_answer, Answer::kNotFound) << c.name;
    EXPECT_EQ(r.object_missing, c.missing) << c.name;
    EXPECT_EQ(r.buffer_answer, Answer::kNotFound) << c.name;
    EXPECT_TRUE(r.buffers.empty()) << c.name;
  }
}

// A marker given without --type or --field is looked for in the wide text of
// type 3's records: the named defaults must say that field.
TEST(FindTest, TheDefaultMarkerIsTheWideTextOfType3) {
  const quorvane::RecordLayout* layout = quorvane::FindLayout(kDefaultMarkerType);
  ASSERT_NE(layout, nullptr);
  ASSERT_LT(kDefaultMarkerField, layout->count);
  const quorvane::FieldSpec& field = layout->fields[kDefaultMarkerField];
  EXPECT_STREQ(field.name, "text");
  EXPECT_EQ(field.kind, quorvane::FieldKind::kWideText);
}

// The field a marker is in: the named string field, else the wide text, else
// the first string field; never a number, never a type without a layout.
TEST(FindTest, MarkerFieldIsAStringField) {
  struct Case {
    std::int32_t type;
    const char* name;  // nullptr: none given
    int field;
  };
  const Case cases[] = {
      {3, nullptr, 11}, {3, "font", 10},    {3, "color", -1}, {3, "nothing", -1},
      {80, nullptr, 2}, {80, "param", 3},   {7, nullptr, -1}, {-1, nullptr, -1},
  };
  for (const Case& c : cases) {
    const std::string name = c.name != nullptr ? c.name : "";
    EXPECT_EQ(MarkerField(c.type, c.name != nullptr ? &name : nullptr), c.field)
        << c.type << " " << name;
  }
}

// A list at the very start of the image reads as ObjectAddressList 0, which
// GetObjectData takes for a missing key: never an answer.
TEST(FindTest, NoListAtTheImageStart) {
  Shape s;
  s.list = 0;
  BuildHost(s);
  const FindResult r = Find(Request());
  ASSERT_GT(r.candidates_considered, 0u);
  for (const Candidate& c : r.candidates) EXPECT_NE(c.list, 0u);
}

// The marked text runs on, without its terminator, into a page that cannot
// be read: every other type decodes plausibly, but the module gives nil for
// the marked record, so no answer rests on it.
TEST(FindTest, NoAnswerThroughAnUnreadableMarkedRecord) {
  BuildHost(Shape{});
  const std::uint32_t record = kBase + 0x5FC0;  // its text ends the page
  Record(3, kMarker).WriteAt(record);
  fake::Write(record + 48 + 2 * static_cast<std::uint32_t>(kMarker.size()), "aa", 2);
  fake::SetReadable(kBase + 0x6000, 0x1000, false);
  fake::WriteU32(kBase + 0x2000 + 3 * kStructureSize + 0x24, record);
  const FindResult r = Find(Request());
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_EQ(r.object_answer, Answer::kNotFound);
}

// The same for the buffer: its marker runs on into a page that cannot be
// read, so GetTextbufferString would give nil there.
TEST(FindTest, NoBufferThatRunsIntoUnreadableMemory) {
  const Shape s = Heap(0x2210, 0x30, 0x2F00, false);
  BuildHost(s);
  const std::uint32_t after = kBase + s.buffer + 2 * static_cast<std::uint32_t>(kBufferMarker.size());
  const std::vector<std::uint8_t> letters(kBase + 0x3000 - after, 'a');
  fake::Write(after, letters.data(), letters.size());
  fake::SetReadable(kBase + 0x3000, 0x1000, false);
  const FindResult r = Find(Request());
  EXPECT_EQ(r.buffer_answer, Answer::kNotFound);
  EXPECT_TRUE(r.buffers.empty());
}

TEST(FindTest, MarkerOfAnotherLayoutsStringField) {
  // The file name of type 1 (4 bytes in), in the ANSI code page.
  BuildHost(Heap(0x2210, 0x30, 0x2F00, true));
  FindRequest request = Request();
  request.objects = {ObjectMarker{"C:\\Projects\\frames\\0001.png", 1, 0}};
  request.buffer_marker = false;
  const FindResult r = Find(request);
  EXPECT_EQ(r.object_answer, Answer::kFound);
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_EQ(r.candidates.front().list, 0x2210u);
  EXPECT_EQ(r.candidates.front().slot, kBase + 0x2210 + 4);
  EXPECT_EQ(r.buffer_answer, Answer::kNotAsked);
}

// Where one marker leaves two answers alike, a second marker in another
// type's record settles it: only the true pair reaches both.
TEST(FindTest, MoreMarkersMoreEvidence) {
  BuildHost(OnlyText());
  // A second record, of type 0, with its structure; the undo copy of the
  // text record still scores as well as the listed one.
  const std::uint32_t structure = kHeap + 0x800, record = kRecords + 0x6000;
  fake::WriteU32(kBase + 0x2210, structure);
  fake::WriteU32(structure + 0x30, record);
  Record(0, u"").WriteAt(record);
  FindRequest request = Request();
  request.buffer_marker = false;
  const FindResult one = Find(request);
  EXPECT_EQ(one.object_answer, Answer::kAmbiguous);

  request.objects.push_back(ObjectMarker{"C:\\Projects\\intro\\opening.png", 0, 0});
  const FindResult two = Find(request);
  EXPECT_EQ(two.object_answer, Answer::kFound);
  ASSERT_FALSE(two.candidates.empty());
  const Candidate& best = two.candidates.front();
  EXPECT_EQ(best.list, 0x2210u);
  EXPECT_EQ(best.data_offset, 0x30u);
  EXPECT_EQ(best.markers, (std::vector<int>{0, 1}));
  // The chain shown is the first marker's, though type 0's slot comes first
  // in the image.
  EXPECT_EQ(best.slot, kBase + 0x2210 + 4 * 3);
  for (const Candidate& c : two.candidates) {
    const auto type = static_cast<std::uint32_t>(request.objects[c.markers.front()].type);
    EXPECT_EQ(c.slot, kBase + c.list + 4 * type) << c.list << " " << c.data_offset;
  }
  ASSERT_EQ(two.object_hits.size(), 2u);
  EXPECT_EQ(two.object_hits[1].hits.size(), 1u);
  for (std::size_t i = 1; i < two.candidates.size(); ++i) {
    EXPECT_EQ(two.candidates[i].markers.size(), 1u);
  }
}

// Past a cap the rest of the hits or pointers is dropped, the true chain
// with them: what is left may well give one candidate, a wrong one. The
// true one could have been among those dropped, so none is the answer.
TEST(FindTest, EvidenceCutIsNeverOneAnswer) {
  struct Case {
    const char* name;
    std::uint32_t copies;  // of the bait, below the true chain in address order
    bool marker;           // the bait: the marker in whole records, else pointers to the true record
  };
  const Case cases[] = {
      {"marker_hits_cut", static_cast<std::uint32_t>(kMaxMarkerHits) + 1, true},
      {"pointers_cut", static_cast<std::uint32_t>(kMaxPointers) + 1, false},
  };
  const Shape shape = Heap(0x2210, 0x30, 0x2F00, false);
  const std::uint32_t true_record = kRecords + 3 * 0x200;  // type 3's record
  for (const Case& c : cases) {
    BuildHost(shape);
    constexpr std::uint32_t kBait = 0x00100000, kStride = 0x80, kBaitStructure = 0x00C00000;
    for (std::uint32_t i = 0; i < c.copies; ++i) {
      if (c.marker) {
        Record(3, kMarker).WriteAt(kBait + i * kStride);
      } else {
        fake::WriteU32(kBait + 4 * i, true_record);
      }
    }
    // One bait chain that an image word leads to: an unlisted structure
    // whose pointer at +0x30 is the first bait pointer.
    if (c.marker) fake::WriteU32(kBaitStructure + 0x30, kBait);
    const std::uint32_t bait_structure = c.marker ? kBaitStructure : kBait - 0x30;
    fake::WriteU32(kBase + 0x5000, bait_structure);
    FindRequest request = Request();
    request.buffer_marker = false;
    request.max_data_offset = 0x30;  // one offset per bait pointer
    const FindResult r = Find(request);
    EXPECT_TRUE(r.object_hits[0].cut || r.pointers_cut) << c.name;
    ASSERT_FALSE(r.candidates.empty()) << c.name;
    EXPECT_EQ(r.candidates.front().list, 0x5000u - 12) << c.name;  // the bait's chain is all there is
    EXPECT_NE(r.object_answer, Answer::kFound) << c.name;
  }
}

// Memory that the memory map lists as readable but that is gone when the
// scan comes to it (freed, decommitted or protected since) may have held
// the evidence: a decoy left alone is never the answer. Only image pages
// matter to the buffer.
TEST(FindTest, EvidenceLostIsNeverOneAnswer) {
  struct Case {
    const char* name;
    std::uint32_t page;  // that vanishes
    Answer buffer;
  };
  const Case cases[] = {
      // Left alone, the undo copy's chain gives one candidate.
      {"true_record", kRecords, Answer::kFound},
      {"image_page_of_the_buffer", kBase + 0x4000, Answer::kNotFound},
      {"elsewhere", 0x02002000, Answer::kFound},
  };
  for (const Case& c : cases) {
    BuildHost(Heap(0x2210, 0x30, 0x4F00, true));
    fake::VanishAfterReads(c.page, quorvane::kHostPageSize, 0);
    const FindResult r = Find(Request());
    EXPECT_FALSE(r.process_ended) << c.name;
    EXPECT_GE(r.lost_bytes, quorvane::kHostPageSize) << c.name;  // in each pass that met it
    EXPECT_NE(r.object_answer, Answer::kFound) << c.name;
    EXPECT_EQ(r.buffer_answer, c.buffer) << c.name;
  }
}

// Memory that changes after the memory map was taken, while the scoring
// walks the candidates: a live list and an undo list of copies score alike,
// until the live type 7 record moves into memory mapped since (which the
// scoring must ask the host about, not take for unreadable) or its page is
// freed (lost memory, as in a pass). Neither may hand the undo list the
// answer.
TEST(FindTest, MemoryThatChangesDuringTheScoring) {
  struct Case {
    const char* name;
    void (*change)();  // once the passes over all memory are done
    Answer object;
    bool lost;
  };
  constexpr std::uint32_t kMoved = 0x00D00000;  // not mapped when the map is taken
  static const std::uint32_t type7 = [] {
    std::uint32_t i = 0;
    while (quorvane::kTypesWithLayout[i] != 7) ++i;
    return i;
  }();
  const Case cases[] = {
      {"record_moved_into_new_memory",
       [] {
         Record(7, u"").WriteAt(kMoved);
         fake::WriteU32(kHeap + type7 * kStructureSize + 0x30, kMoved);
       },
       Answer::kAmbiguous, false},
      {"record_page_freed", [] { fake::SetPageState(kRecords + type7 * 0x200, 1, quorvane::PageState::kFree); },
       Answer::kAmbiguous, true},
  };
  for (const Case& c : cases) {
    Shape shape = Heap(0x2210, 0x30, 0x4F00, false);
    shape.undo_list = true;
    BuildHost(shape);
    static void (*change)();
    change = c.change;
    const FindResult r =
        FindOffsets(Request(), [](std::uint64_t done, std::uint64_t total) {
          if (done == total && change != nullptr) {
            change();
            change = nullptr;
          }
        });
    ASSERT_EQ(change, nullptr) << c.name;
    EXPECT_EQ(r.object_answer, c.object) << c.name;
    EXPECT_EQ(r.lost_bytes > 0, c.lost) << c.name;
    ASSERT_GE(r.candidates.size(), 2u) << c.name;
    if (!c.lost) {
      // The moved record is read where it is now: the two lists still tie.
      EXPECT_EQ(r.object_contenders, 2u) << c.name;
      EXPECT_EQ(r.candidates[0].score, r.candidates[1].score) << c.name;
    }
  }
}

// Two pointers of one structure to the same record, a "current" and a
// "first": the two offsets reach the markers alike, and the scan says so.
// Evidence may tell them apart: a clear lead in score, or another marker
// that only one of them reaches.
TEST(FindTest, TwoPointersOfOneStructureToTheSameRecord) {
  struct Case {
    const char* name;
    void (*change)();  // after BuildHost
    std::vector<ObjectMarker> more;
    Answer object;
    bool shared;
  };
  static const auto structure_of = [](std::int32_t type) {
    std::uint32_t i = 0;
    while (quorvane::kTypesWithLayout[i] != type) ++i;
    return kHeap + i * kStructureSize;
  };
  const Case cases[] = {
      {"alike", [] {}, {}, Answer::kAmbiguous, true},
      // Only the text's structure has the second pointer: under it every
      // other type has no record, and the current one leads clearly.
      {"only_the_text_has_a_first",
       [] {
         for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
           const std::int32_t type = quorvane::kTypesWithLayout[i];
           if (type != 3) fake::WriteU32(structure_of(type) + kFirstPointer, 0);
         }
       },
       {}, Answer::kFound, false},
      // Type 0's first record is another one, without the second marker.
      {"another_marker_tells",
       [] {
         Bytes().Str("C:\\Projects\\intro\\closing.png").WriteAt(0x00C00000);
         fake::WriteU32(structure_of(0) + kFirstPointer, 0x00C00000);
       },
       {ObjectMarker{"C:\\Projects\\intro\\opening.png", 0, 0}}, Answer::kFound, false},
  };
  for (const Case& c : cases) {
    Shape shape = Heap(0x2210, 0x30, 0x2F00, false);
    shape.first_pointer = true;
    BuildHost(shape);
    c.change();
    FindRequest request = Request();
    request.objects.insert(request.objects.end(), c.more.begin(), c.more.end());
    const FindResult r = Find(request);
    EXPECT_EQ(r.object_answer, c.object) << c.name;
    ASSERT_GE(r.candidates.size(), 2u) << c.name;
    EXPECT_EQ(r.candidates[0].list, 0x2210u) << c.name;
    const std::size_t other = SharedRecordOf(r, 0);
    ASSERT_EQ(other != kNotShared, c.shared) << c.name;
    EXPECT_EQ(ObjectRefusal(request, r, 0) == Refusal::kSharedRecord, c.shared) << c.name;
    if (c.shared) {
      EXPECT_EQ(r.candidates[other].list, 0x2210u) << c.name;
      const std::uint32_t offsets[] = {r.candidates[0].data_offset,
                                       r.candidates[other].data_offset};
      EXPECT_EQ(std::min(offsets[0], offsets[1]), 0x30u) << c.name;
      EXPECT_EQ(std::max(offsets[0], offsets[1]), kFirstPointer) << c.name;
    } else {
      EXPECT_EQ(r.candidates[0].data_offset, 0x30u) << c.name;
    }
  }
}

TEST(FindTest, ProcessThatEndsDuringTheScan) {
  // A whole find first, with its progress: the scan is over when its last
  // report says all is done. Then the process ends before each of the whole
  // find's reads in turn: in every pass over memory and in the scoring.
  BuildHost(Shape{});
  static bool all_done;
  all_done = false;
  const FindResult whole = FindOffsets(Request(4096), [](std::uint64_t done, std::uint64_t total) {
    all_done = done == total;
  });
  ASSERT_FALSE(whole.process_ended);
  EXPECT_TRUE(all_done);
  const std::uint64_t reads = fake::ReadCount();
  ASSERT_GT(reads, 0u);
  for (std::uint64_t end = 0; end < reads; ++end) {
    BuildHost(Shape{});
    fake::EndProcessAfterReads(end);
    const FindResult r = Find(Request(4096));
    EXPECT_TRUE(r.process_ended) << end << " of " << reads;
  }
}

// ------------------------------------------------------------ scoring

// The walk of every type under the true offsets and under wrong ones.
TEST(ScoreTest, OnlyTheTrueOffsetsDecodeEveryType) {
  BuildHost(Heap(0x2210, 0x30, 0x2F00, false));
  HostView view;
  const Candidate right = ScoreCandidate(view, kBase, 0x2210, 0x30);
  EXPECT_EQ(right.score, TypesWithFields());
  // Off by one slot: every type reads the next type's record.
  const Candidate off_by_four = ScoreCandidate(view, kBase, 0x2214, 0x30);
  EXPECT_LE(off_by_four.score, right.score - kClearLead);
  EXPECT_GE(off_by_four.Count(Outcome::kImplausible), 3);
  // A record pointer offset that lands inside the structure's bookkeeping.
  const Candidate inside = ScoreCandidate(view, kBase, 0x2210, 0x10);
  EXPECT_LE(inside.score, 0);
}

// Records where the memory map has nothing to read score as unreadable,
// whatever bytes the page held before: a guard page keeps its guard, and
// reserved or free memory is never taken for a record of zeros.
TEST(ScoreTest, RecordsThatCannotBeReadScoreAsUnreadable) {
  struct Case {
    const char* name;
    quorvane::PageState state;
  };
  using quorvane::PageState;
  const Case cases[] = {{"reserved", PageState::kReserved},
                        {"free", PageState::kFree},
                        {"guard_page", PageState::kGuard},
                        {"no_access", PageState::kNoAccess},
                        {"past_application_range", PageState::kPastApplicationRange}};
  constexpr std::uint32_t kHigh = 0x7FFF0000;
  for (const Case& c : cases) {
    BuildHost(Heap(0x2210, 0x30, 0x2F00, false));
    // Type 0's record pointer leads to a page of its own, which holds a
    // plausible record until the page is put into the case's state.
    const bool past = c.state == PageState::kPastApplicationRange;
    const std::uint32_t record = past ? kHigh + 0x1000 : 0x00C00000;
    Record(0, u"").WriteAt(record);
    fake::WriteU32(kHeap + 0x30, record);
    if (past) {
      fake::SetHighestApplicationAddress(kHigh - 1);
    } else {
      fake::SetPageState(record, 1, c.state);
    }
    EXPECT_EQ(quorvane::QueryHostPage(record), c.state) << c.name;
    HostView view;
    const Candidate scored = ScoreCandidate(view, kBase, 0x2210, 0x30);
    ASSERT_FALSE(scored.checks.empty()) << c.name;
    EXPECT_EQ(scored.checks.front().type, 0) << c.name;
    EXPECT_EQ(scored.checks.front().outcome, Outcome::kUnreadable) << c.name;
    EXPECT_EQ(scored.Count(Outcome::kUnreadable), 1) << c.name;
    EXPECT_EQ(scored.Count(Outcome::kPlausible), TypesWithFields() - 1) << c.name;
  }
}

// Records decoded from noise: random words, one in eight of them the
// address of a word of the same heap, as a record pointer that is not one
// leads there. Where a layout has a field with a range, such a record is
// next to never plausible. A layout of strings alone (types 0 to 2) takes
// one for plausible about one time in five: a heap address's top byte is 0
// and ends a string of two or three bytes that may well be text. Layouts
// without fields judge nothing and are left out here.
TEST(ScoreTest, NoiseIsNotPlausible) {
  fake::Reset();
  constexpr std::uint32_t kNoise = 0x00A00000, kNoiseSize = 0x40000;
  std::uint32_t x = 0x2545F491;
  const auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  for (std::uint32_t at = kNoise; at < kNoise + kNoiseSize; at += 4) {
    const std::uint32_t r = next();
    fake::WriteU32(at, r % 8 == 0 ? kNoise + (next() % kNoiseSize & ~3u) : next());
  }
  constexpr int kSamples = 500;
  HostView view;
  int layouts = 0, rarely_plausible = 0;
  for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
    const std::int32_t type = quorvane::kTypesWithLayout[i];
    if (quorvane::FindLayout(type)->count == 0) continue;
    int plausible = 0;
    for (int k = 0; k < kSamples; ++k) {
      // Far enough from the end that every field lies in the noise.
      const std::uint32_t record = kNoise + (next() % (kNoiseSize - 0x2000) & ~3u);
      plausible += CheckRecord(view, record, type).Plausible() ? 1 : 0;
    }
    const bool strings_alone = type <= 2;
    EXPECT_LE(plausible, strings_alone ? kSamples / 3 : kSamples / 100) << "type " << type;
    ++layouts;
    rarely_plausible += plausible <= kSamples / 100 ? 1 : 0;
  }
  EXPECT_GT(rarely_plausible, layouts / 2);
}

// Given the memory map of the find, the page cache reads a page inside its
// readable regions with its neighbours, in one read; where one of them has
// gone since the map was taken, the page is read alone, and a page that
// cannot be read is lost memory, once. A page outside the map is asked
// about: memory mapped since is read like any other, and a stretch that is
// not readable costs no read and is not lost.
TEST(HostViewTest, ReadsThePagesTheHostHasNow) {
  fake::Reset();
  fake::WriteU32(0x00700000, 0x12345678);
  std::vector<std::uint8_t> ones(3 * quorvane::kHostPageSize, 1);
  fake::Write(0x00720000, ones.data(), ones.size());
  bool ended = false;
  HostView view(ReadableRegions(0, std::uint64_t{1} << 32, &ended));
  fake::WriteU32(0x00900000, 0x9ABCDEF0);  // mapped after the map was taken
  fake::SetPageState(0x00722000, 1, quorvane::PageState::kFree);  // gone since
  std::uint32_t value = 0;
  const std::uint64_t reads = fake::ReadCount();
  EXPECT_FALSE(view.ReadU32(0x00800000, &value));
  EXPECT_FALSE(view.ReadU32(0x00801000, &value));
  EXPECT_EQ(fake::ReadCount(), reads);
  EXPECT_TRUE(view.ReadU32(0x00900000, &value));
  EXPECT_EQ(value, 0x9ABCDEF0u);
  EXPECT_EQ(fake::ReadCount(), reads + 1);
  EXPECT_TRUE(view.ReadU32(0x00700000, &value));
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(fake::ReadCount(), reads + 2);
  // The span of 3 pages fails whole; each page is then read alone.
  EXPECT_TRUE(view.ReadU32(0x00720FFC, &value));
  EXPECT_EQ(value, 0x01010101u);
  EXPECT_FALSE(view.ReadU32(0x00722000, &value));
  EXPECT_EQ(fake::ReadCount(), reads + 6);
  const std::vector<HostRegion> lost = view.TakeLost();
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].base, 0x00722000u);
  EXPECT_EQ(lost[0].size, quorvane::kHostPageSize);
  EXPECT_FALSE(view.ReadU32(0x00722004, &value));
  EXPECT_TRUE(view.TakeLost().empty());
  // A whole span: one read for its pages.
  fake::SetPageState(0x00722000, 1, quorvane::PageState::kReadable);
  HostView fresh(ReadableRegions(0, std::uint64_t{1} << 32, &ended));
  EXPECT_TRUE(fresh.ReadU32(0x00721000, &value));
  EXPECT_TRUE(fresh.ReadU32(0x00720000, &value));
  EXPECT_TRUE(fresh.ReadU32(0x00722000, &value));
  EXPECT_EQ(fake::ReadCount(), reads + 7);
  EXPECT_TRUE(fresh.TakeLost().empty());
}

struct RecordCase {
  const char* name;
  std::int32_t type;
  void (*spoil)(std::uint32_t record);  // null: the plausible record as it is
  const char* field;                    // the field judged implausible, or null
  bool evidence = true;                 // some field holds more than zeros
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordTest, JudgesTheField) {
  const RecordCase& c = GetParam();
  fake::Reset();
  constexpr std::uint32_t kRecord = 0x00700000;
  Record(c.type, u"Hello").WriteAt(kRecord);
  if (c.spoil != nullptr) c.spoil(kRecord);
  HostView view;
  const RecordVerdict v = CheckRecord(view, kRecord, c.type);
  EXPECT_TRUE(v.readable);
  if (c.field == nullptr) {
    EXPECT_TRUE(v.Plausible()) << (v.issues.empty() ? "" : v.issues[0].what);
    EXPECT_EQ(v.evidence, c.evidence);
  } else {
    ASSERT_EQ(v.issues.size(), 1u);
    EXPECT_STREQ(v.issues[0].field, c.field) << v.issues[0].what;
    EXPECT_FALSE(v.issues[0].what.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordTest,
    ::testing::Values(
        RecordCase{"text", 3, nullptr, nullptr}, RecordCase{"video", 6, nullptr, nullptr},
        RecordCase{"filter", 80, nullptr, nullptr},
        RecordCase{"colour_with_top_byte", 3,
                   [](std::uint32_t r) { fake::WriteU32(r + 12, 0x01000000); }, "color2"},
        RecordCase{
            "font_without_terminator", 3,
            [](std::uint32_t r) { fake::Write(r + 16, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32); },
            "font"},
        RecordCase{"control_byte_in_file", 0,
                   [](std::uint32_t r) { fake::Write(r + 3, "\x01", 1); }, "file"},
        RecordCase{"lone_surrogate_in_text", 3,
                   [](std::uint32_t r) { fake::Write(r + 50, "\x00\xD8", 2); }, "text"},
        RecordCase{"flag_not_0_or_1", 3, [](std::uint32_t r) { fake::Write(r + 2, "\x05", 1); },
                   "soft"},
        RecordCase{"large_enumeration", 80, [](std::uint32_t r) { fake::Write(r, "\x00\x40", 2); },
                   "type"},
        RecordCase{"negative_sample_count", 6,
                   [](std::uint32_t r) { fake::WriteU32(r + 296, 0xFFFFFFF0); }, "sample_n"},
        RecordCase{"blend_any_layout", 11, [](std::uint32_t r) { fake::WriteU32(r, 0x10000); },
                   "blend"},
        // Zero-filled memory decodes plausibly under every layout, and so
        // does any record under a layout without fields: neither is evidence.
        RecordCase{"zero_filled_text", 3,
                   [](std::uint32_t r) {
                     const std::vector<std::uint8_t> zeros(0x200, 0);
                     fake::Write(r, zeros.data(), zeros.size());
                   },
                   nullptr, false},
        RecordCase{"zero_filled_video", 6,
                   [](std::uint32_t r) {
                     const std::vector<std::uint8_t> zeros(0x200, 0);
                     fake::Write(r, zeros.data(), zeros.size());
                   },
                   nullptr, false},
        RecordCase{"layout_without_fields", 5, nullptr, nullptr, false},
        RecordCase{"zeros_but_one_colour", 3,
                   [](std::uint32_t r) {
                     const std::vector<std::uint8_t> zeros(0x200, 0);
                     fake::Write(r, zeros.data(), zeros.size());
                     fake::WriteU32(r + 8, 0x000080);
                   },
                   nullptr, true}),
    [](const ::testing::TestParamInfo<RecordCase>& p) { return std::string(p.param.name); });

TEST(RecordTest, UnreadableRecord) {
  fake::Reset();
  Record(6, u"").WriteAt(0x00700F00);  // runs into the next page
  fake::SetReadable(0x00701000, 1, false);
  HostView view;
  EXPECT_FALSE(CheckRecord(view, 0x00700F00, 6).readable);
  // The same record where the fields end before the unreadable page.
  Record(7, u"").WriteAt(0x00700FF8);
  EXPECT_TRUE(CheckRecord(view, 0x00700FF8, 7).Plausible());
}

// ------------------------------------------------------------ the scan

// A marker at every position around chunk and page boundaries is found
// exactly once, and so is a pointer in every word.
TEST(ScanTest, HitsAcrossChunkBoundaries) {
  const std::string marker = Utf16(u"QV-7f3a");
  for (const std::uint32_t chunk : {16u, 20u, 4096u}) {
    for (std::uint32_t at = 0x00800FF0; at < 0x00801010; ++at) {
      fake::Reset();
      std::vector<std::uint8_t> zeros(0x3000, 0);
      fake::Write(0x00800000, zeros.data(), zeros.size());
      fake::Write(at, marker.data(), marker.size());
      const std::uint32_t word = (at & ~3u) + 0x1000;
      fake::WriteU32(word, 0x12345678);
      bool ended = false;
      const std::vector<HostRegion> regions = ReadableRegions(0, std::uint64_t{1} << 32, &ended);
      ASSERT_EQ(regions.size(), 1u);
      const MarkerSearch search({marker, "\x78\x56"});
      const PointerTargets targets({0x12345678, 0x9ABCDEF0});
      std::vector<std::uint32_t> marker_hits, pointer_hits;
      StreamRegions(
          regions, chunk, search.Overlap(),
          [&](std::uint32_t address, const std::uint8_t* data, std::size_t size,
              std::size_t carried) {
            search.Search(address, data, size, carried, [&](std::size_t k, std::uint32_t a) {
              if (k == 0) marker_hits.push_back(a);
            });
          },
          [](std::uint64_t) {});
      StreamRegions(
          regions, chunk, 0,
          [&](std::uint32_t address, const std::uint8_t* data, std::size_t size, std::size_t) {
            targets.Search(address, data, size,
                           [&](std::uint32_t a, std::uint32_t) { pointer_hits.push_back(a); });
          },
          [](std::uint64_t) {});
      EXPECT_EQ(marker_hits, std::vector<std::uint32_t>{at}) << chunk << " " << at;
      EXPECT_EQ(pointer_hits, std::vector<std::uint32_t>{word}) << chunk << " " << at;
    }
  }
}

// Patterns of one byte, of two and one left empty: every occurrence, with
// the index given, in one pass.
TEST(ScanTest, PatternsOfAnyLength) {
  const std::string data("xAyABzAB\0\0AB", 12);
  const MarkerSearch search({"", "AB", "A"});
  std::vector<std::pair<std::size_t, std::uint32_t>> hits;
  search.Search(100, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), 0,
                [&](std::size_t k, std::uint32_t a) { hits.emplace_back(k, a); });
  std::sort(hits.begin(), hits.end());
  const std::vector<std::pair<std::size_t, std::uint32_t>> want = {
      {1, 103}, {1, 106}, {1, 110}, {2, 101}, {2, 103}, {2, 106}, {2, 110}};
  EXPECT_EQ(hits, want);
}

// Pages freed or decommitted after the memory map was taken: the pass
// skips them and no more. The rest of their region is still read, each byte
// once, and the process is not taken for ended.
TEST(ScanTest, PagesThatVanishDuringThePass) {
  struct Case {
    std::uint32_t from, size;  // what vanishes of the second region
  };
  const Case cases[] = {{0x00904000, 0x1000}, {0x00900000, 0xF000}, {0x00901000, 0xE000}};
  for (const std::uint32_t chunk : {0x1000u, 0x3000u, 0x10000u}) {
    for (const Case& c : cases) {
      fake::Reset();
      std::vector<std::uint8_t> ones(0x10000, 1);
      fake::Write(0x00800000, ones.data(), 0x1000);
      fake::Write(0x00900000, ones.data(), ones.size());
      bool ended = false;
      const std::vector<HostRegion> regions = ReadableRegions(0, std::uint64_t{1} << 32, &ended);
      ASSERT_EQ(regions.size(), 2u);
      std::vector<std::uint8_t> seen(0x10000, 0);  // of the second region
      std::uint64_t last_done = 0;
      const PassStats stats = StreamRegions(
          regions, chunk, 0,
          [&](std::uint32_t address, const std::uint8_t*, std::size_t size, std::size_t) {
            if (address == 0x00800000) fake::SetReadable(c.from, c.size, false);
            if (address < 0x00900000) return;
            for (std::size_t i = 0; i < size; ++i) ++seen[address - 0x00900000 + i];
          },
          [&](std::uint64_t done) { last_done = done; });
      std::vector<std::uint8_t> want(0x10000, 1);
      std::fill(want.begin() + (c.from - 0x00900000), want.begin() + (c.from + c.size - 0x00900000),
                0);
      EXPECT_EQ(seen, want) << chunk << " " << c.from;
      EXPECT_FALSE(stats.process_ended);
      EXPECT_GE(stats.failed_reads, 1u);
      EXPECT_EQ(stats.bytes, 0x11000u - c.size);
      EXPECT_EQ(last_done, 0x11000u);
    }
  }
}

// A marker across the boundary of two chunks, when the second cannot be
// read whole: the page-by-page read of it still joins the bytes carried
// over, unless the marker's own pages are gone. What could not be read is
// noted.
TEST(ScanTest, CarriedBytesOutliveAFailedChunk) {
  struct Case {
    std::uint32_t chunk_pages;
    std::uint32_t vanished;  // page of the 8-page region
    std::size_t hits;  // 1: found where it is
  };
  const Case cases[] = {{4, 6, 1}, {4, 5, 1}, {2, 5, 1}, {4, 4, 0}, {4, 3, 0}, {1, 6, 1}};
  constexpr std::uint32_t kRegion = 0x00900000, kPage = quorvane::kHostPageSize;
  const std::string marker = Utf16(u"QV-7f3a");
  const std::uint32_t at = kRegion + 4 * kPage - 6;  // the end of page 3, into page 4
  for (const Case& c : cases) {
    fake::Reset();
    std::vector<std::uint8_t> ones(8 * kPage, 1);
    fake::Write(kRegion, ones.data(), ones.size());
    fake::Write(at, marker.data(), marker.size());
    bool ended = false;
    const std::vector<HostRegion> regions = ReadableRegions(0, std::uint64_t{1} << 32, &ended);
    ASSERT_EQ(regions.size(), 1u);
    fake::VanishAfterReads(kRegion + c.vanished * kPage, kPage, 0);
    const MarkerSearch search({marker});
    std::vector<std::uint32_t> hits;
    const PassStats stats = StreamRegions(
        regions, c.chunk_pages * kPage, search.Overlap(),
        [&](std::uint32_t address, const std::uint8_t* data, std::size_t size,
            std::size_t carried) {
          search.Search(address, data, size, carried,
                        [&](std::size_t, std::uint32_t a) { hits.push_back(a); });
        },
        [](std::uint64_t) {});
    EXPECT_EQ(hits, std::vector<std::uint32_t>(c.hits, at)) << c.chunk_pages << " " << c.vanished;
    ASSERT_EQ(stats.lost.size(), 1u) << c.chunk_pages << " " << c.vanished;
    EXPECT_EQ(stats.lost[0].base, kRegion + c.vanished * kPage);
    EXPECT_EQ(stats.lost[0].size, kPage);
    EXPECT_EQ(stats.bytes, 7u * kPage);
  }
}

// The words equal to a value, and the words at most `reach` below a value
// (each with every such value), as a plain search of every value finds
// them: with a few values or thousands, ranges across pages, at address 0
// and at the top of the address space, and words 256 MiB away that the
// filters take for near (the same low 16 bits of the page number).
TEST(ScanTest, TargetsFindWhatAPlainSearchFinds) {
  struct Case {
    std::vector<std::uint32_t> values;  // ascending
    std::uint32_t reach;
  };
  std::vector<std::uint32_t> many;
  for (std::uint32_t i = 0; i < 5000; ++i) many.push_back(0x00400000 + i * 0x3334);
  const Case cases[] = {{{0x00801000}, 0x10},
                        {{0x00801000}, 0x1000},
                        {{0x00801000, 0x00801008, 0x00803000}, 0x2000},
                        {{0x10, 0x00801004, 0xFFFFFFFC}, 0x200},
                        {{0x00900000}, 0x100000},
                        {{5}, 0},
                        {{}, 0x100},
                        {many, 0x1000}};
  for (const Case& c : cases) {
    // Words at and around each range's ends, and others anywhere.
    std::vector<std::uint32_t> words;
    std::uint32_t noise = 12345;
    for (const std::uint32_t v : c.values) {
      for (const std::uint32_t w : {v - c.reach - 4, v - c.reach - 1, v - c.reach, v - c.reach + 1,
                                    v - 1, v, v + 1, v + 4, v + 0x10000000u, v - 0x10000000u}) {
        words.push_back(w);
        noise = noise * 1103515245u + 12345u;
        words.push_back(noise);
      }
    }
    std::vector<std::uint8_t> data(words.size() * 4);
    for (std::size_t i = 0; i < words.size(); ++i) std::memcpy(&data[4 * i], &words[i], 4);
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::size_t>> found, within;
    RangeTargets(c.values, c.reach)
        .Search(0x1000, data.data(), data.size(),
                [&](std::uint32_t at, std::uint32_t word, std::size_t index) {
                  found.emplace_back(at, word, index);
                });
    std::vector<std::pair<std::uint32_t, std::uint32_t>> equal, same;
    PointerTargets(c.values).Search(0x1000, data.data(), data.size(),
                                    [&](std::uint32_t at, std::uint32_t word) {
                                      equal.emplace_back(at, word);
                                    });
    for (std::size_t i = 0; i < words.size(); ++i) {
      const auto at = static_cast<std::uint32_t>(0x1000 + 4 * i);
      for (std::size_t j = 0; j < c.values.size(); ++j) {
        if (c.values[j] >= words[i] && c.values[j] - words[i] <= c.reach) {
          within.emplace_back(at, words[i], j);
        }
      }
      if (std::binary_search(c.values.begin(), c.values.end(), words[i])) {
        same.emplace_back(at, words[i]);
      }
    }
    EXPECT_EQ(found, within) << c.values.size() << " values, reach " << c.reach;
    EXPECT_EQ(equal, same) << c.values.size() << " values";
  }
}

TEST(ScanTest, RegionsSkipUnreadablePages) {
  fake::Reset();
  std::vector<std::uint8_t> bytes(0x5000, 1);
  fake::Write(0x00900000, bytes.data(), bytes.size());
  fake::SetReadable(0x00902000, 0x1000, false);
  bool ended = false;
  const std::vector<HostRegion> all = ReadableRegions(0, std::uint64_t{1} << 32, &ended);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].base, 0x00900000u);
  EXPECT_EQ(all[0].size, 0x2000u);
  EXPECT_EQ(all[1].base, 0x00903000u);
  EXPECT_EQ(all[1].size, 0x2000u);
  // Clipped to a range, as for a module's image.
  const std::vector<HostRegion> part = ReadableRegions(0x00901800, 0x00903800, &ended);
  ASSERT_EQ(part.size(), 2u);
  EXPECT_EQ(part[0].base, 0x00901800u);
  EXPECT_EQ(part[0].size, 0x800u);
  EXPECT_EQ(part[1].size, 0x800u);
  EXPECT_FALSE(ended);
}

}  // namespace
}  // namespace finder
