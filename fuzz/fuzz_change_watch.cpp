// The change watch (finder/change_watch.h) over polls the input scripts: a
// scan's result as the finder ranks it, its places laid out in the fake
// platform (fake_scan.h), and between polls a host that writes the new
// text, restores the old one or writes another, moves records, makes pages
// unreadable and readable again and sets record pointers to zero, while the
// clock runs to the end of the wait and past it. Properties:
//  - it watches the contenders, then the others in rank order (objects:
//    those that reach the marker), and nothing where the scan's rules
//    (ObjectRefusal, BufferRefusal) refuse every contender;
//  - every watched place reads, at every poll, what the host holds there:
//    the new text (whole, its terminator included), the old, another, or
//    nothing readable, at the address its chain leads to now;
//  - a change seen on two polls in a row, or at the end of the wait, is
//    what it settles on: one contender changed, chosen (or confirmed, when
//    the scan had found it) unless the scan's rules refuse it; several; a
//    conflict when only places ranked lower changed; no change when nothing
//    changed by the end of the wait. It settles only on a contender, only
//    on what the scan's rules accept, and confirms only the scan's answer;
//  - a watch that settled never changes its mind and reads nothing more;
//    at the end of the wait it has settled.
#include <algorithm>
#include <string>
#include <vector>

#include "fake_scan.h"
#include "finder/change_watch.h"
#include "fuzz_support.h"
#include "platform/fake_platform.h"

namespace {

using finder::Reading;
using finder::Refusal;
using finder::Settled;

const char* const kSettled[] = {"watching", "chosen", "confirmed", "refused", "several",
                                "conflict", "no_change", "not_watched"};
const char* const kReadings[] = {"old", "new", "other", "unreadable"};

std::string Name(Settled s) { return kSettled[static_cast<int>(s)]; }

bool Reaches(const finder::Candidate& c, std::size_t marker) {
  return std::find(c.markers.begin(), c.markers.end(), static_cast<int>(marker)) != c.markers.end();
}

Refusal RefusalOf(const fuzz::FakeScan& scan, bool objects, std::size_t index) {
  return objects ? finder::ObjectRefusal(scan.request(), scan.result(), index)
                 : finder::BufferRefusal(scan.result(), index);
}

// The places a watch must watch, by index: the contenders, then the others
// in rank order up to the cap; none where no contender is accepted.
std::vector<std::size_t> PlacesToWatch(const fuzz::FakeScan& scan, bool objects) {
  const finder::FindResult& r = scan.result();
  const std::size_t contenders = objects ? r.object_contenders : r.buffer_contenders;
  const std::size_t count = objects ? r.candidates.size() : r.buffers.size();
  const finder::Answer answer = objects ? r.object_answer : r.buffer_answer;
  bool any = false;
  for (std::size_t i = 0; answer != finder::Answer::kNotFound && i < contenders; ++i) {
    any = any || RefusalOf(scan, objects, i) == Refusal::kNone;
  }
  std::vector<std::size_t> places;
  for (std::size_t i = 0; any && i < count; ++i) {
    const bool contender = i < contenders;
    if (!contender && (places.size() >= finder::kMaxWatched ||
                       (objects && !Reaches(r.candidates[i], scan.watched())))) {
      continue;
    }
    places.push_back(i);
  }
  return places;
}

// What the watch must say after a poll, from what the host holds: the rules
// of change_watch.h, as its comment states them.
class Model {
 public:
  Model(const fuzz::FakeScan& scan, bool objects, std::uint32_t wait_ms)
      : scan_(scan), objects_(objects), wait_ms_(wait_ms) {
    const finder::FindResult& r = scan.result();
    scan_found_ = (objects ? r.object_answer : r.buffer_answer) == finder::Answer::kFound;
  }

  // Checks one poll at `now` of a watch that had not settled before it.
  void Poll(const finder::ChangeWatch& watch, std::uint64_t now, Settled got) {
    std::vector<std::size_t> changed;
    for (std::size_t n = 0; n < watch.places().size(); ++n) {
      const finder::WatchedPlace& p = watch.places()[n];
      std::uint32_t at = 0;
      const Reading want = scan_.Expected(objects_, p.index, &at);
      FUZZ_CHECK(p.reading == want && p.at == at,
                 "place " + std::to_string(p.index) + " reads " +
                     kReadings[static_cast<int>(p.reading)] + " at " + std::to_string(p.at) +
                     ", the host holds " + kReadings[static_cast<int>(want)] + " at " +
                     std::to_string(at));
      if (want == Reading::kNew) changed.push_back(n);
    }
    const bool time_up = now >= wait_ms_;
    Settled want = Settled::kWatching;
    if (changed.empty()) {
      last_changed_.clear();
      if (time_up) want = Settled::kNoChange;
    } else if (changed != last_changed_ && !time_up) {
      last_changed_ = changed;
    } else {
      want = Judge(watch, changed);
    }
    FUZZ_CHECK(got == want, "settled " + Name(got) + " at " + std::to_string(now) + " ms, not " +
                                Name(want) + " (" + std::to_string(changed.size()) +
                                " places changed, wait " + std::to_string(wait_ms_) + " ms)");
    if (want == Settled::kChosen || want == Settled::kConfirmed || want == Settled::kRefused) {
      FUZZ_CHECK(watch.answer() == answer_, "settled on place " + std::to_string(watch.answer()) +
                                                ", not on the one that changed, " +
                                                std::to_string(answer_));
    }
  }

 private:
  Settled Judge(const finder::ChangeWatch& watch, const std::vector<std::size_t>& changed) {
    std::size_t contenders = 0;
    for (const std::size_t n : changed) {
      const finder::WatchedPlace& p = watch.places()[n];
      if (!p.contender) continue;
      ++contenders;
      answer_ = p.index;
    }
    if (contenders > 1) return Settled::kSeveral;
    if (contenders == 0) return Settled::kConflict;
    if (RefusalOf(scan_, objects_, answer_) != Refusal::kNone) return Settled::kRefused;
    return scan_found_ ? Settled::kConfirmed : Settled::kChosen;
  }

  const fuzz::FakeScan& scan_;
  bool objects_;
  std::uint32_t wait_ms_;
  bool scan_found_ = false;
  std::vector<std::size_t> last_changed_;
  std::size_t answer_ = 0;
};

void CheckPlaces(const fuzz::FakeScan& scan, const finder::ChangeWatch& watch, bool objects) {
  const std::vector<std::size_t> want = PlacesToWatch(scan, objects);
  const finder::FindResult& r = scan.result();
  const std::size_t contenders = objects ? r.object_contenders : r.buffer_contenders;
  FUZZ_CHECK((watch.settled() == Settled::kNotWatched) == want.empty(),
             "watched " + std::to_string(watch.places().size()) + " places, " +
                 std::to_string(want.size()) + " to watch");
  FUZZ_CHECK(watch.places().size() == want.size(), "the places watched");
  for (std::size_t n = 0; n < want.size(); ++n) {
    const finder::WatchedPlace& p = watch.places()[n];
    FUZZ_CHECK(p.index == want[n] && p.contender == (p.index < contenders),
               "watched place " + std::to_string(n) + " is " + std::to_string(p.index) +
                   ", not " + std::to_string(want[n]));
    FUZZ_CHECK(!p.contender || p.refusal == RefusalOf(scan, objects, p.index),
               "a contender's refusal");
  }
}

// What a settled watch says, to see that it does not change.
struct Verdict {
  Settled settled;
  std::size_t answer;
  std::uint64_t elapsed_ms;
  std::vector<Reading> readings;
  bool operator==(const Verdict& o) const {
    return settled == o.settled && answer == o.answer && elapsed_ms == o.elapsed_ms &&
           readings == o.readings;
  }
};

Verdict VerdictOf(const finder::ChangeWatch& watch) {
  Verdict v{watch.settled(), watch.answer(), watch.elapsed_ms(), {}};
  for (const finder::WatchedPlace& p : watch.places()) v.readings.push_back(p.reading);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::FakeScan scan(in);
  const bool objects = in.ConsumeBool();
  const probe::ChangeAsk& change = objects ? scan.object_change() : scan.buffer_change();
  if (!change.asked) return 0;
  const std::uint32_t wait_ms = finder::kWatchIntervalMs * in.ConsumeIntegralInRange(0u, 8u);
  finder::ChangeWatch watch =
      objects ? finder::ChangeWatch::ForObjects(scan.request(), scan.result(), scan.watched(),
                                                change.bytes, wait_ms)
              : finder::ChangeWatch::ForBuffer(scan.request(), scan.result(), change.bytes, wait_ms);
  CheckPlaces(scan, watch, objects);
  if (watch.settled() == Settled::kNotWatched) return 0;

  Model model(scan, objects, wait_ms);
  std::uint64_t now = 0;
  const int polls = in.ConsumeIntegralInRange(1, 12);
  bool settled = false;
  Verdict verdict{};
  // The scripted polls, one at the end of the wait (where the probe's
  // watch has stopped at the latest), and one more.
  for (int n = 0; n < polls + 2; ++n) {
    if (n < polls) {
      scan.Change(in);
      if (n > 0) now += in.ConsumeIntegralInRange<std::uint64_t>(0, 2 * finder::kWatchIntervalMs);
    } else {
      now = std::max<std::uint64_t>(now, wait_ms) + (n - polls);
    }
    const std::uint64_t reads = quorvane::fake::ReadCount();
    const Settled got = watch.Poll(now);
    if (settled) {
      FUZZ_CHECK(VerdictOf(watch) == verdict && quorvane::fake::ReadCount() == reads,
                 "a watch that settled (" + Name(verdict.settled) + ") changed its mind or read "
                 "the host again: " + Name(got));
      continue;
    }
    model.Poll(watch, now, got);
    if (got == Settled::kChosen || got == Settled::kConfirmed) {
      const finder::FindResult& r = scan.result();
      const std::size_t a = watch.answer();
      FUZZ_CHECK(a < (objects ? r.object_contenders : r.buffer_contenders) &&
                     RefusalOf(scan, objects, a) == Refusal::kNone,
                 "settled on a place that is no contender or that the scan's rules refuse");
      FUZZ_CHECK((got == Settled::kConfirmed) ==
                     ((objects ? r.object_answer : r.buffer_answer) == finder::Answer::kFound),
                 "confirmed what the scan did not find, or chose where it had found");
    }
    FUZZ_CHECK(got != Settled::kWatching || now < wait_ms, "still watching after the wait");
    if (got != Settled::kWatching) {
      settled = true;
      verdict = VerdictOf(watch);
      FUZZ_CHECK(verdict.elapsed_ms == now, "the time a watch settled");
    }
  }
  return 0;
}
