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

namespace {

// `bytes` as in a Lua string literal, without its quotes, at the end of
// `out`: runs of bytes that need no escape appended as they are.
void AppendLuaEscaped(const std::string& bytes, std::string* out) {
  std::size_t from = 0;  // the first byte not appended yet
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte != 0x7F && byte != '"' && byte != '\\') continue;
    out->append(bytes, from, i - from);
    from = i + 1;
    switch (byte) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:  // \DDD, three decimal digits
        *out += '\\';
        *out += static_cast<char>('0' + byte / 100);
        *out += static_cast<char>('0' + byte / 10 % 10);
        *out += static_cast<char>('0' + byte % 10);
    }
  }
  out->append(bytes, from, std::string::npos);
}

}  // namespace

std::string LuaQuote(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  out += '"';
  AppendLuaEscaped(bytes, &out);
  out += '"';
  return out;
}

std::string LuaEscape(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  AppendLuaEscaped(bytes, &out);
  return out;
}

}  // namespace probe
