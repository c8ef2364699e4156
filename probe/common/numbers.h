// Numbers given on the probe's command line.
#ifndef QUORVANE_PROBE_COMMON_NUMBERS_H
#define QUORVANE_PROBE_COMMON_NUMBERS_H

#include <cstdint>
#include <string>

namespace probe {

// An unsigned number from min to max, written in hexadecimal after "0x" or
// "0X" and in decimal otherwise: a leading zero is a decimal zero, not a
// sign of octal. Nothing else is taken: no sign, no spaces, no suffix.
bool ParseCount(const std::string& text, std::uint32_t min, std::uint32_t max,
                std::uint32_t* value);

// A decimal integer from min to max as strtoll reads it (blanks before it and
// a sign are taken), with nothing after it.
bool ParseDecimal(const std::string& text, long long min, long long max, long long* value);

// A type index: any 32-bit signed decimal integer.
bool ParseType(const std::string& text, std::int32_t* type);

}  // namespace probe

#endif
