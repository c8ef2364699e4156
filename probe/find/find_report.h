// What quorvane-probe find was asked and what it found out: the options,
// the markers, the finder's result, the offsets found and the walks they
// allow. Filled by find.cpp; explained by find_reasons.cpp and printed as
// text or JSON by find_output.cpp, as check_report.h is for the check.
#ifndef QUORVANE_PROBE_FIND_FIND_REPORT_H
#define QUORVANE_PROBE_FIND_FIND_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "finder/finder.h"
#include "probe/common/process.h"
#include "probe/find/find_change.h"
#include "probe/find/find_options.h"
#include "probe/walk/walk_types.h"

namespace probe {

inline double Mib(std::uint64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

struct MarkerInfo {
  std::string text;  // as given
  bool wide;
  std::int32_t type;
  const char* field;  // its name in the layout
  std::uint32_t field_offset;
};

// Everything the output needs.
struct FindReport {
  FindOptions options;
  ProcessInfo process;
  std::string module;
  std::vector<MarkerInfo> markers;  // the --text markers, in order
  finder::FindResult result;
  double seconds = 0;
  std::vector<std::string> reasons;  // one per offset not found, for stderr
  bool object_found = false, buffer_found = false;
  AddressTable table;  // the offsets found
  std::vector<Walk> walks;
  ChangeResults change;  // --then and --buffer-then
};

}  // namespace probe

#endif
