// quorvane-probe find's command line: its options as a table
// (common/options.h), the rules that relate them, and its usage.
#ifndef QUORVANE_PROBE_FIND_FIND_OPTIONS_H
#define QUORVANE_PROBE_FIND_FIND_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "finder/change_watch.h"
#include "finder/finder.h"

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

// argv[0] is "find". False with a one-line `error` for a command line the
// find cannot take.
bool ParseFindArguments(int argc, char** argv, FindOptions* o, std::string* error);

// What quorvane-probe find --help prints.
std::string FindUsage();

}  // namespace probe

#endif
