#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "config/hex_notes.h"

namespace quorvane {
namespace {

using K = HexNoteKind;

struct Expected {
  K kind;
  std::size_t position;
  bool operator==(const HexNote& note) const {
    return note.kind == kind && note.position == position;
  }
};

struct NoteCase {
  const char* text;
  bool present;
  std::size_t full_length;  // 0: the text's own length
  std::uint32_t value;
  std::vector<Expected> notes;
};

// A long text is shown by its ends: CTest names each case by what this
// prints.
void PrintTo(const NoteCase& c, std::ostream* os) {
  const std::string text = c.text;
  if (text.size() > 40) {
    *os << '"' << text.substr(0, 16) << "..." << text.substr(text.size() - 8) << "\" ("
        << text.size() << " characters)";
  } else {
    *os << '"' << text << '"';
  }
  *os << (c.present ? "" : " (missing)");
}

class HexNotesTest : public ::testing::TestWithParam<NoteCase> {};

TEST_P(HexNotesTest, NotesEverySurprise) {
  const NoteCase& c = GetParam();
  const std::size_t full = c.full_length != 0 ? c.full_length : std::strlen(c.text);
  const HexReading reading = ReadHexOffset(c.present, c.text, full);
  EXPECT_EQ(reading.value, c.value);
  EXPECT_EQ(reading.text, c.text);
  std::vector<std::string> got, want;
  for (const HexNote& n : reading.notes) {
    got.push_back(std::string(HexNoteCode(n.kind)) + "@" + std::to_string(n.position));
  }
  for (const Expected& e : c.notes) {
    want.push_back(std::string(HexNoteCode(e.kind)) + "@" + std::to_string(e.position));
  }
  EXPECT_EQ(got, want);
}

const std::string kLongPrefix = std::string(250, '0') + "1A2B3";  // 255 characters

INSTANTIATE_TEST_SUITE_P(
    Values, HexNotesTest,
    ::testing::Values(
        // Values that read as written.
        NoteCase{"0x00001040", true, 0, 0x1040, {}},
        NoteCase{"1a", true, 0, 0x1A, {}},
        NoteCase{"  1A", true, 0, 0x1A, {}},
        NoteCase{"FFFFFFFF", true, 0, 0xFFFFFFFFu, {}},
        NoteCase{"000000001A", true, 0, 0x1A, {}},  // leading zeros are not significant
        NoteCase{"00x1A", true, 0, 0x1A, {}},       // the lost 0 changed nothing
        NoteCase{"0x 12", true, 0, 0x12, {}},
        NoteCase{"0", true, 0, 0, {}},
        // Absent and empty values.
        NoteCase{"", false, 0, 0, {{K::kMissingKey, 0}}},
        NoteCase{"", true, 0, 0, {{K::kEmptyValue, 0}}},
        // Nothing that reads as a number.
        NoteCase{"g1", true, 0, 0, {{K::kNoDigits, 0}}},
        NoteCase{"-1", true, 0, 0, {{K::kNoDigits, 0}}},
        NoteCase{"0x", true, 0, 0, {{K::kNoDigits, 2}}},
        NoteCase{"0x-10", true, 0, 0, {{K::kNoDigits, 2}}},
        // Upper-case prefix.
        NoteCase{"0X10", true, 0, 0, {{K::kUpperCaseX, 0}}},
        NoteCase{" 00X1040", true, 0, 0, {{K::kUpperCaseX, 2}}},
        NoteCase{"10X", true, 0, 0x10, {{K::kTrailingText, 2}}},  // a digit 0, not a prefix
        // Text after the number.
        NoteCase{"1a;comment", true, 0, 0x1A, {{K::kTrailingText, 2}}},
        NoteCase{"0x1040 ; list", true, 0, 0x1040, {{K::kTrailingText, 6}}},
        NoteCase{"12 34", true, 0, 0x12, {{K::kTrailingText, 2}}},
        NoteCase{"1040h", true, 0, 0x1040, {{K::kTrailingText, 4}}},
        // Rules that keep reading where an author would expect a stop.
        NoteCase{"10x20", true, 0, 0x120, {{K::kInnerPrefix, 1}}},
        NoteCase{"0x10x0x20", true, 0, 0x120, {{K::kInnerPrefix, 3}, {K::kInnerPrefix, 5}}},
        NoteCase{"0 12", true, 0, 0x12, {{K::kBlankAfterZeros, 1}}},
        NoteCase{"0  0 7", true, 0, 7, {{K::kBlankAfterZeros, 1}}},
        // More than eight digits.
        NoteCase{"123456789", true, 0, 0x23456789, {{K::kTooManyDigits, 0}}},
        NoteCase{"0x0012345678A", true, 0, 0x2345678A, {{K::kTooManyDigits, 4}}},
        NoteCase{"0x100001040;", true, 0, 0x00001040,
                 {{K::kTooManyDigits, 2}, {K::kTrailingText, 11}}},
        // Cut at 255 characters: the digits past the cut are lost too.
        NoteCase{kLongPrefix.c_str(), true, 300, 0x1A2B3, {{K::kCut, 255}}}));

struct MessageCase {
  const char* text;
  bool present;
  const char* message;
};

class HexNoteMessageTest : public ::testing::TestWithParam<MessageCase> {};

// Each note says what happens and points at the characters concerned.
TEST_P(HexNoteMessageTest, NamesThePartConcerned) {
  const MessageCase& c = GetParam();
  const HexReading reading = ReadHexOffset(c.present, c.text, std::strlen(c.text));
  ASSERT_EQ(reading.notes.size(), 1u);
  EXPECT_EQ(DescribeHexNote(reading, reading.notes[0]), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HexNoteMessageTest,
    ::testing::Values(
        MessageCase{"", false, "key missing: the offset is 0"},
        MessageCase{"", true, "empty value: the offset is 0"},
        MessageCase{"-1", true, "no hexadecimal digit before \"-1\": reads as 0"},
        MessageCase{"0x", true, "no hexadecimal digit: reads as 0"},
        MessageCase{"0X1040", true,
                    "upper-case \"0X\" at character 1 is not a prefix: the number ends at "
                    "the X and reads as 0 (write \"0x\")"},
        MessageCase{"10x20", true,
                    "\"0x\" at character 2 follows digits and is skipped: its 0 does not count"},
        MessageCase{"0 12", true,
                    "the blank at character 2 follows only zeros and is skipped: the digits "
                    "after it still count"},
        MessageCase{"0x0123456789", true,
                    "9 significant digits from character 4: only the last eight count"},
        MessageCase{"1040 ; the list of per-type pointers", true,
                    "\" ; the list of per-type pointers\" after the number is ignored"},
        MessageCase{"1040 ; the list of per-type pointers, as of 1.4", true,
                    "\" ; the list of per-type pointers...\" after the number is ignored"}));

TEST(HexNoteCutTest, SaysHowLongTheValueWas) {
  const std::string text(255, '1');
  const HexReading reading = ReadHexOffset(true, text.c_str(), 400);
  ASSERT_FALSE(reading.notes.empty());
  EXPECT_EQ(DescribeHexNote(reading, reading.notes.back()),
            "the value is 400 characters long: only the first 255 are read");
}

}  // namespace
}  // namespace quorvane
