// A profile's layout section as the commands that find offsets print it
// (find, update): exactly what goes into a profile.
#ifndef QUORVANE_PROBE_COMMON_SECTION_H
#define QUORVANE_PROBE_COMMON_SECTION_H

#include <cstdint>
#include <string>

namespace probe {

// The three offsets in the profile's key order (quorvane::kOffsetKeys), and
// which of them were found.
struct SectionOffsets {
  std::uint32_t value[3] = {};
  bool given[3] = {};
};

// "[NAME]", then "KEY=0x........" for each offset given, one a line; with
// `commented`, every line starts with "; " (no section a profile reader
// would take).
std::string SectionLines(const std::string& name, const SectionOffsets& offsets, bool commented);

}  // namespace probe

#endif
