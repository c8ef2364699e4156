// The find's reasons: one line per offset not found, for each way the
// finder's result can leave it open.
#include "probe/find/find_reasons.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "finder/change_watch.h"
#include "platform/fake_platform.h"
#include "utf16_bytes.h"

namespace probe {
namespace {

using finder::Answer;
using finder::Missing;

// One --text marker, one --buffer-text marker, nothing found yet.
FindReport Report() {
  FindReport r;
  r.module = "Host.exe";
  r.options.buffer_text = "QV-b";
  r.options.max_offset = 0x1000;
  r.markers.push_back({"QV-a", true, 3, "text", 48});
  r.result.object_hits.resize(1);
  r.result.object_answer = Answer::kNotFound;
  r.result.buffer_answer = Answer::kNotFound;
  r.result.module_base = 0x00400000;
  r.result.module_size = 0x10000;
  r.result.total_bytes = 3 * 1024 * 1024;
  return r;
}

// A second --text marker, in type 80's name: found (`found`) or not, and
// reached by a candidate that misses the first (`apart`) or by none; the
// best candidate reaches the first alone.
void SecondMarkerNotReached(FindReport* r, bool found, bool apart) {
  r->markers.push_back({"QV-typo", false, 80, "name", 4});
  r->result.object_hits.resize(2);
  r->result.object_hits[0].hits.push_back({0x00800030, false});
  if (found) r->result.object_hits[1].hits.push_back({0x00900004, false});
  r->result.object_missing = Missing::kMarkerNotReached;
  r->result.candidates.resize(apart ? 2 : 1);
  r->result.candidates[0].markers = {0};
  if (apart) r->result.candidates[1].markers = {1};
}

TEST(FindReasonsTest, SayWhyEachOffsetIsOpen) {
  struct Case {
    const char* name;
    bool object;  // ObjectReason, else BufferReason
    void (*result)(FindReport*);
    const char* says;  // a part of the reason
  };
  const Case cases[] = {
      {"marker too common", true, [](FindReport* r) { r->result.object_hits[0].cut = true; },
       "the marker \"QV-a\" is too common"},
      {"memory lost", true, [](FindReport* r) { r->result.lost_bytes = 2048; },
       "2.0 KiB of memory that the memory map listed as readable could not be read"},
      // The one remedy the docs offer for a tie is named with it.
      {"ambiguous", true,
       [](FindReport* r) {
         r->result.object_answer = Answer::kAmbiguous;
         r->result.object_contenders = 2;
         r->result.candidates.resize(2);
         r->result.candidates[0].score = 5;
         r->result.candidates[1].score = 5;
       },
       "2 candidates score alike (best 5, next 5); none picked: see the candidates listed "
       "first, or tell them apart with --then MARKER2"},
      // A "current" and a "first" pointer of one structure: --then cannot
      // tell them apart, another marker can.
      {"two pointers of one structure", true,
       [](FindReport* r) {
         r->result.object_answer = Answer::kAmbiguous;
         r->result.object_contenders = 2;
         r->result.candidates.resize(2);
         for (finder::Candidate& c : r->result.candidates) {
           c.list = 0x1040;
           c.score = 5;
           c.structure = 0x00A10000;
           c.record = 0x00B00000;
           c.markers = {0};
           c.records = {0x00B00000};
         }
         r->result.candidates[0].data_offset = 0x24;
         r->result.candidates[1].data_offset = 0x28;
       },
       "ObjectDataOffset=0x00000024 and 0x00000028 (ObjectAddressList=0x00001040) are two "
       "pointers of one structure (0x00A10000) to the same record (0x00B00000)"},
      // Every marker given must be reached: one that is nowhere, one whose
      // record no pair leads to, one reached only by pairs that miss the
      // others.
      {"second marker nowhere", true,
       [](FindReport* r) { SecondMarkerNotReached(r, false, false); },
       "the marker \"QV-typo\" (type 80 field \"name\") is nowhere in the 3.0 MiB of readable "
       "memory, and the answer must reach every marker given"},
      {"second marker not led to", true,
       [](FindReport* r) { SecondMarkerNotReached(r, true, false); },
       "the marker \"QV-typo\" (type 80 field \"name\") was found (1 hit, the first at "
       "0x00900004, record 0x00900000), but no (list, offset) pair leads to its record through "
       "type 80's slot"},
      {"second marker reached apart", true,
       [](FindReport* r) { SecondMarkerNotReached(r, true, true); },
       "but no (list, offset) pair that reaches it also reaches \"QV-a\""},
      {"no marker", true, [](FindReport* r) { r->result.object_missing = Missing::kNoMarker; },
       "the marker \"QV-a\" is nowhere in the 3.0 MiB of readable memory: check that the host "
       "shows an object of type 3 whose text is exactly the marker"},
      {"no pointer", true,
       [](FindReport* r) {
         r->result.object_missing = Missing::kNoPointer;
         r->result.object_hits[0].hits.push_back({0x00800000, false});
       },
       "the markers were found 1 times, but no 4-aligned pointer leads to a record"},
      {"no slot", true,
       [](FindReport* r) {
         r->result.object_missing = Missing::kNoSlot;
         r->result.pointers = {{0x00900000, 0x00800000}, {0x00900100, 0x00800000}};
       },
       "2 pointers to the markers' records were found, but no word of Host.exe's image points "
       "up to 0x1000 bytes below one"},
      {"nothing plausible", true,
       [](FindReport* r) { r->result.object_missing = Missing::kNoPlausible; },
       "no candidate decodes the records plausibly"},
      {"buffer marker too common", false, [](FindReport* r) { r->result.buffer_hits_cut = true; },
       "TextBufferAddress: the buffer marker \"QV-b\" is too common"},
      {"text before the buffer marker", false,
       [](FindReport* r) {
         r->result.buffer_text_before = true;
         r->result.buffers.push_back({0x1B60, 0x00401B60});
       },
       "has something other than a NUL unit right before it (at 0x00401B60, module + 0x1B60)"},
      {"buffer ambiguous", false,
       [](FindReport* r) {
         r->result.buffer_answer = Answer::kAmbiguous;
         r->result.buffer_contenders = 3;
       },
       "3 places in Host.exe's image hold the buffer marker alike; none picked"},
      {"buffer marker elsewhere", false,
       [](FindReport* r) { r->result.buffer_hits.push_back({0x00800000, false}); },
       "is not in Host.exe's image (0x00400000, 0x10000 bytes), only 1 times elsewhere"},
      {"buffer marker nowhere", false, [](FindReport*) {},
       "is not in Host.exe's image (0x00400000, 0x10000 bytes): check that it is typed"},
  };
  for (const Case& c : cases) {
    FindReport r = Report();
    c.result(&r);
    const std::string reason = c.object ? ObjectReason(r) : BufferReason(r);
    EXPECT_EQ(reason.rfind(c.object ? "ObjectAddressList and ObjectDataOffset: "
                                    : "TextBufferAddress: ",
                           0),
              0u)
        << c.name;
    EXPECT_NE(reason.find(c.says), std::string::npos) << c.name << ": " << reason;
  }
}

// What a change left open, in words: the buffer marker in two places of the
// image, one of them after "Note: ". When the one with text before it is
// the one that changes, the change tells which place is the buffer, not
// where it starts: nothing is picked, and the reason says what to do. With
// that place alone, nothing is watched, and the summary says why.
TEST(FindReasonsTest, SayWhatAChangeLeftOpen) {
  namespace fake = quorvane::fake;
  constexpr std::uint32_t kBase = 0x10000000, kNoted = kBase + 0x400;
  const ChangeAsk ask{true, "QV-b", "QV-c", Utf16(u"QV-c"), 0, "the text buffer"};
  for (const bool both : {true, false}) {
    SCOPED_TRACE(both ? "two places" : "the noted place alone");
    fake::Reset();
    fake::SetModuleBase("Host.exe", kBase);
    fake::SetModuleSize("Host.exe", 0x1000);
    const std::vector<std::uint8_t> zeros(0x1000, 0);
    fake::Write(kBase, zeros.data(), zeros.size());
    if (both) fake::WriteWide(kBase + 0x100, u"QV-b");
    const std::string note = Utf16(u"Note: ");
    fake::Write(kNoted - static_cast<std::uint32_t>(note.size()), note.data(), note.size());
    fake::WriteWide(kNoted, u"QV-b");
    finder::FindRequest request;
    request.module = "Host.exe";
    request.buffer_marker = true;
    request.buffer_bytes = Utf16(u"QV-b");
    FindReport r = Report();
    r.result = finder::FindOffsets(request, [](std::uint64_t, std::uint64_t) {});
    finder::ChangeWatch watch = finder::ChangeWatch::ForBuffer(request, r.result, ask.bytes, 1000);
    fake::WriteWide(kNoted, u"QV-c");
    watch.Poll(1000);
    const std::string reason = ChangeReason(ask, watch, r.result, 1, "TextBufferAddress: ");
    const std::string summary = ChangeSummary(ask, watch, r.result, 1);
    if (both) {
      EXPECT_NE(reason.find("of the 2 places the scan left alike, only TextBufferAddress=0x00000400 "
                            "now reads \"QV-c\", but it has something other than a NUL unit "
                            "right before the marker"),
                std::string::npos)
          << reason;
      EXPECT_NE(reason.find("none picked: clear the buffer, type the marker alone"),
                std::string::npos)
          << reason;
    } else {
      EXPECT_EQ(reason, "");  // the scan's own reason stands
      EXPECT_NE(summary.find("not watched: the place left has something other than a NUL unit"),
                std::string::npos)
          << summary;
    }
  }
}

}  // namespace
}  // namespace probe
