// When every GetObjectData walk stops at the same hop for the same reason,
// the cause is rarely fifteen separate faults: it is one offset that all the
// walks share. This names it, so that the report can say it once.
#ifndef QUORVANE_PROBE_CHECK_SHARED_STOP_H
#define QUORVANE_PROBE_CHECK_SHARED_STOP_H

#include <string>
#include <vector>

#include "probe/walk/walk_types.h"

namespace probe {

struct SharedStop {
  bool found = false;
  Hop hop = Hop::kNone;                    // as in Stop
  StopReason reason = StopReason::kNone;  // as in Stop
  int walks = 0;       // how many walks share it
  // What the stop points at, most likely first: "ObjectAddressList",
  // "ObjectDataOffset", "TextBufferAddress" (profile offsets) or "Module".
  std::vector<std::string> keys;
  std::string what;   // what every walk met, e.g. "every record pointer is 0"
  std::string cause;  // the likely cause: the keys with their values, and why
};

// Looks at the GetObjectData walks of `walks` (the text buffer's is its own
// matter). Found only when there are two or more and all of them stop at
// the same hop for the same reason (and, at the address table, on the same
// field), and the stop is one that an offset explains.
SharedStop FindSharedStop(const std::vector<Walk>& walks, const AddressTable& table);

}  // namespace probe

#endif
