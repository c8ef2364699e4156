// The signature core on any bytes: as a PE image's file, as an image mapped
// in a process, and as a signature file. No crash; and beyond that:
//  - every signature made for an image matches that image once, where it was
//    made, and reads the offset it was made for; the offsets are given back;
//  - the signature file reads back exactly what was written;
//  - on the image with bytes changed, an offset is given only when at least
//    two of its signatures (its one, if it has one) agree and none disagrees.
// The offsets signed are taken from the image itself (addresses its code
// holds), so that there is something to sign. Needs no Lua.
//
// An input is a header of kHeader bytes (Header below), then the image or
// the signature file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe/common/text.h"
#include "readers/host_words.h"
#include "signatures/judge.h"
#include "signatures/match.h"
#include "signatures/references.h"
#include "signatures/sign.h"
#include "signatures/signature_file.h"

namespace {

using namespace quorvane::signatures;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "property broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}
#define CHECK(cond, detail) \
  do {                      \
    if (!(cond)) Fail(#cond, (detail)); \
  } while (0)

struct Header {
  std::uint8_t mode;  // % 4: 0, 1 a file; 2 a mapped image; 3 a signature file
  std::uint32_t base;  // where a mapped image lies (64 KiB aligned)
  std::uint16_t list_word, buffer_word;  // which code words give the list and the buffer
  std::uint8_t type;  // the list word's slot
  std::uint16_t data_offset;
  struct {
    std::uint16_t at;
    std::uint8_t flip;
  } changes[8];  // to the code, for the judging property
};
constexpr std::size_t kHeader = 1 + 4 + 2 + 2 + 1 + 2 + 8 * 3;

Header ReadHeader(const std::uint8_t* d) {
  const auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8); };
  Header h;
  h.mode = d[0];
  h.base = quorvane::LoadU32(d + 1) & 0xFFFF0000u;
  h.list_word = u16(5);
  h.buffer_word = u16(7);
  h.type = d[9];
  h.data_offset = u16(10);
  for (std::size_t i = 0; i < 8; ++i) h.changes[i] = {u16(12 + 3 * i), d[14 + 3 * i]};
  return h;
}

// The input's bytes read as a mapped image; past their end nothing reads.
class InputImage : public MappedImage {
 public:
  explicit InputImage(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  bool Read(std::uint32_t rva, std::uint8_t* out, std::uint32_t size) override {
    if (rva > bytes_.size() || size > bytes_.size() - rva) return false;
    std::memcpy(out, bytes_.data() + rva, size);
    return true;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
};

// The word of the code at the `pick`-th relocated place (or at byte `pick`
// without relocations): an address the code holds.
bool CodeWord(const PeImage& image, std::uint32_t pick, std::uint32_t* value) {
  if (!image.relocated.empty()) {
    const std::uint32_t rva = image.relocated[pick % image.relocated.size()];
    const PeSection* s = CodeSectionAt(image, rva, 4);
    *value = quorvane::LoadU32(&s->bytes[rva - s->rva]);
    return true;
  }
  for (const PeSection& s : image.sections) {
    if (s.code && s.bytes.size() >= 4) {
      *value = quorvane::LoadU32(&s.bytes[pick % (s.bytes.size() - 3)]);
      return true;
    }
  }
  return false;
}

// (The last check: it takes the signatures.)
void CheckFileRoundTrip(const PeImage& image, const Offsets& offsets, std::vector<Signature> signatures) {
  SignatureFile file;
  file.module = "host.dll";
  file.section = "Signed";
  file.offsets = offsets;
  file.time_date_stamp = image.time_date_stamp;
  file.file_version = image.file_version;
  file.types = {0, 3};
  const std::size_t count = signatures.size();
  file.signatures = std::move(signatures);
  const std::string text = WriteSignatureFile(file);
  const SignatureFileReading read = ReadSignatureFile(text);
  CHECK(read.ok, read.error + "\n" + text);
  CHECK(WriteSignatureFile(read.file) == text, text);
  CHECK(read.file.signatures.size() == count, text);
}

// Signatures made for an image match it where they were made.
void CheckSignaturesMatchTheirImage(const PeImage& image, const Offsets& offsets,
                                    const std::vector<Signature>& signatures) {
  const Matching m = MatchSignatures(image, signatures);
  CHECK(m.ok, m.error);
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    const Signature& s = signatures[i];
    const std::string where = std::string(OffsetName(s.offset)) + " at RVA " + std::to_string(s.rva);
    CHECK(WellFormed(s.pattern), where);
    CHECK(m.matches[i].count == 1, where + ": matched " + std::to_string(m.matches[i].count));
    CHECK(m.matches[i].rvas[0] == s.rva, where);
    CHECK(m.matches[i].value == offsets[s.offset],
          where + " (" + s.instruction + "): reads " + probe::Hex(m.matches[i].value) +
              ", signed for " + probe::Hex(offsets[s.offset]));
  }
  const Verdict v = Judge(signatures, m.matches);
  for (int o = 0; o < kOffsetCount; ++o) {
    // (An offset of 0 is never given: the module reads it as missing.)
    CHECK(v.per[o].given == (v.per[o].signatures > 0 && offsets.value[o] != 0), OffsetName(static_cast<Offset>(o)));
    CHECK(!v.per[o].given || v.per[o].value == offsets.value[o], OffsetName(static_cast<Offset>(o)));
  }
}

// On changed code, an offset is given only by signatures that agree.
void CheckNoAnswerFromDisagreement(PeImage image, const std::vector<Signature>& signatures,
                                   const Header& h) {
  for (PeSection& s : image.sections) {
    for (std::size_t i = 0; s.code && !s.bytes.empty() && i < 8; ++i) {
      s.bytes[h.changes[i].at % s.bytes.size()] ^= h.changes[i].flip;
    }
  }
  const Matching m = MatchSignatures(image, signatures);
  const Verdict v = Judge(signatures, m.matches);
  for (int o = 0; o < kOffsetCount; ++o) {
    const OffsetVerdict& p = v.per[o];
    if (!p.given) continue;
    CHECK(p.disagreed == 0 && p.agreed >= (p.signatures >= 2 ? 2u : 1u), OffsetName(static_cast<Offset>(o)));
    for (std::size_t i = 0; i < signatures.size(); ++i) {
      if (static_cast<int>(signatures[i].offset) == o && m.matches[i].count == 1) {
        CHECK(m.matches[i].value == p.value, "a matched signature reads another value");
      }
    }
  }
}

void SignAndCheck(const PeImage& image, const Header& h) {
  std::uint32_t list = 0, buffer = 0;
  if (!CodeWord(image, h.list_word, &list) || !CodeWord(image, h.buffer_word, &buffer)) return;
  Offsets offsets;
  offsets[Offset::kObjectAddressList] = quorvane::ListOffset(image.load_base, list, h.type % (kMaxTypeIndex + 1));
  offsets[Offset::kTextBufferAddress] = buffer - image.load_base;
  offsets[Offset::kObjectDataOffset] = 1u + h.data_offset % 0x200u;
  const ReferenceSearch refs = FindReferences(image, offsets);
  CHECK(refs.ok, refs.error);
  Signing signing = MakeSignatures(image, refs.references);
  CHECK(signing.ok, signing.error);
  std::size_t left_out = 0;
  for (const std::size_t n : signing.left_out) left_out += n;
  CHECK(signing.signatures.size() + signing.not_signed.size() + left_out == refs.references.size(),
        "a reference lost");
  CheckSignaturesMatchTheirImage(image, offsets, signing.signatures);
  CheckNoAnswerFromDisagreement(image, signing.signatures, h);
  CheckFileRoundTrip(image, offsets, std::move(signing.signatures));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const Header h = ReadHeader(data);
  if (h.mode % 4 == 3) {
    // A signature file: read, and when it reads, written back as it reads.
    const std::string text(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
    const SignatureFileReading read = ReadSignatureFile(text);
    if (read.ok) {
      const std::string again = WriteSignatureFile(read.file);
      const SignatureFileReading reread = ReadSignatureFile(again);
      CHECK(reread.ok && WriteSignatureFile(reread.file) == again, again);
    } else {
      CHECK(read.error.rfind("line ", 0) == 0, read.error);
    }
    return 0;
  }
  // A copy of exactly the image's bytes: AddressSanitizer sees a read past them.
  const std::vector<std::uint8_t> bytes(data + kHeader, data + size);
  PeResult read;
  if (h.mode % 4 == 2) {
    InputImage mapped(bytes);
    read = ReadPeMapped(mapped, h.base);
  } else {
    read = ReadPeFile(bytes.data(), bytes.size());
  }
  if (!read.ok) {
    CHECK(read.error.rfind("not a PE image: ", 0) == 0, read.error);
    return 0;
  }
  SignAndCheck(read.image, h);
  return 0;
}
