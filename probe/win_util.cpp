#include "probe/win_util.h"

#include <windows.h>

#include <vector>

namespace probe {

std::string ErrorText(unsigned long error) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length) : "";
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error";
  return text + " (error " + std::to_string(error) + ")";
}

std::string AnsiToUtf8(const std::string& ansi) {
  if (ansi.empty()) return ansi;
  const int length = static_cast<int>(ansi.size());
  const int wide_size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
  if (wide_size <= 0) return std::string();
  std::vector<wchar_t> wide(static_cast<std::size_t>(wide_size));
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), wide_size);
  const int utf8_size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  if (utf8_size <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(utf8_size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, &utf8[0], utf8_size, nullptr, nullptr);
  return utf8;
}

std::string AnsiToUtf16(const std::string& ansi) {
  if (ansi.empty()) return ansi;
  const int length = static_cast<int>(ansi.size());
  const int wide_size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
  if (wide_size <= 0) return std::string();
  std::vector<wchar_t> wide(static_cast<std::size_t>(wide_size));
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), wide_size);
  std::string bytes;
  for (const wchar_t unit : wide) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

}  // namespace probe
