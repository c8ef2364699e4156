// What the check found out: the profile as GetAddress reads it, the
// process examined and each walk through its memory. Filled by check.cpp
// (with common/profile.cpp, common/process.cpp and walk/walk.cpp); printed
// as text or JSON by check_output.cpp.
#ifndef QUORVANE_PROBE_CHECK_CHECK_REPORT_H
#define QUORVANE_PROBE_CHECK_CHECK_REPORT_H

#include <vector>

#include "probe/common/process.h"
#include "probe/common/profile.h"
#include "probe/walk/walk_types.h"

namespace probe {

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
};

}  // namespace probe

#endif
