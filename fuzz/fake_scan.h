// A find's scan and its change watches for the fuzz targets of the change
// watch and of the find's report, made from the input without scanning a
// host. The evidence the passes and the scoring would gather (marker hits,
// record pointers, candidates with their checks, buffer places) comes from
// the input and is ranked by the finder itself (finder::RankResult), so the
// result has the shape FindOffsets gives. In the fake platform, the chain of
// each candidate that reaches the watched marker (list slot, structure,
// record pointer, record) and the text of each buffer place are laid out,
// each record and buffer text on a page of its own; between polls the input
// changes them as a host would (texts written, records moved, pages that
// become unreadable, pointers that go to zero), and the scan knows what
// each watched place reads then.
#ifndef QUORVANE_FUZZ_FAKE_SCAN_H
#define QUORVANE_FUZZ_FAKE_SCAN_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "finder/change_watch.h"
#include "finder/finder.h"
#include "probe/find/find_change.h"

namespace fuzz {

class FakeScan {
 public:
  static constexpr std::uint32_t kModuleBase = 0x00400000;
  static constexpr std::uint32_t kModuleSize = 0x00100000;

  // Takes the markers, the evidence, the changes asked for and the texts
  // from `in`; resets the fake platform and lays the places out there.
  explicit FakeScan(FuzzedDataProvider& in);

  const finder::FindRequest& request() const { return request_; }
  const finder::FindResult& result() const { return result_; }
  // The --text markers and the --buffer-text marker as given (ANSI).
  const std::vector<std::string>& texts() const { return texts_; }
  const std::string& buffer_text() const { return buffer_text_; }
  // The --text marker whose change is watched.
  std::size_t watched() const { return watched_; }
  // The changes asked for, as the find asks them (--then of the watched
  // --text marker, --buffer-then).
  const probe::ChangeAsk& object_change() const { return object_change_; }
  const probe::ChangeAsk& buffer_change() const { return buffer_change_; }

  // The host changes as the input says: a few texts written, records
  // moved, pages made unreadable or readable again, record pointers set to
  // zero or back.
  void Change(FuzzedDataProvider& in);

  // What a watch reads now at candidate `index` (objects) or buffer place
  // `index`, and where its text is (0 when the chain stops before it).
  finder::Reading Expected(bool objects, std::size_t index, std::uint32_t* at) const;

 private:
  // What a place's text is now.
  enum class Text { kOld, kNew, kOther, kNewRunsOn };
  struct Page {
    Text text = Text::kOld;
    bool readable = true;
  };
  // A candidate's chain for the watched marker.
  struct Chain {
    std::uint32_t list_index;  // its list (slot and structure)
    std::uint32_t data_offset;
    std::uint32_t record;      // a record number; 0: the pointer is zero
    std::uint32_t was_record;  // before the pointer went to zero
  };

  void TakeMarkers(FuzzedDataProvider& in);
  void TakeChanges(FuzzedDataProvider& in);
  void TakeEvidence(FuzzedDataProvider& in);
  void TakeCandidates(FuzzedDataProvider& in);
  void TakeBuffers(FuzzedDataProvider& in);
  void LayOut();
  std::uint32_t NewRecord(Text text);
  void WriteRecordText(std::uint32_t record);
  void WriteBufferText(std::size_t place);
  void WritePointer(const Chain& chain) const;
  std::string TextBytes(Text text, bool wide, const std::string& old_bytes,
                        const std::string& new_bytes) const;
  bool WatchedWide() const;

  finder::FindRequest request_;
  finder::FindResult result_;
  std::vector<std::string> texts_;
  std::string buffer_text_;
  std::size_t watched_ = 0;
  probe::ChangeAsk object_change_, buffer_change_;

  // Before the ranking: each candidate's record set by (list, offset),
  // which the chains of candidates that share it lead to.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> record_sets_;
  std::map<std::size_t, Chain> chains_;    // by candidate index, for those that reach the marker
  std::vector<Page> records_;             // by record number - 1
  std::vector<Page> buffers_;             // by buffer index
  std::vector<bool> slot_readable_, structure_readable_;  // by list index
};

}  // namespace fuzz

#endif
