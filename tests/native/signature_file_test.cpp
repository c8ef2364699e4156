// The signature file: written and read back exactly; every malformed line
// refused with its number.
#include <gtest/gtest.h>

#include <sstream>

#include "signatures/signature_file.h"

namespace {

using namespace quorvane::signatures;

const char kText[] =
    "quorvane-signatures 1\n"
    "# Made by quorvane-probe sign; the format: docs/SIGNATURES.md\n"
    "module \"sample_app.dll\"\n"
    "section \"SampleApp 1.4\"\n"
    "offsets ObjectAddressList=0x00001040 ObjectDataOffset=0x00000030 TextBufferAddress=0x00001B60\n"
    "time-stamp 0x5F3A2B10\n"
    "file-version 1.4.0.2\n"
    "types 0 1 3 80\n"
    "\n"
    "signature ObjectAddressList\n"
    "  reads disp - base - 4*3\n"
    "  rva 0x000014DE\n"
    "  instruction \"mov eax, dword ptr [0x1000104c]\"\n"
    "  pattern 89E5 83EC10 *A1???????? 8945FC\n"
    "\n"
    "signature ObjectDataOffset\n"
    "  reads disp\n"
    "  rva 0x000014D3\n"
    "  instruction \"mov eax, dword ptr [eax + 0x30]\"\n"
    "  pattern 8B45FC *8B(40??) 8B(8C88????????) C9 C3\n"
    "\n"
    "signature TextBufferAddress\n"
    "  reads imm - base\n"
    "  rva 0x0000155E\n"
    "  instruction \"push 0x10001b60\"\n"
    "  pattern *68???????? E8????????\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Join(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

bool SamePatterns(const Pattern& a, const Pattern& b) {
  if (a.ref != b.ref || a.insns.size() != b.insns.size()) return false;
  for (std::size_t i = 0; i < a.insns.size(); ++i) {
    const PatternInsn &x = a.insns[i], &y = b.insns[i];
    if (x.group != y.group || x.wild != y.wild) return false;
    for (std::size_t k = 0; k < x.bytes.size(); ++k) {
      if (!x.wild[k] && x.bytes[k] != y.bytes[k]) return false;
    }
  }
  return true;
}

TEST(SignatureFile, ReadsWhatItWritesExactly) {
  const SignatureFileReading read = ReadSignatureFile(kText);
  ASSERT_TRUE(read.ok) << read.error;
  const SignatureFile& f = read.file;
  EXPECT_EQ(f.module, "sample_app.dll");
  EXPECT_EQ(f.offsets[Offset::kTextBufferAddress], 0x1B60u);
  EXPECT_EQ(f.types, (std::vector<std::int32_t>{0, 1, 3, 80}));
  ASSERT_EQ(f.signatures.size(), 3u);
  EXPECT_EQ(f.signatures[0].type, 3);
  EXPECT_EQ(f.signatures[1].pattern.insns[2].group, 1);
  EXPECT_EQ(f.signatures[2].field, FieldKind::kImmediate);
  EXPECT_EQ(WriteSignatureFile(f), kText);

  // Names with quotes, backslashes, control characters and code-page bytes.
  SignatureFile odd = f;
  odd.module = "a \"b\"\\c.dll";
  odd.section = std::string("Version \x01\x7F\x80\xFF") + "\xE3\x81\x82";
  odd.file_version = FileVersion{};
  odd.types.clear();
  odd.signatures[1].instruction = "";
  const std::string text = WriteSignatureFile(odd);
  const SignatureFileReading again = ReadSignatureFile(text);
  ASSERT_TRUE(again.ok) << again.error << "\n" << text;
  EXPECT_EQ(again.file.module, odd.module);
  EXPECT_EQ(again.file.section, odd.section);
  EXPECT_FALSE(again.file.file_version.present);
  EXPECT_TRUE(again.file.types.empty());
  EXPECT_EQ(again.file.time_date_stamp, odd.time_date_stamp);
  for (std::size_t i = 0; i < odd.signatures.size(); ++i) {
    const Signature &a = odd.signatures[i], &b = again.file.signatures[i];
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(a.field, b.field);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.rva, b.rva);
    EXPECT_EQ(a.instruction, b.instruction);
    EXPECT_TRUE(SamePatterns(a.pattern, b.pattern)) << i;
  }
  EXPECT_EQ(WriteSignatureFile(again.file), text);
}

TEST(SignatureFile, TakesCrlfCommentsAndBlankLines) {
  std::vector<std::string> lines = Lines(kText);
  lines.insert(lines.begin() + 5, "# a note");
  lines.insert(lines.begin() + 5, "");
  const SignatureFileReading read = ReadSignatureFile(Join(lines, "\r\n"));
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(WriteSignatureFile(read.file), kText);
}

TEST(SignatureFile, RefusesEachMalformedLineByItsNumber) {
  const struct {
    std::size_t line;       // 1-based; replaced
    const char* text;
    const char* error;
  } cases[] = {
      {1, "quorvane-signatures 2", "line 1: version \"2\" of the signature file format is not known"},
      {1, "hello", "line 1: not a signature file"},
      {3, "module sample_app.dll", "line 3: \"module\" needs a quoted file name"},
      {3, "module \"a\\qb\"", "line 3: \"module\" needs a quoted file name"},
      {3, "module \"sample\\x41pp.dll\"", "line 3: \"module\" needs a quoted file name"},
      {3, "section \"SampleApp 1.4\"", "line 3: expected \"module\", found \"section \"SampleApp 1.4\"\""},
      {5, "offsets ObjectAddressList=0x0000104a ObjectDataOffset=0x00000030 TextBufferAddress=0x00001B60",
       "line 5: \"offsets\" needs"},
      {5, "offsets ObjectDataOffset=0x00000030 ObjectAddressList=0x00001040 TextBufferAddress=0x00001B60",
       "line 5: \"offsets\" needs"},
      {6, "time-stamp 0x5F3A2B1", "line 6: \"time-stamp\" needs"},
      {7, "file-version 1.4.0", "line 7: \"file-version\" needs"},
      {7, "file-version 1.4.0.65536", "line 7: \"file-version\" needs"},
      {8, "types 3 1", "line 8: \"types\" needs"},
      {8, "types 81", "line 8: \"types\" needs"},
      {8, "types ", "line 8: nothing after \"types\""},
      {9, "  ", "line 9: expected \"signature\""},
      {10, "signature ObjectList", "line 10: \"signature\" needs an offset's name"},
      {10, "sig ObjectAddressList", "line 10: expected \"signature\""},
      {11, "  reads imm", "line 11: \"  reads\" needs"},
      {11, "  reads disp - base - 4*81", "line 11: \"  reads\" needs"},
      {17, "  reads imm", "line 17: \"  reads\" needs"},
      {23, "  reads imm - base - 4*0", "line 23: \"  reads\" needs"},
      {12, "  rva 0x14DE", "line 12: \"  rva\" needs"},
      {12, "rva 0x000014DE", "line 12: expected \"  rva\""},
      {13, "  instruction mov", "line 13: \"  instruction\" needs"},
      {14, "  pattern 89E5 *83EC10 *A1???????? 8945FC", "line 14: \"  pattern\" needs"},
      {14, "  pattern 89E5 83EC10 A1???????? 8945FC", "line 14: \"  pattern\" needs"},
      {14, "  pattern 89E5 83EC10 *A1???????G 8945FC", "line 14: \"  pattern\" needs"},
      {14, "  pattern 89e5 83EC10 *A1???????? 8945FC", "line 14: \"  pattern\" needs"},
      {14, "  pattern 89E5  *A1????????", "line 14: \"  pattern\" needs"},
      {14, "  pattern 00000000000000000000000000000000 *A1????????", "line 14: \"  pattern\" needs"},
      {20, "  pattern 8B45FC *8B(40????) C9 C3", "line 20: \"  pattern\" needs"},
      {20, "  pattern 8B45FC *8B(C0??) C9 C3", "line 20: \"  pattern\" needs"},
      {20, "  pattern 8B45FC *8B(4012) C9 C3", "line 20: \"  pattern\" needs"},
      {20, "  pattern 8B45FC *8B(40)?? C9 C3", "line 20: \"  pattern\" needs"},
      {20, "  pattern 8B45FC *8B((40??)) C9 C3", "line 20: \"  pattern\" needs"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines = Lines(kText);
    lines[c.line - 1] = c.text;
    const SignatureFileReading read = ReadSignatureFile(Join(lines));
    EXPECT_FALSE(read.ok) << c.text;
    EXPECT_EQ(read.error.rfind(c.error, 0), 0u) << c.text << "\n  said: " << read.error;
  }
}

TEST(SignatureFile, RefusesAFileThatEndsInsideASignature) {
  std::vector<std::string> lines = Lines(kText);
  lines.resize(24);
  const SignatureFileReading read = ReadSignatureFile(Join(lines));
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error, "line 25: the file ends before \"  instruction\"");
}

TEST(SignatureFile, RefusesAPatternLongerThanAllowed) {
  std::vector<std::string> lines = Lines(kText);
  std::string pattern = "  pattern *A1????????";
  for (std::size_t i = 1; i < kMaxPatternInsns; ++i) pattern += " 90";
  lines[13] = pattern;
  EXPECT_TRUE(ReadSignatureFile(Join(lines)).ok);
  lines[13] = pattern + " 90";
  EXPECT_EQ(ReadSignatureFile(Join(lines)).error.rfind("line 14: \"  pattern\" needs", 0), 0u);
}

}  // namespace
