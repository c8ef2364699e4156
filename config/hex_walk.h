// How a profile value reads as a hexadecimal offset: the one walk that
// ParseHex takes and the probe's notes on surprising values follow.
#ifndef QUORVANE_CONFIG_HEX_WALK_H
#define QUORVANE_CONFIG_HEX_WALK_H

#include <cstddef>
#include <cstdint>

namespace quorvane {

// The value of a hexadecimal digit, or -1 for any other character.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Blanks (space, tab) before the first non-zero digit of a value are skipped.
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// An observer of the walk that takes note of nothing.
struct IgnoreHexSteps {
  void Prefix(std::size_t, std::uint32_t) {}
  void Blank(std::size_t) {}
  void Digit(std::size_t, int) {}
  void End(std::size_t) {}
};

// Reads the NUL-terminated `text` as hexadecimal: blanks before the first
// non-zero digit are skipped, a "0x" pair is stepped over wherever it
// stands, any other character ends the number, and only the last eight
// digits count. Tells `observer` of each step, by the position in `text`
// where it is taken: Prefix(at, value so far) for a "0x" pair stepped over,
// Blank(at) for a blank skipped, Digit(at, digit) for a digit read, and
// End(at) where the walk stops (at the NUL or the character that ends the
// number).
template <typename Observer>
std::uint32_t WalkHex(const char* text, Observer&& observer) {
  std::uint32_t value = 0;
  const char* p = text;
  while (*p != '\0') {
    const auto at = static_cast<std::size_t>(p - text);
    if (p[0] == '0' && p[1] == 'x') {
      observer.Prefix(at, value);
      p += 2;
      continue;
    }
    if (value == 0 && IsBlank(*p)) {
      observer.Blank(at);
      ++p;
      continue;
    }
    const int digit = HexDigitValue(*p);
    if (digit < 0) break;
    observer.Digit(at, digit);
    value = value * 16u + static_cast<std::uint32_t>(digit);
    ++p;
  }
  observer.End(static_cast<std::size_t>(p - text));
  return value;
}

}  // namespace quorvane

#endif
