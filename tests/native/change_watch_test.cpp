// Settling a find by a change, over the fake platform: a host whose undo
// list in the image holds copies of its records, the scan that ranks them,
// then a scripted host that changes (or does not change) its records while
// the watch polls on a clock of the test's own.
#include "finder/change_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "finder/finder.h"
#include "platform/fake_platform.h"
#include "utf16_bytes.h"

namespace finder {
namespace {

namespace fake = quorvane::fake;

constexpr std::uint32_t kBase = 0x10000000;
constexpr std::uint32_t kImageSize = 0x4000;
constexpr std::uint32_t kLiveList = 0x0100, kUndoList = 0x0400;
constexpr std::uint32_t kLiveBuffer = 0x1000, kOtherBuffer = 0x2000;
constexpr std::uint32_t kDataOffset = 0x24;
constexpr std::uint32_t kFirstPointer = 0x28;  // a second pointer to the record, when asked
constexpr std::uint32_t kLiveEntries = 0x00A10000, kUndoEntries = 0x00A20000;
constexpr std::uint32_t kLiveRecords = 0x00B00000, kUndoRecords = 0x00B20000;
constexpr std::uint32_t kMovedRecord = 0x00B40000;
constexpr std::uint32_t kWaitMs = 5000;
const char kModule[] = "host_app.dll";
const std::u16string kOld = u"QV-7f3a", kNew = u"QV-2c4e";
const std::u16string kOldBuffer = u"QV-b9c2", kNewBuffer = u"QV-51d0";

std::uint32_t TextAt(std::uint32_t record) { return record + 48; }

// A plausible record of types 3, 7 and 10.
void WriteRecord(std::int32_t type, std::uint32_t at, const std::u16string& text) {
  if (type == 3) {
    const std::uint8_t head[16] = {1, 1, 1, 0, 4, 0xFE, 6, 2, 0xFF, 0xC8, 0, 0, 0x10, 0x20, 0x40, 0};
    fake::Write(at, head, sizeof head);
    fake::Write(at + 16, "Arial", 6);
    fake::WriteWide(TextAt(at), text);
  } else {
    fake::WriteU32(at, type == 7 ? 3 : 2);
    fake::WriteU32(at + 4, type == 7 ? 1200 : 192);
  }
}

// The live list holds types 3, 7 and 10. The undo list holds copies of the
// same records (`undo_all`: the scan cannot tell them apart) or of the text
// record alone (the live list leads clearly). The text buffer is in the
// image twice, alike. With `first_pointer`, each live structure holds a
// second pointer to its record, kFirstPointer bytes in.
void BuildHost(bool undo_all, bool first_pointer = false) {
  fake::Reset();
  fake::SetModuleBase(kModule, kBase);
  fake::SetModuleSize(kModule, kImageSize);
  const std::vector<std::uint8_t> zeros(kImageSize, 0);
  fake::Write(kBase, zeros.data(), zeros.size());
  const std::int32_t types[] = {3, 7, 10};
  for (const std::int32_t type : types) {
    const auto t = static_cast<std::uint32_t>(type);
    fake::WriteU32(kBase + kLiveList + 4 * t, kLiveEntries + 0x40 * t);
    fake::WriteU32(kLiveEntries + 0x40 * t + kDataOffset, kLiveRecords + 0x200 * t);
    if (first_pointer) fake::WriteU32(kLiveEntries + 0x40 * t + kFirstPointer, kLiveRecords + 0x200 * t);
    WriteRecord(type, kLiveRecords + 0x200 * t, kOld);
    if (type != 3 && !undo_all) continue;
    fake::WriteU32(kBase + kUndoList + 4 * t, kUndoEntries + 0x40 * t);
    fake::WriteU32(kUndoEntries + 0x40 * t + kDataOffset, kUndoRecords + 0x200 * t);
    WriteRecord(type, kUndoRecords + 0x200 * t, kOld);
  }
  fake::WriteWide(kBase + kLiveBuffer, kOldBuffer);
  fake::WriteWide(kBase + kOtherBuffer, kOldBuffer);
}

// "Note: " typed right before the text at `at`.
void WriteNote(std::uint32_t at) {
  const std::string note = Utf16(u"Note: ");
  fake::Write(at - static_cast<std::uint32_t>(note.size()), note.data(), note.size());
}

FindRequest Request() {
  FindRequest r;
  r.module = kModule;
  r.objects = {ObjectMarker{Utf16(kOld), 3, 11}};
  r.buffer_marker = true;
  r.buffer_bytes = Utf16(kOldBuffer);
  return r;
}

// What the scripted host does, and when.
enum class Act {
  kLive,         // the live record's text becomes the new marker
  kCopy,         // the undo copy's text does
  kMove,         // the live record moves: a new one with the new text
  kTyping,       // the live text reads a part of the new marker
  kLonger,       // the live text reads the new marker and more after it
  kBuffer,       // the text buffer's text becomes the new buffer marker
  kOtherPlace,   // the other place in the image does
};

struct Step {
  std::uint32_t at_ms;
  Act act;
};

void Apply(Act act) {
  const std::uint32_t text = 3 * 0x200;
  switch (act) {
    case Act::kLive: fake::WriteWide(TextAt(kLiveRecords + text), kNew); break;
    case Act::kCopy: fake::WriteWide(TextAt(kUndoRecords + text), kNew); break;
    case Act::kMove:
      WriteRecord(3, kMovedRecord, kNew);
      fake::WriteU32(kLiveEntries + 0x40 * 3 + kDataOffset, kMovedRecord);
      break;
    case Act::kTyping: fake::WriteWide(TextAt(kLiveRecords + text), kNew.substr(0, 4)); break;
    case Act::kLonger: fake::WriteWide(TextAt(kLiveRecords + text), kNew + u"XYZ"); break;
    case Act::kBuffer: fake::WriteWide(kBase + kLiveBuffer, kNewBuffer); break;
    case Act::kOtherPlace: fake::WriteWide(kBase + kOtherBuffer, kNewBuffer); break;
  }
}

// Polls every interval from 0 until the watch settles, doing each step
// before the first poll at or after its time.
Settled PollUntilSettled(ChangeWatch* watch, const std::vector<Step>& steps) {
  std::size_t next = 0;
  for (std::uint64_t now = 0;; now += kWatchIntervalMs) {
    while (next < steps.size() && steps[next].at_ms <= now) Apply(steps[next++].act);
    const Settled s = watch->Poll(now);
    if (s != Settled::kWatching) return s;
    if (now > 10 * kWaitMs) return Settled::kWatching;  // never: the wait ends it
  }
}

struct ChangeCase {
  const char* name;
  bool undo_all;  // the scan is ambiguous; else it has one clear answer
  std::vector<Step> steps;
  Settled settled;
  std::uint32_t answer_list;  // for kChosen, kConfirmed and kRefused
  bool first_pointer = false;  // BuildHost's
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class ChangeTest : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeTest, SettlesOnlyWhatTheScanLeftOpen) {
  const ChangeCase& c = GetParam();
  BuildHost(c.undo_all, c.first_pointer);
  const FindRequest request = Request();
  const FindResult r = FindOffsets(request, [](std::uint64_t, std::uint64_t) {});
  ASSERT_EQ(r.object_answer, c.undo_all ? Answer::kAmbiguous : Answer::kFound);
  ChangeWatch watch = ChangeWatch::ForObjects(request, r, 0, Utf16(kNew), kWaitMs);
  ASSERT_EQ(watch.unwatched(), Unwatched::kNone);
  // Both lists are watched; the contenders come first.
  std::vector<std::uint32_t> lists;
  for (const WatchedPlace& p : watch.places()) lists.push_back(r.candidates[p.index].list);
  EXPECT_NE(std::find(lists.begin(), lists.end(), kLiveList), lists.end());
  EXPECT_NE(std::find(lists.begin(), lists.end(), kUndoList), lists.end());
  EXPECT_EQ(watch.contenders(), (c.undo_all ? 2u : 1u) + (c.first_pointer ? 1u : 0u));
  EXPECT_TRUE(watch.places().front().contender);

  EXPECT_EQ(PollUntilSettled(&watch, c.steps), c.settled);
  if (c.settled == Settled::kChosen || c.settled == Settled::kConfirmed ||
      c.settled == Settled::kRefused) {
    EXPECT_EQ(r.candidates[watch.answer()].list, c.answer_list);
    EXPECT_EQ(r.candidates[watch.answer()].data_offset, kDataOffset);
  }
  if (c.settled == Settled::kRefused) {
    EXPECT_EQ(watch.refusal(), Refusal::kSharedRecord);
  }
  if (c.settled == Settled::kNoChange) {
    EXPECT_GE(watch.elapsed_ms(), kWaitMs);
  } else {
    // Taken on the second poll that saw it, well before the wait ends.
    EXPECT_LT(watch.elapsed_ms(), kWaitMs);
    EXPECT_GE(watch.elapsed_ms(), c.steps.back().at_ms + kWatchIntervalMs);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ChangeTest,
    ::testing::Values(
        ChangeCase{"copies_alike_live_changes", true, {{1000, Act::kLive}}, Settled::kChosen,
                   kLiveList},
        // The chain is walked afresh: the host's new record is followed.
        ChangeCase{"copies_alike_live_record_moves", true, {{1000, Act::kMove}},
                   Settled::kChosen, kLiveList},
        // Half typed, then done: only the whole new marker counts.
        ChangeCase{"copies_alike_typed_slowly", true,
                   {{500, Act::kTyping}, {1500, Act::kLive}}, Settled::kChosen, kLiveList},
        ChangeCase{"copies_alike_nothing_changes", true, {}, Settled::kNoChange, 0},
        // The new marker is the whole text: with more after it, it is not.
        ChangeCase{"copies_alike_new_marker_with_more_after_it", true, {{1000, Act::kLonger}},
                   Settled::kNoChange, 0},
        // A "current" and a "first" pointer of one structure to the same
        // record: the host moves the record and sets one of them, but which
        // of the two a script should read, the change does not say.
        ChangeCase{"first_pointer_beside_the_live_one_record_moves", true, {{1000, Act::kMove}},
                   Settled::kRefused, kLiveList, true},
        ChangeCase{"first_pointer_beside_the_live_one_changes_with_it", true,
                   {{1000, Act::kLive}}, Settled::kSeveral, 0, true},
        ChangeCase{"copies_alike_both_change", true, {{1000, Act::kLive}, {1000, Act::kCopy}},
                   Settled::kSeveral, 0},
        // One after the other, a poll apart: both are seen before the answer.
        ChangeCase{"copies_alike_change_one_after_the_other", true,
                   {{1000, Act::kLive}, {1000 + kWatchIntervalMs, Act::kCopy}},
                   Settled::kSeveral, 0},
        ChangeCase{"clear_answer_changes", false, {{1000, Act::kLive}}, Settled::kConfirmed,
                   kLiveList},
        ChangeCase{"clear_answer_copy_changes_instead", false, {{1000, Act::kCopy}},
                   Settled::kConflict, 0},
        ChangeCase{"clear_answer_nothing_changes", false, {}, Settled::kNoChange, 0}),
    [](const ::testing::TestParamInfo<ChangeCase>& p) { return std::string(p.param.name); });

// The text buffer in two places of the image alike: the one that changes
// is the buffer.
// A change tells which place is the live buffer, never where a buffer
// starts: a place with text before its marker stays open.
TEST(ChangeTest, BufferPlacesThatTie) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Settled settled;
    bool note_before_live = false;  // "Note: " typed before the live place's marker
  };
  const Case cases[] = {
      {"live_changes", {{750, Act::kBuffer}}, Settled::kChosen},
      {"both_change", {{750, Act::kBuffer}, {750, Act::kOtherPlace}}, Settled::kSeveral},
      {"nothing_changes", {}, Settled::kNoChange},
      {"live_with_text_before_it_changes", {{750, Act::kBuffer}}, Settled::kRefused, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuildHost(true);
    if (c.note_before_live) WriteNote(kBase + kLiveBuffer);
    const FindRequest request = Request();
    const FindResult r = FindOffsets(request, [](std::uint64_t, std::uint64_t) {});
    ASSERT_EQ(r.buffer_answer, Answer::kAmbiguous);
    ChangeWatch watch = ChangeWatch::ForBuffer(request, r, Utf16(kNewBuffer), kWaitMs);
    EXPECT_EQ(watch.places().size(), 2u);
    EXPECT_EQ(PollUntilSettled(&watch, c.steps), c.settled);
    if (c.settled == Settled::kChosen || c.settled == Settled::kRefused) {
      EXPECT_EQ(r.buffers[watch.answer()].offset, kLiveBuffer);
    }
    if (c.settled == Settled::kRefused) {
      EXPECT_EQ(watch.refusal(), Refusal::kTextBefore);
    }
  }
}

// Nothing to settle: no candidate at all, or every contender refused by
// the scan's own rules (evidence dropped at a cap or memory lost, where the
// live one may be among what was not seen; a buffer's one place with text
// before its marker; two pointers of one structure to the same record). The
// host changes the live text all the same; nothing is read, nothing settled.
TEST(ChangeTest, NothingToSettleIsNotWatched) {
  struct Case {
    const char* name;
    bool undo_all, first_pointer;
    void (*before)(FindRequest* request);  // before the scan
    void (*after)(FindResult* result);     // after it
    bool buffer;                           // the buffer's watch, else the objects'
    Act act;
    Unwatched unwatched;
    Refusal refusal;
  };
  const Case cases[] = {
      {"no_candidate", true, false,
       [](FindRequest* q) { q->objects[0].bytes = Utf16(u"QV-nowhere"); }, [](FindResult*) {},
       false, Act::kLive, Unwatched::kNoCandidate, Refusal::kNone},
      {"evidence_cut", true, false, [](FindRequest*) {},
       [](FindResult* r) { r->pointers_cut = true; }, false, Act::kLive, Unwatched::kRefused,
       Refusal::kEvidenceCut},
      // The live list leads clearly, but a page went during the scan.
      {"memory_lost", false, false,
       [](FindRequest*) {
         fake::WriteU32(0x02000000, 1);
         fake::VanishAfterReads(0x02000000, 1, 0);
       },
       [](FindResult*) {}, false, Act::kLive, Unwatched::kRefused, Refusal::kMemoryLost},
      {"buffer_with_text_before_it", true, false,
       [](FindRequest*) {
         WriteNote(kBase + kLiveBuffer);
         fake::WriteWide(kBase + kOtherBuffer, u"");
       },
       [](FindResult*) {}, true, Act::kBuffer, Unwatched::kRefused, Refusal::kTextBefore},
      // The live list's two pointers are the contenders, the undo list of
      // the text alone far behind.
      {"first_pointer_beside_the_live_one", false, true, [](FindRequest*) {},
       [](FindResult*) {}, false, Act::kMove, Unwatched::kRefused, Refusal::kSharedRecord},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuildHost(c.undo_all, c.first_pointer);
    FindRequest request = Request();
    c.before(&request);
    FindResult r = FindOffsets(request, [](std::uint64_t, std::uint64_t) {});
    c.after(&r);
    EXPECT_NE(c.buffer ? r.buffer_answer : r.object_answer, Answer::kFound);
    ChangeWatch watch = c.buffer ? ChangeWatch::ForBuffer(request, r, Utf16(kNewBuffer), kWaitMs)
                                 : ChangeWatch::ForObjects(request, r, 0, Utf16(kNew), kWaitMs);
    EXPECT_EQ(watch.unwatched(), c.unwatched);
    EXPECT_EQ(watch.refusal(), c.refusal);
    Apply(c.act);
    const std::uint64_t reads = fake::ReadCount();
    EXPECT_EQ(PollUntilSettled(&watch, {}), Settled::kNotWatched);
    EXPECT_TRUE(watch.places().empty());
    EXPECT_EQ(fake::ReadCount(), reads);
  }
}

}  // namespace
}  // namespace finder
