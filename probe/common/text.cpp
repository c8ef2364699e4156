#include "probe/common/text.h"

#include <cstdarg>

namespace probe {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text(256, '\0');
  for (;;) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    if (n >= 0 && static_cast<std::size_t>(n) < text.size()) {
      text.resize(static_cast<std::size_t>(n));
      break;
    }
    // C99 says how much is needed; an older C runtime only says too little.
    const std::size_t needed = n >= 0 ? static_cast<std::size_t>(n) + 1 : 2 * text.size();
    if (needed > (std::size_t{1} << 24)) {
      text.clear();  // an encoding error, not a length
      break;
    }
    text.resize(needed);
  }
  va_end(args);
  return text;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : separator) + items[i];
  return out;
}

std::string LuaQuote(const std::string& bytes) { return "\"" + LuaEscape(bytes) + "\""; }

std::string LuaEscape(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += Format("\\%03u", byte);
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace probe
