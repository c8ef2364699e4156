#include "probe/common/system_text.h"

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

bool HasBracketOrBreak(const std::string& ansi) {
  // A line-break byte breaks the line for an editor or a console whatever
  // the code page makes of it; no double-byte character has one as its
  // second byte.
  if (ansi.find_first_of("\r\n") != std::string::npos) return true;
  // Read as the line it will stand in: a last byte that leads a double-byte
  // character takes the closing bracket with it.
  const std::string wide = AnsiToUtf16("[" + ansi + "]");
  if (wide.empty()) return ansi.find_first_of("[]\r\n") != std::string::npos;
  const std::size_t last = wide.size() - 2;
  if (wide.size() < 4 || wide[last] != ']' || wide[last + 1] != 0) return true;
  for (std::size_t i = 2; i < last; i += 2) {
    const char c = wide[i];
    if (wide[i + 1] == 0 && (c == '[' || c == ']' || c == '\r' || c == '\n')) return true;
  }
  return false;
}

}  // namespace probe
