#include "probe/find/find_change.h"

#include <chrono>
#include <thread>
#include <vector>

#include "platform/host_scan.h"

namespace probe {

using finder::ChangeWatch;
using finder::Settled;

void StartWatches(const finder::FindRequest& request, const finder::FindResult& result,
                  ChangeResults* change) {
  const std::uint32_t wait_ms = change->wait_seconds * 1000u;
  const ChangeAsk& o = change->object_ask;
  const ChangeAsk& b = change->buffer_ask;
  if (o.asked) {
    change->object = ChangeWatch::ForObjects(request, result, o.marker, o.bytes, wait_ms);
  }
  if (b.asked) change->buffer = ChangeWatch::ForBuffer(request, result, b.bytes, wait_ms);
}

bool Watched(const ChangeAsk& ask, const ChangeWatch& watch) {
  return ask.asked && watch.settled() != Settled::kNotWatched;
}

// Reads host memory only while the process runs; sleeps between polls.
bool Watch(ChangeResults* change) {
  std::vector<ChangeWatch*> watches;
  if (change->object_ask.asked) watches.push_back(&change->object);
  if (change->buffer_ask.asked) watches.push_back(&change->buffer);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (!quorvane::HostProcessRunning()) return false;
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    bool watching = false;
    for (ChangeWatch* w : watches) {
      if (w->Poll(static_cast<std::uint64_t>(now.count())) == Settled::kWatching) watching = true;
    }
    if (!watching) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(finder::kWatchIntervalMs));
  }
  // What was read after the process ended is not to be trusted.
  return quorvane::HostProcessRunning();
}

bool FoundAfterChange(const ChangeAsk& ask, const ChangeWatch& watch, bool scan_found,
                      std::size_t* index) {
  if (!Watched(ask, watch)) return scan_found;
  if (watch.settled() != Settled::kChosen && watch.settled() != Settled::kConfirmed) return false;
  *index = watch.answer();
  return true;
}

}  // namespace probe
