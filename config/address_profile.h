// The address profile: an INI file that names the host module and, in a
// section chosen by a version name, the offsets the readers start from.
#ifndef QUORVANE_CONFIG_ADDRESS_PROFILE_H
#define QUORVANE_CONFIG_ADDRESS_PROFILE_H

#include <cstdint>

#include "config/profile_keys.h"
#include "module/lua_api.h"

namespace quorvane {

// Reads a profile value as hexadecimal: blanks before the first non-zero
// digit are skipped, a "0x" pair is stepped over wherever it stands, any
// other character ends the number, and only the last eight digits count
// (WalkHex, config/hex_walk.h).
std::uint32_t ParseHex(const char* text);

// GetAddress(profilePath) -> address table, or nothing when the profile
// lacks "Version" or "Module" in section "Config".
int GetAddress(lua_State* L);

}  // namespace quorvane

#endif
