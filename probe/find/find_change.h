// quorvane-probe find --then / --buffer-then: after the scan has ranked its
// candidates, the author is asked to change the marked text in the host,
// and the candidates' records are read again every few hundred
// milliseconds until the change shows or the wait runs out. The rules of
// what a change settles are the finder's (finder/change_watch.h); here are
// the changes asked for and the clock. What a watch says, the prompt
// included, is with the find's other words (find_reasons.h, find_output.h).
#ifndef QUORVANE_PROBE_FIND_FIND_CHANGE_H
#define QUORVANE_PROBE_FIND_FIND_CHANGE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "finder/change_watch.h"
#include "finder/finder.h"

namespace probe {

// One change asked for: a marker and what the author changes it to, as
// given (ANSI).
struct ChangeAsk {
  bool asked = false;
  std::string from, to;
  std::string bytes;       // `to` as it would stand in memory
  std::size_t marker = 0;  // objects: the index of the --text marker
  std::string where;       // e.g. type 3 field "text", or the text buffer
};

struct ChangeResults {
  ChangeAsk object_ask, buffer_ask;
  std::uint32_t wait_seconds = finder::kDefaultWaitSeconds;
  finder::ChangeWatch object, buffer;
};

// Each change with its watch, the --text marker's first.
using AskedWatch = std::pair<const ChangeAsk&, const finder::ChangeWatch&>;
inline std::array<AskedWatch, 2> AskedWatches(const ChangeResults& c) {
  return {AskedWatch{c.object_ask, c.object}, AskedWatch{c.buffer_ask, c.buffer}};
}

// Makes the watch of each change asked for over the scan's result.
void StartWatches(const finder::FindRequest& request, const finder::FindResult& result,
                  ChangeResults* change);

// Whether `ask` was asked for and its watch has something a change can
// settle: the author is asked to make it.
bool Watched(const ChangeAsk& ask, const finder::ChangeWatch& watch);

// Reads the watched places again every few hundred milliseconds until each
// watch is settled or the wait is over. False when the process exits
// meanwhile (nothing read then is trusted).
bool Watch(ChangeResults* change);

// Whether a watch asked for decides the offsets, and which candidate (or
// buffer) it picks: a change decides only what it settled; without one the
// scan's answer stands. `index` is left alone when the scan's answer stands.
bool FoundAfterChange(const ChangeAsk& ask, const finder::ChangeWatch& watch, bool scan_found,
                      std::size_t* index);

}  // namespace probe

#endif
