#include "config/address_profile.h"
#include "module/lua_helpers.h"
#include "readers/host_strings.h"
#include "readers/readers.h"

namespace quorvane {

int GetTextbufferString(lua_State* L) {
  static const char kName[] = "GetTextbufferString";
  CheckIndexable(L, 1, kName);
  lua_getfield(L, 1, kTextBufferAddressKey);
  lua_getfield(L, 1, kModuleAddressField);
  const std::uint32_t text_offset = CheckAddressField(L, -2, 1, kName, kTextBufferAddressKey);
  const std::uint32_t base = CheckAddressField(L, -1, 1, kName, kModuleAddressField);
  lua_settop(L, -3);
  if (text_offset == 0 || base == 0) return 0;
  if (!PushHostWideText(L, base + text_offset, kMaxTextElements * 2)) return 0;
  return 1;
}

}  // namespace quorvane
