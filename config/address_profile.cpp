#include "config/address_profile.h"

#include "config/hex_walk.h"
#include "module/lua_helpers.h"
#include "platform/platform.h"

namespace quorvane {

std::uint32_t ParseHex(const char* text) { return WalkHex(text, IgnoreHexSteps{}); }

int GetAddress(lua_State* L) {
  const char* path = CheckString(L, 1, "GetAddress");
  char version[kProfileValueSize];
  char module[kProfileValueSize];
  ReadProfileString(path, kConfigSection, kVersionKey, version);
  ReadProfileString(path, kConfigSection, kModuleKey, module);
  if (version[0] == '\0' || module[0] == '\0') return 0;

  lua_createtable(L, 0, 4);
  SetNumberField(L, kModuleAddressField, FindModuleBase(module));
  for (const char* key : kOffsetKeys) {
    char value[kProfileValueSize];
    ReadProfileString(path, version, key, value);
    SetNumberField(L, key, ParseHex(value));
  }
  return 1;
}

}  // namespace quorvane
