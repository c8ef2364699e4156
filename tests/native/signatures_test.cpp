// Signing one release of a host module and updating to the next: on
// releases compiled from signature_host/host.c (fields added, globals added,
// code added, relocations stripped, readers rewritten), on an image mapped
// at another base, and on images made to hold a signature's code twice or to
// make signatures disagree; and the judging rule on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "pe_test_image.h"
#include "signatures/judge.h"
#include "signatures/match.h"
#include "signatures/references.h"
#include "signatures/sign.h"

namespace {

using namespace quorvane::signatures;

struct Release {
  std::vector<std::uint8_t> file;
  PeImage image;
  Offsets offsets;  // the right ones, from the build's own table
};

// The image and, from its qv_fixture table, its offsets.
Release Load(const std::vector<std::uint8_t>& file) {
  Release r;
  r.file = file;
  const PeResult read = ReadPeFile(file.data(), file.size());
  EXPECT_TRUE(read.ok) << read.error;
  r.image = read.image;
  for (std::size_t i = 0; i + 16 <= file.size(); i += 4) {
    if (pe_test::Get32(file, i) != 0x58465651) continue;
    r.offsets[Offset::kObjectAddressList] = pe_test::Get32(file, i + 4) - r.image.image_base;
    r.offsets[Offset::kTextBufferAddress] = pe_test::Get32(file, i + 8) - r.image.image_base;
    r.offsets[Offset::kObjectDataOffset] = pe_test::Get32(file, i + 12);
    return r;
  }
  ADD_FAILURE() << "no qv_fixture table";
  return r;
}

Release Host(const std::string& name) {
  return Load(pe_test::ReadFile(std::string(QV_SIGNATURE_HOSTS) + "/" + name + ".dll"));
}

std::vector<Signature> Sign(const PeImage& image, const Offsets& offsets) {
  const ReferenceSearch refs = FindReferences(image, offsets);
  EXPECT_TRUE(refs.ok) << refs.error;
  const Signing signing = MakeSignatures(image, refs.references);
  EXPECT_TRUE(signing.ok) << signing.error;
  return signing.signatures;
}

Verdict Update(const std::vector<Signature>& signatures, const PeImage& image) {
  const Matching m = MatchSignatures(image, signatures);
  EXPECT_TRUE(m.ok) << m.error;
  return Judge(signatures, m.matches);
}

std::string Describe(const Verdict& v, const std::vector<Signature>& signatures) {
  std::string text;
  for (int o = 0; o < kOffsetCount; ++o) {
    const OffsetVerdict& p = v.per[o];
    text += std::string(OffsetName(static_cast<Offset>(o))) + ": " + std::to_string(p.signatures) +
            " signed, " + std::to_string(p.matched) + " matched, " + std::to_string(p.agreed) +
            " agree, " + std::to_string(p.disagreed) + " disagree " + p.why + "\n";
  }
  for (const SignatureFailure& f : v.failures) {
    text += "  " + std::string(OffsetName(signatures[f.signature].offset)) + " at RVA " +
            std::to_string(signatures[f.signature].rva) + ": " + f.why + "\n";
  }
  return text;
}

// Each signature matches the image it was made from once, at its place, and
// reads the offset it was made for.
void ExpectMatchesItsOwnImage(const std::vector<Signature>& signatures, const PeImage& image,
                              const Offsets& offsets) {
  const Matching m = MatchSignatures(image, signatures);
  ASSERT_EQ(m.matches.size(), signatures.size());
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    EXPECT_EQ(m.matches[i].count, 1u) << i;
    ASSERT_FALSE(m.matches[i].rvas.empty()) << i;
    EXPECT_EQ(m.matches[i].rvas[0], signatures[i].rva) << i;
    EXPECT_EQ(m.matches[i].value, offsets[signatures[i].offset]) << i;
  }
}

TEST(Signatures, UpdateFindsTheNextReleasesOffsets) {
  const struct {
    const char* from;
    const char* to;
  } cases[] = {
      {"gcc_o0", "gcc_o0"},          // the release itself
      {"gcc_o0", "gcc_o0_fields"},   // the record pointer's displacement grows to 4 bytes
      {"gcc_o0", "gcc_o0_globals"},  // the list and the buffer move
      {"gcc_o0", "gcc_o0_code"},     // calls and jumps span more code
      {"gcc_o0", "gcc_o0_next"},     // all of it
      {"gcc_o2", "gcc_o2_next"},
      {"clang_o2", "clang_o2_next"},
  };
  for (const auto& c : cases) {
    const Release from = Host(c.from), to = Host(c.to);
    const std::vector<Signature> signatures = Sign(from.image, from.offsets);
    ExpectMatchesItsOwnImage(signatures, from.image, from.offsets);
    const Verdict v = Update(signatures, to.image);
    EXPECT_TRUE(v.answered) << c.from << " -> " << c.to << "\n" << Describe(v, signatures);
    for (int o = 0; o < kOffsetCount; ++o) {
      EXPECT_GE(v.per[o].signatures, 2u) << c.from << " " << o;
      EXPECT_EQ(v.per[o].disagreed, 0u) << c.from << " -> " << c.to << " " << o;
      EXPECT_EQ(v.offsets.value[o], to.offsets.value[o]) << c.from << " -> " << c.to << " " << o;
    }
  }
}

TEST(Signatures, WithoutRelocationsTheReferencesAreFoundByValue) {
  const Release from = Host("gcc_o0"), to = Host("gcc_o0_next");
  const Release stripped = Load(pe_test::StripRelocations(from.file));
  ASSERT_EQ(stripped.image.relocations, Relocations::kStripped);
  const ReferenceSearch by_relocation = FindReferences(from.image, from.offsets);
  const ReferenceSearch by_value = FindReferences(stripped.image, from.offsets);
  ASSERT_EQ(by_value.references.size(), by_relocation.references.size());
  for (std::size_t i = 0; i < by_value.references.size(); ++i) {
    EXPECT_EQ(by_value.references[i].rva, by_relocation.references[i].rva);
    EXPECT_EQ(by_value.references[i].offset, by_relocation.references[i].offset);
  }
  const std::vector<Signature> signatures = Sign(stripped.image, from.offsets);
  ExpectMatchesItsOwnImage(signatures, stripped.image, from.offsets);
  const Verdict v = Update(signatures, Load(pe_test::StripRelocations(to.file)).image);
  EXPECT_TRUE(v.answered) << Describe(v, signatures);
  for (int o = 0; o < kOffsetCount; ++o) EXPECT_EQ(v.offsets.value[o], to.offsets.value[o]) << o;
}

TEST(Signatures, SignedInAProcessAtAnotherBaseUpdatesAFile) {
  const Release from = Host("gcc_o0"), to = Host("gcc_o0_next");
  pe_test::Mapped mapped(pe_test::Map(from.file, 0x30000000));
  const PeResult live = ReadPeMapped(mapped, 0x30000000);
  ASSERT_TRUE(live.ok) << live.error;
  const std::vector<Signature> signatures = Sign(live.image, from.offsets);
  ExpectMatchesItsOwnImage(signatures, live.image, from.offsets);
  const Verdict v = Update(signatures, to.image);
  EXPECT_TRUE(v.answered) << Describe(v, signatures);
  for (int o = 0; o < kOffsetCount; ++o) EXPECT_EQ(v.offsets.value[o], to.offsets.value[o]) << o;
}

TEST(Signatures, RewrittenReadersGiveNoWrongOffset) {
  const Release from = Host("gcc_o0"), to = Host("gcc_o0_rewritten");
  const std::vector<Signature> signatures = Sign(from.image, from.offsets);
  const Verdict v = Update(signatures, to.image);
  for (int o = 0; o < kOffsetCount; ++o) {
    if (v.per[o].given) {
      EXPECT_EQ(v.per[o].value, to.offsets.value[o]) << o << "\n" << Describe(v, signatures);
    }
  }
  // The readers' own signatures do not survive the rewrite.
  EXPECT_FALSE(v.per[static_cast<int>(Offset::kObjectDataOffset)].given) << Describe(v, signatures);
}

// A synthetic module: a reader function, its code placed `copies` times.
// The reader loads the list's slot 3, dereferences it at 0x30 and pushes the
// buffer's address.
pe_test::ImageLayout Reader(int copies, std::uint32_t list_in_second_copy) {
  pe_test::ImageLayout layout;
  for (int i = 0; i < copies; ++i) {
    const std::uint32_t list = i == 1 ? list_in_second_copy : 0x2040;
    const std::uint8_t prologue[] = {0x55, 0x89, 0xE5, 0x53, 0x56};  // push ebp; mov ebp, esp; push ebx; push esi
    layout.code.insert(layout.code.end(), std::begin(prologue), std::end(prologue));
    layout.code.push_back(0xA1);  // mov eax, [list+12]
    layout.code_relocs.push_back(static_cast<std::uint32_t>(layout.code.size()));
    pe_test::Put32(layout.code, layout.code.size(), layout.image_base + list + 12);
    const std::uint8_t body[] = {0x85, 0xC0, 0x74, 0x09,              // test eax, eax; je out
                                 0x8B, 0x40, 0x30,                    // mov eax, [eax+0x30]
                                 0x6A, 0x07, 0x50, 0x58, 0x90, 0x90,  // push 7; push eax; pop eax; nops
                                 0x68};                               // push buffer
    layout.code.insert(layout.code.end(), std::begin(body), std::end(body));
    layout.code_relocs.push_back(static_cast<std::uint32_t>(layout.code.size()));
    pe_test::Put32(layout.code, layout.code.size(), layout.image_base + 0x2400);
    const std::uint8_t epilogue[] = {0x58, 0x5E, 0x5B, 0x5D, 0xC3, 0xCC, 0xCC, 0xCC};  // pop eax; pop esi; pop ebx; pop ebp; ret
    layout.code.insert(layout.code.end(), std::begin(epilogue), std::end(epilogue));
  }
  return layout;
}

Offsets ReaderOffsets() {
  Offsets o;
  o[Offset::kObjectAddressList] = 0x2040;
  o[Offset::kObjectDataOffset] = 0x30;
  o[Offset::kTextBufferAddress] = 0x2400;
  return o;
}

TEST(Signatures, ASignatureThatMatchesTwiceIsNamed) {
  const std::vector<std::uint8_t> once = pe_test::Build(Reader(1, 0x2040));
  const std::vector<std::uint8_t> twice = pe_test::Build(Reader(2, 0x2040));
  const std::vector<Signature> signatures = Sign(ReadPeFile(once.data(), once.size()).image, ReaderOffsets());
  ASSERT_EQ(signatures.size(), 3u);
  const Verdict v = Update(signatures, ReadPeFile(twice.data(), twice.size()).image);
  EXPECT_FALSE(v.answered);
  ASSERT_EQ(v.failures.size(), 3u);
  EXPECT_EQ(v.failures[0].why, "matched 2 times (at RVA 0x1005, 0x1029)");
  EXPECT_EQ(v.per[0].why, "its signature did not match exactly once");
}

TEST(Signatures, SignaturesThatDisagreeGiveNoAnswer) {
  // Two readers signed; in the next image the second reads another list.
  pe_test::ImageLayout two = Reader(2, 0x2040);
  // Make the copies unlike each other so that each gets a signature.
  two.code[0x24 + 1] = 0x8B;  // the second prologue: mov ebp, esp written 8B EC
  two.code[0x24 + 2] = 0xEC;
  const std::vector<std::uint8_t> signed_file = pe_test::Build(two);
  const std::vector<Signature> signatures =
      Sign(ReadPeFile(signed_file.data(), signed_file.size()).image, ReaderOffsets());
  const auto lists = std::count_if(signatures.begin(), signatures.end(), [](const Signature& s) {
    return s.offset == Offset::kObjectAddressList;
  });
  ASSERT_EQ(lists, 2);
  std::vector<std::uint8_t> next = signed_file;
  // The second reader's list word (file offset 0x400 + code offset 0x2A) names another list.
  pe_test::Put32(next, 0x400 + 0x2A, 0x10000000 + 0x2080 + 12);
  const Verdict v = Update(signatures, ReadPeFile(next.data(), next.size()).image);
  const OffsetVerdict& list = v.per[static_cast<int>(Offset::kObjectAddressList)];
  EXPECT_FALSE(list.given);
  EXPECT_EQ(list.matched, 2u);
  EXPECT_EQ(list.agreed, 1u);
  EXPECT_EQ(list.disagreed, 1u);
  EXPECT_EQ(list.why, "its signatures disagree: 1 read 0x2040, 1 read 0x2080");
  EXPECT_FALSE(v.answered);
}

TEST(Judge, TwoMustAgreeAndNoneDisagree) {
  // Signatures for ObjectAddressList only; each case: what each matched.
  struct M {
    std::size_t count;
    std::uint32_t value;
  };
  const struct {
    const char* name;
    std::vector<M> matches;
    bool given;
    std::size_t matched, agreed, disagreed;
    const char* why;
  } cases[] = {
      {"one signature, matched", {{1, 0x40}}, true, 1, 1, 0, ""},
      {"one signature, nowhere", {{0, 0}}, false, 0, 0, 0, "its signature did not match exactly once"},
      {"two agree, one nowhere", {{1, 0x40}, {0, 0}, {1, 0x40}}, true, 2, 2, 0, ""},
      {"two agree, one disagrees", {{1, 0x40}, {1, 0x44}, {1, 0x40}}, false, 3, 2, 1,
       "its signatures disagree: 2 read 0x40, 1 read 0x44"},
      {"one of two matched", {{1, 0x40}, {0, 0}}, false, 1, 1, 0,
       "only 1 of its 2 signatures matched exactly once (2 must agree)"},
      {"a twice-matched one counts for nothing", {{2, 0x40}, {1, 0x40}}, false, 1, 1, 0,
       "only 1 of its 2 signatures matched exactly once (2 must agree)"},
      {"none", {}, false, 0, 0, 0, "no signature gives it"},
      {"agreement on 0", {{1, 0}, {1, 0}}, false, 2, 2, 0,
       "its signatures read 0, which the module takes for a missing offset"},
  };
  for (const auto& c : cases) {
    std::vector<Signature> signatures(c.matches.size());
    std::vector<SignatureMatch> matches;
    for (const M& m : c.matches) matches.push_back({m.count, {}, m.value});
    const Verdict v = Judge(signatures, matches);
    const OffsetVerdict& list = v.per[static_cast<int>(Offset::kObjectAddressList)];
    EXPECT_EQ(list.given, c.given) << c.name;
    EXPECT_EQ(list.matched, c.matched) << c.name;
    EXPECT_EQ(list.agreed, c.agreed) << c.name;
    EXPECT_EQ(list.disagreed, c.disagreed) << c.name;
    EXPECT_EQ(list.why, c.why) << c.name;
    if (c.given) {
      EXPECT_EQ(list.value, 0x40u) << c.name;
    }
    EXPECT_FALSE(v.answered) << c.name;  // the other offsets have no signature
  }
}

}  // namespace
