// Whether the walks under a section's offsets reach what a right profile
// reaches in a running host. sign asks it of the profile it is to sign (a
// wrong profile is never signed); update asks it of the offsets it read
// from the host's code before it prints them.
//
// Every walk that reaches a record must find one that decodes plausibly
// (finder/plausibility.h), and at least one record must hold something
// (zero-filled memory decodes plausibly under any offsets). A walk may stop
// only where the host holds no object: an empty slot or record pointer.
// The text buffer must hold text (not empty, no control characters but tab
// and line breaks) and start where a buffer starts, as the walk judges it
// (finder::CheckBufferStart: nothing that runs on into it right before it).
// update also names the types that reached a record when the signatures
// were made: each must reach one again.
#ifndef QUORVANE_PROBE_UPDATE_LIVE_CHECK_H
#define QUORVANE_PROBE_UPDATE_LIVE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "probe/walk/walk_types.h"

namespace probe {

struct LiveCheck {
  std::vector<std::int32_t> reached;  // the types whose walk reached a record, ascending
  std::vector<std::int32_t> without_fields;  // of those, the ones whose layout has none
  std::string buffer_text;            // what the text buffer holds (ANSI)
  std::vector<std::string> problems;  // one line each, e.g. "type 3: ..."
  bool Passed() const { return problems.empty(); }
};

// `walks`: every type with a layout, then the text buffer (WalkEveryType,
// WalkTextBuffer). `must_reach`: the types that must reach a record (none
// for sign).
LiveCheck CheckWalks(const std::vector<Walk>& walks, const std::vector<std::int32_t>& must_reach);

// "0 1 2 3": type indices as the reports list them.
std::string TypeList(const std::vector<std::int32_t>& types);

}  // namespace probe

#endif
