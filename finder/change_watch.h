// Settling a find by a change the profile author makes: after the scan has
// ranked its candidates, the author changes the marked text in the host to
// a second marker, and the candidates' records are read again. The live
// list is the one whose record now reads the second marker; undo copies
// and other stale records keep the first.
//
// A change settles only what the scan left open, and only which of several
// places is the live one: a place the scan's own rules refuse (see
// finder::Refusal: memory lost or evidence cut under the scan, text before
// a buffer's marker, two pointers of one structure to the same record) is
// never the answer, whatever changes there. Among the contenders (the
// candidates that score alike at the top; one when the scan is clear):
//  - exactly one reads the new text: that one is the answer (chosen when
//    the scan left several, confirmed when the scan had it as its answer),
//    unless the scan's rules refuse it: then it stays open;
//  - several do: the change separates nothing;
//  - none does while a candidate the scan ranked lower does: a conflict,
//    for a change never overrules the scan's ranking;
//  - nothing changes within the wait: nothing is settled.
// Where every contender is refused, nothing is watched: no change could
// settle anything.
//
// A place reads the new marker when its text is the new marker, whole, up
// to its terminator; the old marker is read as the scan found it, as the
// start of the text.
//
// The watch reads only the watched places, afresh on every poll: for a
// (list, offset) pair the whole chain (slot, structure, record pointer,
// record), so that a record the host moves is followed as the module would
// follow it; for a text buffer place its fixed address. Time is the
// caller's: Poll is told the time, so the rules run without a clock.
#ifndef QUORVANE_FINDER_CHANGE_WATCH_H
#define QUORVANE_FINDER_CHANGE_WATCH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "finder/finder.h"

namespace finder {

constexpr std::uint32_t kWatchIntervalMs = 250;
constexpr std::uint32_t kDefaultWaitSeconds = 60;
// Candidates watched at most: the contenders, then the others in rank order.
constexpr std::size_t kMaxWatched = 256;

// What a watched place reads now.
enum class Reading {
  kOld,         // still the scan's marker
  kNew,         // the new marker
  kOther,       // some other text
  kUnreadable,  // the chain stops before the text (an empty slot, a zero or
                // unreadable pointer), or the text cannot be read
};

struct WatchedPlace {
  std::size_t index;  // in FindResult::candidates, or ::buffers
  bool contender;
  // For a contender: what would refuse it as the answer, were it the one
  // that changes.
  Refusal refusal = Refusal::kNone;
  Reading reading = Reading::kOld;
  std::uint32_t at = 0;  // where the text was read last; 0 when the chain stops before it
};

enum class Settled {
  kWatching,   // nothing conclusive yet
  kChosen,     // of several contenders, exactly one changed
  kConfirmed,  // the scan's one answer changed
  kRefused,    // exactly one contender changed, but the scan's rules refuse
               // it (refusal()): still open
  kSeveral,    // more than one contender changed
  kConflict,   // no contender changed, a candidate ranked lower did
  kNoChange,   // the wait ran out with nothing changed
  kNotWatched  // the scan left nothing a change could settle
};

// Why a watch was not started (kNotWatched).
enum class Unwatched {
  kNone,
  kNoCandidate,  // nothing found, or nothing that decodes plausibly
  kRefused,      // the scan's rules refuse every contender (refusal()): e.g.
                 // evidence was cut or lost, and the live one may be among
                 // what was not seen
};

class ChangeWatch {
 public:
  ChangeWatch() = default;  // watches nothing
  // The records of the object marker `marker` of `request` under every
  // candidate that reaches it; `new_bytes` as they would stand in memory.
  static ChangeWatch ForObjects(const FindRequest& request, const FindResult& result,
                                std::size_t marker, std::string new_bytes,
                                std::uint32_t wait_ms);
  // The text buffer's places in the image.
  static ChangeWatch ForBuffer(const FindRequest& request, const FindResult& result,
                               std::string new_bytes, std::uint32_t wait_ms);

  // Reads every watched place afresh at `now_ms` (from the start of the
  // watch) and says where the watch stands. A change is taken when two
  // polls in a row see the same places changed, or at the end of the wait.
  Settled Poll(std::uint64_t now_ms);

  bool objects() const { return object_; }  // else the text buffer's places
  Settled settled() const { return settled_; }
  Unwatched unwatched() const { return unwatched_; }
  // Why it stays open, for kRefused and Unwatched::kRefused.
  Refusal refusal() const { return refusal_; }
  const std::vector<WatchedPlace>& places() const { return places_; }
  // The candidate (or buffer) index settled on, for kChosen and kConfirmed;
  // for kRefused, the one that changed.
  std::size_t answer() const { return answer_; }
  std::size_t contenders() const { return contenders_; }
  std::size_t changed_contenders() const;
  std::uint64_t elapsed_ms() const { return elapsed_ms_; }

 private:
  // `unit`: the bytes of the text's terminator (2 for UTF-16, 1 for ANSI);
  // `scan_found`: the scan had its one answer.
  ChangeWatch(bool objects, const FindResult& result, std::string old_bytes,
              std::string new_bytes, std::uint32_t unit, std::uint32_t wait_ms,
              bool scan_found);
  // Whether a change could settle something among contenders that these
  // refuse (one each); when not, nothing is watched.
  bool Settleable(const std::vector<Refusal>& contenders);
  Reading ReadPlace(HostView& view, WatchedPlace* place) const;
  Settled Judge();

  bool object_ = true;
  std::uint32_t base_ = 0;
  std::int32_t type_ = kDefaultMarkerType;
  std::uint32_t field_offset_ = 0;
  std::string old_bytes_, new_bytes_;
  std::uint32_t unit_ = 2;
  bool scan_found_ = false;
  std::uint32_t wait_ms_ = 0;
  // Where each place is: a (list, offset) pair, or a buffer's address.
  struct Where {
    std::uint32_t list, data_offset, address;
  };
  std::vector<Where> where_;

  std::vector<WatchedPlace> places_;
  std::size_t contenders_ = 0;
  std::vector<std::size_t> last_changed_;  // places that read the new text at the last poll
  Settled settled_ = Settled::kWatching;
  Unwatched unwatched_ = Unwatched::kNone;
  Refusal refusal_ = Refusal::kNone;
  std::size_t answer_ = 0;
  std::uint64_t elapsed_ms_ = 0;
};

}  // namespace finder

#endif
