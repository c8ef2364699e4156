// ParseHex on its own: any bytes up to a NUL, read as the documented rules
// say, and the probe's hex notes agree with what it gives.
#include <cctype>
#include <cstring>

#include "config/address_profile.h"
#include "config/hex_notes.h"
#include "fuzz_support.h"

namespace {

// The documented reading, written out again: blanks before the first
// non-zero digit are skipped, a "0x" pair is stepped over wherever it
// stands, any other character ends the number, the last eight digits count.
std::uint32_t Reference(const std::string& s) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (s.compare(i, 2, "0x") == 0) {
      i += 2;
    } else if (value == 0 && (s[i] == ' ' || s[i] == '\t')) {
      ++i;
    } else if (std::isxdigit(static_cast<unsigned char>(s[i]))) {
      value = (value << 4 | std::stoul(s.substr(i, 1), nullptr, 16)) & 0xFFFFFFFFu;
      ++i;
    } else {
      break;
    }
  }
  return static_cast<std::uint32_t>(value);
}

// What a reader sees in the value: its hexadecimal digits, without the
// "0x" pairs, the blanks and the leading zeros.
std::string VisibleDigits(const std::string& s) {
  std::string digits;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s.compare(i, 2, "0x") == 0) {
      ++i;
    } else if (s[i] != ' ' && s[i] != '\t') {
      digits += static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    }
  }
  const std::size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "" : digits.substr(first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The text ends at the first NUL, as a profile value does; the buffer ends
  // right after it, so a read past the NUL is caught.
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  const std::uint32_t value = quorvane::ParseHex(buffer.data());
  FUZZ_CHECK(value == Reference(text), text);

  const quorvane::HexReading reading = quorvane::ReadHexOffset(true, buffer.data(), text.size());
  FUZZ_CHECK(reading.value == value, text);
  std::size_t last = 0;
  for (const quorvane::HexNote& note : reading.notes) {
    FUZZ_CHECK(note.position <= text.size() && note.position >= last, text);
    last = note.position;
    FUZZ_CHECK(!quorvane::DescribeHexNote(reading, note).empty(), text);
  }
  // A value the probe says nothing about reads as what it shows.
  if (reading.notes.empty()) {
    char shown[16];
    std::snprintf(shown, sizeof shown, "%x", value);
    FUZZ_CHECK(VisibleDigits(text) == (value == 0 ? "" : shown), text);
  }
  return 0;
}
