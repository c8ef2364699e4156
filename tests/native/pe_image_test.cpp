// Reading PE images from their files and as mapped: what is read, and a
// clean "not a PE image" for bytes that are none.
#include <gtest/gtest.h>

#include <functional>

#include "pe_test_image.h"
#include "signatures/pe_image.h"

namespace {

using namespace quorvane::signatures;
using pe_test::Get32;
using pe_test::Put16;
using pe_test::Put32;

pe_test::ImageLayout SmallImage() {
  pe_test::ImageLayout s;
  s.code = {0x55, 0x89, 0xE5, 0xA1, 0x40, 0x20, 0x00, 0x10, 0xC9, 0xC3,  // mov eax, [0x10002040]
            0x68, 0x60, 0x21, 0x00, 0x10, 0xC3};                          // push 0x10002160
  s.code_relocs = {4, 11};
  s.version = true;
  return s;
}

TEST(PeImage, ReadsSectionsRelocationsStampAndVersion) {
  const std::vector<std::uint8_t> file = pe_test::Build(SmallImage());
  const PeResult r = ReadPeFile(file.data(), file.size());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.image.image_base, 0x10000000u);
  EXPECT_EQ(r.image.load_base, 0x10000000u);
  EXPECT_EQ(r.image.time_date_stamp, 0x5F3A2B10u);
  EXPECT_EQ(FileVersionText(r.image.file_version), "1.4.0.2");
  EXPECT_EQ(r.image.relocations, Relocations::kPresent);
  EXPECT_EQ(r.image.relocated, (std::vector<std::uint32_t>{0x1004, 0x100B}));
  ASSERT_EQ(r.image.sections.size(), 4u);
  EXPECT_EQ(r.image.sections[0].name, ".text");
  EXPECT_TRUE(r.image.sections[0].code);
  EXPECT_EQ(r.image.sections[0].bytes, SmallImage().code);
  EXPECT_FALSE(r.image.sections[1].code);
  EXPECT_TRUE(r.image.sections[1].bytes.empty());
}

TEST(PeImage, MappedAtAnotherBaseReadsAsItsFileWithTheWordsRelocated) {
  const std::vector<std::uint8_t> file = pe_test::Build(SmallImage());
  pe_test::Mapped mapped(pe_test::Map(file, 0x30000000));
  const PeResult m = ReadPeMapped(mapped, 0x30000000);
  const PeResult f = ReadPeFile(file.data(), file.size());
  ASSERT_TRUE(m.ok) << m.error;
  EXPECT_EQ(m.image.load_base, 0x30000000u);
  EXPECT_EQ(m.image.image_base, 0x10000000u);
  EXPECT_EQ(m.image.relocated, f.image.relocated);
  EXPECT_EQ(FileVersionText(m.image.file_version), "1.4.0.2");
  const std::vector<std::uint8_t>& code = m.image.sections[0].bytes;
  ASSERT_EQ(code.size(), SmallImage().code.size());
  EXPECT_EQ(Get32(code, 4), 0x30002040u);
  EXPECT_EQ(Get32(code, 11), 0x30002160u);
}

TEST(PeImage, SaysWhenRelocationsAreStrippedOrAbsent) {
  pe_test::ImageLayout layout = SmallImage();
  layout.relocations = false;
  std::vector<std::uint8_t> file = pe_test::Build(layout);
  PeResult r = ReadPeFile(file.data(), file.size());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.image.relocations, Relocations::kStripped);
  file[pe_test::kPeAt + 22] &= 0xFE;  // no flag, no directory
  r = ReadPeFile(file.data(), file.size());
  EXPECT_EQ(r.image.relocations, Relocations::kNone);
  EXPECT_TRUE(r.image.relocated.empty());
}

TEST(PeImage, ReadsARelocationBlockOfItsHeaderAlone) {
  std::vector<std::uint8_t> file = pe_test::Build(SmallImage());
  const std::uint32_t opt = pe_test::kPeAt + 24, reloc = opt + 0xE0 + 3 * 40;
  const std::uint32_t table_size = Get32(file, opt + 96 + 44);
  // An empty block for the page after the code, after the table's own.
  Put32(file, Get32(file, reloc + 20) + table_size, 0x2000);
  Put32(file, Get32(file, reloc + 20) + table_size + 4, 8);
  Put32(file, opt + 96 + 44, table_size + 8);
  Put32(file, reloc + 8, table_size + 8);
  const PeResult r = ReadPeFile(file.data(), file.size());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.image.relocated, (std::vector<std::uint32_t>{0x1004, 0x100B}));
}

TEST(PeImage, NamesWhatMakesBytesNoImage) {
  const std::vector<std::uint8_t> good = pe_test::Build(SmallImage());
  const std::uint32_t pe = pe_test::kPeAt, opt = pe + 24, text = opt + 0xE0;
  const std::uint32_t reloc_rva = Get32(good, opt + 96 + 40);
  const std::uint32_t reloc_file = Get32(good, text + 3 * 40 + 20);
  using Edit = std::function<void(std::vector<std::uint8_t>&)>;
  const struct {
    const char* name;
    Edit edit;
    const char* says;
  } cases[] = {
      {"empty", [](auto& b) { b.clear(); }, "too short for the DOS header"},
      {"no MZ", [](auto& b) { b[0] = 'Z'; }, "no MZ signature"},
      {"PE header far away", [&](auto& b) { Put32(b, 0x3C, 0x7FFFFFF0); }, "lies past the end"},
      {"no PE signature", [&](auto& b) { b[pe] = 'X'; }, "no PE signature at 0x80"},
      {"x64", [&](auto& b) { Put16(b, pe + 4, 0x8664); }, "machine 0x8664 is not i386"},
      {"PE32+", [&](auto& b) { Put16(b, opt, 0x20B); }, "optional header magic 0x20B is not PE32"},
      {"no sections", [&](auto& b) { Put16(b, pe + 6, 0); }, "0 sections"},
      {"short optional header", [&](auto& b) { Put16(b, pe + 20, 0x10); }, "optional header is too short"},
      {"huge image", [&](auto& b) { Put32(b, opt + 56, 0x40000000); }, "above the 256 MiB"},
      {"section past the image", [&](auto& b) { Put32(b, text + 12, 0x7FFF0000); }, "runs past SizeOfImage"},
      // Two sections over one RVA: a reference found in one could be signed
      // from the other's bytes.
      {"sections overlap", [&](auto& b) { Put32(b, text + 40 + 12, Get32(b, text + 12) + 0x8); },
       "section 1 (.text) at RVA 0x1000, 0x10 bytes, overlaps section 2 (.data) at RVA 0x1008"},
      {"truncated file", [&](auto& b) { b.resize(0x500); }, "run past the end of the file"},
      {"short relocation block", [&](auto& b) { Put32(b, reloc_file + 4, 4); }, "claims 0x4 bytes"},
      {"relocations past the image", [&](auto& b) { Put32(b, opt + 96 + 40, reloc_rva + 0x7FFF000); },
       "relocation table runs past SizeOfImage"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> bytes = good;
    c.edit(bytes);
    const PeResult r = ReadPeFile(bytes.data(), bytes.size());
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.error.rfind("not a PE image: ", 0), 0u) << c.name << ": " << r.error;
    EXPECT_NE(r.error.find(c.says), std::string::npos) << c.name << ": " << r.error;
  }
}

TEST(PeImage, EveryTruncationIsReadOrRefusedCleanly) {
  const std::vector<std::uint8_t> file = pe_test::Build(SmallImage());
  for (std::size_t n = 0; n < file.size(); ++n) {
    // A copy of exactly n bytes: AddressSanitizer sees any read past it.
    const std::vector<std::uint8_t> part(file.begin(), file.begin() + static_cast<long>(n));
    const PeResult r = ReadPeFile(part.data(), part.size());
    if (!r.ok) {
      EXPECT_EQ(r.error.rfind("not a PE image: ", 0), 0u) << n;
    }
  }
}

TEST(PeImage, MappedCodeThatCannotBeReadIsNamed) {
  const std::vector<std::uint8_t> file = pe_test::Build(SmallImage());
  std::vector<std::uint8_t> headers = pe_test::Map(file, 0x10000000);
  headers.resize(0x1000);
  pe_test::Mapped mapped(headers);
  const PeResult r = ReadPeMapped(mapped, 0x10000000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "not a PE image: the code section .text cannot be read at RVA 0x1000");
}

}  // namespace
