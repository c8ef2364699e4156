#include "config/address_profile.h"
#include "module/lua_helpers.h"
#include "readers/host_strings.h"
#include "readers/readers.h"

namespace quorvane {

int GetTextbufferString(lua_State* L) {
  lua_getfield(L, 1, kTextBufferAddressKey);
  lua_getfield(L, 1, kModuleAddressField);
  const std::uint32_t text_offset = CheckHostAddress(L, -2);
  const std::uint32_t base = CheckHostAddress(L, -1);
  lua_settop(L, -3);
  if (text_offset == 0 || base == 0) return 0;
  if (!PushHostWideText(L, base + text_offset, kMaxTextElements * 2)) return 0;
  return 1;
}

}  // namespace quorvane
