// The probe's small text helpers, for both commands: printf-style
// formatting, host addresses as profile authors write them, lists.
#ifndef QUORVANE_PROBE_COMMON_TEXT_H
#define QUORVANE_PROBE_COMMON_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace probe {

// printf into a std::string, as long as it comes out.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A host address as profile authors write it: 0x and eight digits.
inline std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// The items one after the other, `separator` between two.
std::string Join(const std::vector<std::string>& items, const char* separator = ", ");

// Bytes as a Lua string literal shows them: what print(string.format("%q",
// s)) shows, except that a newline is written as \n. No line break or
// other control character is left in it. LuaEscape is the same without the
// quotes around it.
std::string LuaQuote(const std::string& bytes);
std::string LuaEscape(const std::string& bytes);

}  // namespace probe

#endif
