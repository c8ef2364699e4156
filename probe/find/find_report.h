// What quorvane-probe find was asked and what it found out: the options,
// the markers, the finder's result, the offsets found and the walks they
// allow. Filled by find.cpp; explained by find_reasons.cpp and printed as
// text or JSON by find_output.cpp, as report.h is for the check.
#ifndef QUORVANE_PROBE_FIND_FIND_REPORT_H
#define QUORVANE_PROBE_FIND_FIND_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "finder/finder.h"
#include "probe/find/find_change.h"
#include "probe/common/process.h"
#include "probe/walk/walk_types.h"
#include "probe/common/text.h"

namespace probe {

// One --text marker and where it is: --type and --field belong to the
// --text before them (given before any --text, to the first one).
struct TextOption {
  std::string text;
  std::int32_t type = finder::kDefaultMarkerType;
  bool has_type = false;
  std::string field;
  bool has_field = false;
  std::string then;  // --then: what the author changes it to
  bool has_then = false;
};

struct FindOptions {
  bool help = false;
  bool json = false;
  std::string target;
  std::string module;
  std::vector<TextOption> texts;
  bool has_buffer = false;
  std::string buffer_text, section = "Found", profile;
  std::uint32_t max_offset = finder::kDefaultMaxDataOffset;
  std::string buffer_then;
  bool has_buffer_then = false;
  std::uint32_t wait_seconds = finder::kDefaultWaitSeconds;
  bool has_wait = false;
};

// Texts of the user's are quoted the way the walks quote the host's
// strings: a line break in them never starts a line of the output.
inline std::string Quote(const std::string& text) { return LuaQuote(text); }

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
