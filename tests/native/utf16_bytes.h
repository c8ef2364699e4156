// UTF-16LE bytes of a text, as a marker stands in host memory.
#ifndef QUORVANE_TESTS_NATIVE_UTF16_BYTES_H
#define QUORVANE_TESTS_NATIVE_UTF16_BYTES_H

#include <string>

inline std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

#endif
