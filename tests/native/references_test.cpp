// Which instructions use the offsets: operands that hold the list's and the
// buffer's addresses, and dereferences of a pointer loaded from the list,
// followed through moves, spills, branches and calls. Each case is read once
// with its relocation table and once without (found by value): the same
// references either way.
#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <tuple>

#include "pe_test_image.h"
#include "signatures/references.h"

namespace {

using namespace quorvane::signatures;

constexpr std::uint32_t kBase = 0x10000000;
constexpr std::uint32_t kList = 0x2040;    // in the data section
constexpr std::uint32_t kBuffer = 0x2400;
constexpr std::uint32_t kDataOffset = 0x38;

// x86 code with absolute addresses that the image relocates.
struct Code {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint32_t> relocs;
  Code& B(std::initializer_list<int> b) {
    for (const int x : b) bytes.push_back(static_cast<std::uint8_t>(x));
    return *this;
  }
  Code& Addr(std::uint32_t rva) {
    relocs.push_back(static_cast<std::uint32_t>(bytes.size()));
    pe_test::Put32(bytes, bytes.size(), kBase + rva);
    return *this;
  }
};

using Found = std::set<std::tuple<Offset, std::uint32_t, std::int32_t>>;  // offset, code offset, type

Found Find(const Code& code, bool relocations) {
  pe_test::ImageLayout layout;
  layout.code = code.bytes;
  layout.code_relocs = code.relocs;
  layout.relocations = relocations;
  EXPECT_EQ(pe_test::DataRva(layout), 0x2000u);
  const std::vector<std::uint8_t> file = pe_test::Build(layout);
  const PeResult image = ReadPeFile(file.data(), file.size());
  EXPECT_TRUE(image.ok) << image.error;
  Offsets offsets;
  offsets[Offset::kObjectAddressList] = kList;
  offsets[Offset::kObjectDataOffset] = kDataOffset;
  offsets[Offset::kTextBufferAddress] = kBuffer;
  const ReferenceSearch search = FindReferences(image.image, offsets);
  EXPECT_TRUE(search.ok);
  Found found;
  for (const Reference& r : search.references) found.insert({r.offset, r.rva - pe_test::kCodeRva, r.type});
  return found;
}

constexpr Offset kL = Offset::kObjectAddressList;
constexpr Offset kD = Offset::kObjectDataOffset;
constexpr Offset kB = Offset::kTextBufferAddress;

TEST(References, FollowTheListsPointerToItsDereferences) {
  const struct {
    const char* name;
    Code code;
    Found expected;
  } cases[] = {
      {"spilled to the stack and reloaded; stack accesses are none",
       Code{}.B({0xA1}).Addr(kList + 12)          // 0  mov eax, [list+12]
           .B({0x89, 0x44, 0x24, 0x38})           // 5  mov [esp+0x38], eax
           .B({0x8B, 0x4C, 0x24, 0x38})           // 9  mov ecx, [esp+0x38]
           .B({0x8B, 0x51, 0x38})                 // 13 mov edx, [ecx+0x38]
           .B({0x8B, 0x45, 0xC8, 0xC3}),          // 16 mov eax, [ebp-0x38]; ret
       {{kL, 0, 3}, {kD, 13, -1}}},
      {"a call keeps esi, not eax",
       Code{}.B({0xA1}).Addr(kList)               // 0  mov eax, [list]
           .B({0x89, 0xC6})                       // 5  mov esi, eax
           .B({0xE8, 0, 0, 0, 0})                 // 7  call (the next instruction)
           .B({0x8B, 0x40, 0x38})                 // 12 mov eax, [eax+0x38]
           .B({0x8B, 0x46, 0x38, 0xC3}),          // 15 mov eax, [esi+0x38]; ret
       {{kL, 0, 0}, {kD, 15, -1}}},
      {"both ways of a branch",
       Code{}.B({0xA1}).Addr(kList + 4)           // 0  mov eax, [list+4]
           .B({0x85, 0xC0, 0x74, 0x04})           // 5  test eax, eax; je 13
           .B({0x8B, 0x48, 0x38, 0xC3})           // 9  mov ecx, [eax+0x38]; ret
           .B({0x8B, 0x50, 0x38, 0xC3}),          // 13 mov edx, [eax+0x38]; ret
       {{kL, 0, 1}, {kD, 9, -1}, {kD, 13, -1}}},
      {"a register given another value",
       Code{}.B({0xA1}).Addr(kList)               // 0  mov eax, [list]
           .B({0xB8, 5, 0, 0, 0})                 // 5  mov eax, 5
           .B({0x8B, 0x40, 0x38, 0xC3}),          // 10 mov eax, [eax+0x38]; ret
       {{kL, 0, 0}}},
      {"other fields, a byte, an index, an address computed",
       Code{}.B({0xA1}).Addr(kList)               // 0  mov eax, [list]
           .B({0x8B, 0x48, 0x3C})                 // 5  mov ecx, [eax+0x3C]
           .B({0x0F, 0xB6, 0x48, 0x38})           // 8  movzx ecx, byte [eax+0x38]
           .B({0x8B, 0x4C, 0x88, 0x38})           // 12 mov ecx, [eax+ecx*4+0x38]
           .B({0x8D, 0x48, 0x38, 0xC3}),          // 16 lea ecx, [eax+0x38]; ret
       {{kL, 0, 0}}},
      {"pushed and popped into another register",
       Code{}.B({0xA1}).Addr(kList + 320)         // 0  mov eax, [list+4*80]
           .B({0x50, 0x31, 0xC0, 0x59})           // 5  push eax; xor eax, eax; pop ecx
           .B({0x8B, 0x41, 0x38, 0xC3}),          // 9  mov eax, [ecx+0x38]; ret
       {{kL, 0, 80}, {kD, 9, -1}}},
      {"an indexed slot, a 4-byte displacement",
       Code{}.B({0x8B, 0x04, 0x85}).Addr(kList)   // 0  mov eax, [eax*4+list]
           .B({0x8B, 0x80, 0x38, 0, 0, 0, 0xC3}), // 7  mov eax, [eax+0x00000038]; ret
       {{kL, 0, 0}, {kD, 7, -1}}},
      {"the buffer; addresses that are no reference",
       Code{}.B({0x68}).Addr(kBuffer)             // 0  push buffer
           .B({0xB9}).Addr(kList + 324)           // 5  mov ecx, list+4*81
           .B({0x8B, 0x81}).Addr(kList)           // 10 mov eax, [ecx+list]
           .B({0x66, 0x89, 0x84, 0x00}).Addr(kBuffer)  // 16 mov [eax+eax+buffer], ax
           .B({0xC3}),
       {{kB, 0, -1}, {kB, 16, -1}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Find(c.code, true), c.expected) << c.name << ", with relocations";
    EXPECT_EQ(Find(c.code, false), c.expected) << c.name << ", by value";
  }
}

}  // namespace
