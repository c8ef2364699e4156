#include "config/hex_notes.h"

#include <algorithm>

#include "config/address_profile.h"
#include "config/hex_walk.h"

namespace quorvane {

namespace {

// Rest of a value quoted in a note: long tails are shortened.
constexpr std::size_t kQuotedMax = 32;

std::string Quoted(const std::string& text, std::size_t from) {
  std::string part = text.substr(from, kQuotedMax);
  if (text.size() - from > kQuotedMax) part += "...";
  return '"' + part + '"';
}

// Follows the walk of a value (WalkHex), noting each rule that takes it
// somewhere its author may not expect, and what the end of the walk needs.
struct SurpriseNotes {
  std::vector<HexNote>* notes;
  bool any_digit = false;
  bool noted_blank = false;
  std::size_t significant = 0;
  std::size_t first_significant = 0;
  std::size_t end = 0;

  void Prefix(std::size_t at, std::uint32_t value) {
    // Stepping over the pair loses a 0 digit, which only matters once the
    // number is no longer 0.
    if (value != 0) notes->push_back({HexNoteKind::kInnerPrefix, at});
  }
  void Blank(std::size_t at) {
    if (any_digit && !noted_blank) {
      notes->push_back({HexNoteKind::kBlankAfterZeros, at});
      noted_blank = true;
    }
  }
  void Digit(std::size_t at, int digit) {
    if (significant == 0 && digit != 0) first_significant = at;
    if (significant > 0 || digit != 0) ++significant;
    any_digit = true;
  }
  void End(std::size_t at) { end = at; }
};

// Notes every surprise of the value, in the order of their positions.
void NoteSurprises(HexReading* reading) {
  const std::string& s = reading->text;
  SurpriseNotes walk{&reading->notes};
  const std::uint32_t value = WalkHex(s.c_str(), walk);
  const std::size_t p = walk.end;
  if (!walk.any_digit) {
    reading->notes.push_back({HexNoteKind::kNoDigits, p});
  } else if (p < s.size()) {
    if (s[p] == 'X' && s[p - 1] == '0' && value == 0) {
      reading->notes.push_back({HexNoteKind::kUpperCaseX, p - 1});
    } else if (!std::all_of(s.begin() + static_cast<std::ptrdiff_t>(p), s.end(), IsBlank)) {
      reading->notes.push_back({HexNoteKind::kTrailingText, p});
    }
  }
  reading->significant_digits = walk.significant;
  if (walk.significant > 8) {
    reading->notes.push_back({HexNoteKind::kTooManyDigits, walk.first_significant});
  }
  std::stable_sort(reading->notes.begin(), reading->notes.end(),
                   [](const HexNote& a, const HexNote& b) { return a.position < b.position; });
}

}  // namespace

HexReading ReadHexOffset(bool present, const char* text, std::size_t full_length) {
  HexReading reading;
  reading.present = present;
  reading.text = text;
  reading.full_length = std::max(full_length, reading.text.size());
  reading.value = ParseHex(text);
  if (!present) {
    reading.notes.push_back({HexNoteKind::kMissingKey, 0});
    return reading;
  }
  if (reading.text.empty()) {
    reading.notes.push_back({HexNoteKind::kEmptyValue, 0});
    return reading;
  }
  NoteSurprises(&reading);
  if (reading.full_length > reading.text.size()) {
    reading.notes.push_back({HexNoteKind::kCut, reading.text.size()});
  }
  return reading;
}

const char* HexNoteCode(HexNoteKind kind) {
  switch (kind) {
    case HexNoteKind::kMissingKey: return "missing_key";
    case HexNoteKind::kEmptyValue: return "empty_value";
    case HexNoteKind::kCut: return "cut";
    case HexNoteKind::kNoDigits: return "no_digits";
    case HexNoteKind::kUpperCaseX: return "upper_case_x";
    case HexNoteKind::kInnerPrefix: return "inner_prefix";
    case HexNoteKind::kBlankAfterZeros: return "blank_after_zeros";
    case HexNoteKind::kTooManyDigits: return "too_many_digits";
    case HexNoteKind::kTrailingText: return "trailing_text";
  }
  return "unknown";
}

std::string DescribeHexNote(const HexReading& reading, const HexNote& note) {
  const std::string& s = reading.text;
  const std::string at = "character " + std::to_string(note.position + 1);
  switch (note.kind) {
    case HexNoteKind::kMissingKey:
      return "key missing: the offset is 0";
    case HexNoteKind::kEmptyValue:
      return "empty value: the offset is 0";
    case HexNoteKind::kCut:
      return "the value is " + std::to_string(reading.full_length) +
             " characters long: only the first 255 are read";
    case HexNoteKind::kNoDigits:
      if (note.position < s.size()) {
        return "no hexadecimal digit before " + Quoted(s, note.position) + ": reads as 0";
      }
      return "no hexadecimal digit: reads as 0";
    case HexNoteKind::kUpperCaseX:
      return "upper-case \"0X\" at " + at +
             " is not a prefix: the number ends at the X and reads as 0 (write \"0x\")";
    case HexNoteKind::kInnerPrefix:
      return "\"0x\" at " + at + " follows digits and is skipped: its 0 does not count";
    case HexNoteKind::kBlankAfterZeros:
      return "the blank at " + at +
             " follows only zeros and is skipped: the digits after it still count";
    case HexNoteKind::kTooManyDigits:
      return std::to_string(reading.significant_digits) +
             " significant digits from " + at + ": only the last eight count";
    case HexNoteKind::kTrailingText:
      return Quoted(s, note.position) + " after the number is ignored";
  }
  return "";
}

}  // namespace quorvane
