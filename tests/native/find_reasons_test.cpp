// The find's reasons: one line per offset not found, for each way the
// finder's result can leave it open.
#include "probe/find/find_reasons.h"

#include <gtest/gtest.h>

#include <string>

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
      {"ambiguous", true,
       [](FindReport* r) {
         r->result.object_answer = Answer::kAmbiguous;
         r->result.object_contenders = 2;
         r->result.candidates.resize(2);
         r->result.candidates[0].score = 5;
         r->result.candidates[1].score = 5;
       },
       "2 candidates score alike (best 5, next 5); none picked"},
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

}  // namespace
}  // namespace probe
