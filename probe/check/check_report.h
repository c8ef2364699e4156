// What the check found out: the profile as GetAddress reads it, the
// process examined and each walk through its memory. Filled by check.cpp
// (with common/profile.cpp, common/process.cpp and walk/walk.cpp); printed
// as text or JSON by check_output.cpp.
#ifndef QUORVANE_PROBE_CHECK_CHECK_REPORT_H
#define QUORVANE_PROBE_CHECK_CHECK_REPORT_H

#include <string>
#include <vector>

#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/walk/walk_types.h"

namespace probe {

// The profile's offsets that read as 0, in key order. The module takes an
// offset of 0 as missing: every read that needs it gives nil, however the
// value is written (no layout section, no key, an empty value, "0X24",
// "0"). A value that reads as another number is usable, whatever its notes
// say ("0x1040 ; list", a 0x after digits, ...).
inline std::vector<std::string> ZeroOffsets(const ProfileInfo& profile) {
  std::vector<std::string> keys;
  for (const ProfileOffset& o : profile.offsets) {
    if (o.reading.value == 0) keys.push_back(o.key);
  }
  return keys;
}

struct Report {
  ProfileInfo profile;
  bool has_process = false;
  ProcessInfo process;
  AddressTable table;
  std::vector<Walk> walks;  // object walks in type order, then the text buffer

  bool AllWalksOk() const {
    for (const Walk& w : walks) {
      if (!w.ok) return false;
    }
    return true;
  }

  // Whether the module gets its data as far as the check can tell: in a
  // process, every walk reaches it; without one, no offset is 0.
  bool Complete() const { return has_process ? AllWalksOk() : ZeroOffsets(profile).empty(); }
};

}  // namespace probe

#endif
