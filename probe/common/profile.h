// Reading the address profile the way GetAddress reads it, plus what the
// module cannot see: whether a key or the layout section is there at all and
// how long a value was before the 255-character cut.
#ifndef QUORVANE_PROBE_COMMON_PROFILE_H
#define QUORVANE_PROBE_COMMON_PROFILE_H

#include <string>

#include "probe/check/check_report.h"

namespace probe {

// Fills `info` from the profile at `given_path`. Returns false with a
// one-line `error` when the file cannot be read or lacks "Version" or
// "Module" in [Config] (GetAddress gives nil for such a profile).
bool ReadProfile(const std::string& given_path, ProfileInfo* info, std::string* error);

}  // namespace probe

#endif
