#include "config/address_profile.h"

#include "module/lua_helpers.h"
#include "platform/platform.h"

namespace quorvane {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::uint32_t ParseHex(const char* text) {
  std::uint32_t value = 0;
  for (const char* p = text; *p != '\0';) {
    if (p[0] == '0' && p[1] == 'x') {
      p += 2;
      continue;
    }
    if (value == 0 && IsBlank(*p)) {
      ++p;
      continue;
    }
    const int digit = HexDigitValue(*p);
    if (digit < 0) break;
    value = value * 16u + static_cast<std::uint32_t>(digit);
    ++p;
  }
  return value;
}

int GetAddress(lua_State* L) {
  const char* path = CheckString(L, 1, "GetAddress");
  char version[kProfileValueSize];
  char module[kProfileValueSize];
  ReadProfileString(path, "Config", "Version", version);
  ReadProfileString(path, "Config", "Module", module);
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
