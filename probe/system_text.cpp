#include "probe/system_text.h"

#include "platform/tool_system.h"

namespace probe {

std::string ErrorText(unsigned long error) {
  std::string text = quorvane::SystemErrorMessage(error);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error";
  return text + " (error " + std::to_string(error) + ")";
}

std::string AnsiToUtf8(const std::string& ansi) {
  return quorvane::WideToUtf8(quorvane::AnsiToWide(ansi));
}

std::string AnsiToUtf16(const std::string& ansi) {
  std::string bytes;
  for (const char16_t unit : quorvane::AnsiToWide(ansi)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

}  // namespace probe
