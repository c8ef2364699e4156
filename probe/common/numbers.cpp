#include "probe/common/numbers.h"

#include <cerrno>
#include <cstdlib>

namespace probe {

namespace {

int DigitValue(char c, unsigned base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

}  // namespace

bool ParseCount(const std::string& text, std::uint32_t min, std::uint32_t max,
                std::uint32_t* value) {
  const bool hex = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  const std::size_t first = hex ? 2 : 0;
  if (text.size() == first) return false;
  std::uint64_t n = 0;
  for (std::size_t i = first; i < text.size(); ++i) {
    const int d = DigitValue(text[i], base);
    if (d < 0) return false;
    n = n * base + static_cast<unsigned>(d);
    if (n > max) return false;
  }
  if (n < min) return false;
  *value = static_cast<std::uint32_t>(n);
  return true;
}

bool ParseDecimal(const std::string& text, long long min, long long max, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || n < min || n > max) return false;
  *value = n;
  return true;
}

bool ParseType(const std::string& text, std::int32_t* type) {
  long long n = 0;
  if (!ParseDecimal(text, INT32_MIN, INT32_MAX, &n)) return false;
  *type = static_cast<std::int32_t>(n);
  return true;
}

}  // namespace probe
