// Notes on how a profile offset reads: the places where ParseHex takes a
// value differently from what its author most likely meant. Used by
// quorvane-probe to point profile authors at surprising values; the module
// itself never looks at them.
#ifndef QUORVANE_CONFIG_HEX_NOTES_H
#define QUORVANE_CONFIG_HEX_NOTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

enum class HexNoteKind : std::uint8_t {
  kMissingKey,      // the key is absent: the offset is 0
  kEmptyValue,      // the key has an empty value: the offset is 0
  kCut,             // the value is longer than 255 characters: the rest is not read
  kNoDigits,        // no hexadecimal digit before the number ends: 0
  kUpperCaseX,      // "0X" is no prefix: the 0 is a digit and the X ends the number
  kInnerPrefix,     // a "0x" after non-zero digits is stepped over, its 0 is lost
  kBlankAfterZeros, // a blank after leading zeros is skipped, not the end
  kTooManyDigits,   // more than eight significant digits: only the last eight count
  kTrailingText,    // text after the number is ignored
};

struct HexNote {
  HexNoteKind kind;
  std::size_t position;  // where in the value the surprise starts
};

// A profile offset as GetAddress reads it, with what is surprising about it.
struct HexReading {
  bool present = false;
  std::string text;       // as read: at most 255 characters
  std::size_t full_length = 0;  // length of the value before the cut
  std::uint32_t value = 0;      // what GetAddress stores
  std::size_t significant_digits = 0;  // digits read from the first non-zero one on
  std::vector<HexNote> notes;   // in the order of their positions, key notes first
};

// Reads `text` (the value as the profile reader gave it, cut to 255
// characters) the way GetAddress does and notes every surprise. `present`
// tells a missing key from an empty value; `full_length` is the length of the
// value in the file, so a cut can be noted (pass strlen(text) when unknown).
HexReading ReadHexOffset(bool present, const char* text, std::size_t full_length);

// A short, stable identifier of the note kind ("upper_case_x").
const char* HexNoteCode(HexNoteKind kind);

// One line for a profile author, naming the part of the value concerned.
std::string DescribeHexNote(const HexReading& reading, const HexNote& note);

}  // namespace quorvane

#endif
