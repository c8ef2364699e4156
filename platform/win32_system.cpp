// Win32 implementation of the profile, module and text services.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace quorvane {

void ReadProfileString(const char* path, const char* section, const char* key,
                       char* out) {
  GetPrivateProfileStringA(section, key, "", out, kProfileValueSize, path);
}

std::uint32_t FindModuleBase(const char* name) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(name)));
}

int WideToAnsi(const std::uint16_t* wide, char* out, int out_size) {
  return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(wide), -1, out,
                             out_size, nullptr, nullptr);
}

}  // namespace quorvane
