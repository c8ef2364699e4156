// The module's entry: luaopen_Quorvane publishes the Lua functions in the
// table "Quorvane". Loading and unloading the library do nothing else.
#include "config/address_profile.h"
#include "module/lua_api.h"
#include "readers/readers.h"

#if defined(_WIN32)
#define QUORVANE_EXPORT __declspec(dllexport)
#else
#define QUORVANE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Kept in the order the functions are documented.
const luaL_Reg kFunctions[] = {
    {"GetAddress", quorvane::GetAddress},
    {"GetObjectData", quorvane::GetObjectData},
    {"GetTextbufferString", quorvane::GetTextbufferString},
    {nullptr, nullptr},
};

}  // namespace

extern "C" QUORVANE_EXPORT int luaopen_Quorvane(lua_State* L) {
  luaL_register(L, "Quorvane", kFunctions);
  return 1;
}
