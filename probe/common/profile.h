// Reading the address profile the way GetAddress reads it, plus what the
// module cannot see: whether a key or the layout section is there at all and
// how long a value was before the 255-character cut.
#ifndef QUORVANE_PROBE_COMMON_PROFILE_H
#define QUORVANE_PROBE_COMMON_PROFILE_H

#include <string>
#include <vector>

#include "config/hex_notes.h"

namespace probe {

// One offset key of the layout section, as GetAddress parses it.
struct ProfileOffset {
  std::string key;
  quorvane::HexReading reading;
};

struct ProfileInfo {
  std::string given_path;  // as on the command line
  std::string path;        // the full path read
  bool relative = false;   // the given path was not a full one
  std::string version;     // as read: the layout section's name
  std::string module;
  bool section_found = false;
  std::vector<ProfileOffset> offsets;  // ObjectAddressList, ObjectDataOffset, TextBufferAddress
  std::vector<std::string> sections;   // every section of the profile, in file order
};

// Fills `info` from the profile at `given_path`. Returns false with a
// one-line `error` when the file cannot be read or lacks "Version" or
// "Module" in [Config] (GetAddress gives nil for such a profile).
bool ReadProfile(const std::string& given_path, ProfileInfo* info, std::string* error);

// The three offsets of `section` of the profile at `path` (a full path), as
// GetAddress parses them when Version names that section.
std::vector<ProfileOffset> ReadSectionOffsets(const std::string& path, const std::string& section);

// Whether the profile has `section`, as the system compares names.
bool HasSection(const ProfileInfo& info, const std::string& section);

}  // namespace probe

#endif
