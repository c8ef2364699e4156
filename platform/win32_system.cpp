// Win32 profile and text services, shared by every program of the project.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace quorvane {

void ReadProfileString(const char* path, const char* section, const char* key,
                       char* out) {
  GetPrivateProfileStringA(section, key, "", out, kProfileValueSize, path);
}

int WideToAnsi(const std::uint16_t* wide, int units, char* out, int out_size) {
  return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(wide), units, out,
                             out_size, nullptr, nullptr);
}

}  // namespace quorvane
