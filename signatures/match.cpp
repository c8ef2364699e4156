// Matching: the scan's places, checked by decoding, and the values read.
#include "signatures/match.h"

#include "signatures/scanner.h"
#include "signatures/x86.h"

namespace quorvane::signatures {
namespace {

// Whether the decoded instruction has the layout the pattern gave it: a
// group's ModRM and displacement where the pattern has them.
bool SameLayout(const PatternInsn& p, const Insn& insn, std::size_t length) {
  if (insn.size != length) return false;
  if (p.group < 0) return true;
  return insn.modrm_at == static_cast<std::size_t>(p.group) && insn.disp_at == GroupDisp(p);
}

// The reference's field: present, as wide as it may be, and over bytes the
// pattern left open (at the position they had when signed).
bool FieldIsOpen(const Signature& s, const PatternInsn& p, const Insn& insn, Field field) {
  const bool data = s.offset == Offset::kObjectDataOffset;
  if (field.size != 4 && !(data && field.size == 1 && p.group >= 0)) return false;
  if (s.field == FieldKind::kImmediate && insn.relative) return false;
  // A field after a group lay where the displacement's signed length put it.
  std::size_t at = field.at;
  std::size_t size = field.size;
  if (p.group >= 0) {
    const std::size_t signed_length = GroupEnd(p) - GroupDisp(p);
    if (at == GroupDisp(p)) size = signed_length;
    if (at >= GroupDisp(p) + insn.disp_size) at = at - insn.disp_size + signed_length;
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (at + i >= p.wild.size() || !p.wild[at + i]) return false;
  }
  return true;
}

class ValueSink : public MatchSink {
 public:
  ValueSink(const PeImage& image, const std::vector<Signature>& signatures, Decoder& decoder,
            std::vector<SignatureMatch>& matches)
      : image_(image), signatures_(signatures), decoder_(decoder), matches_(matches) {}

  void Take(std::size_t index, const PeSection& section, std::size_t start,
            const Placement& placement) override {
    const Signature& s = signatures_[index];
    std::uint32_t value = 0;
    if (!Verify(s, section, start, placement, &value)) return;
    SignatureMatch& m = matches_[index];
    if (m.count == 0) m.value = value;
    ++m.count;
    if (m.rvas.size() < kMaxMatchPlaces) {
      m.rvas.push_back(section.rva + static_cast<std::uint32_t>(start + placement.at[s.pattern.ref]));
    }
  }

 private:
  bool Verify(const Signature& s, const PeSection& section, std::size_t start,
              const Placement& placement, std::uint32_t* value) {
    for (std::size_t i = 0; i < s.pattern.insns.size(); ++i) {
      const std::size_t at = start + placement.at[i];
      Insn insn;
      if (!decoder_.Decode(section.bytes.data() + at, section.bytes.size() - at,
                           section.rva + static_cast<std::uint32_t>(at), &insn) ||
          !SameLayout(s.pattern.insns[i], insn, placement.size[i])) {
        return false;
      }
      if (i != s.pattern.ref) continue;
      const Field field = s.field == FieldKind::kDisplacement ? Displacement(insn) : Immediate(insn);
      if (!FieldIsOpen(s, s.pattern.insns[i], insn, field)) return false;
      *value = OffsetFromOperand(s, FieldValue(insn.bytes, field), image_.load_base);
    }
    return true;
  }

  const PeImage& image_;
  const std::vector<Signature>& signatures_;
  Decoder& decoder_;
  std::vector<SignatureMatch>& matches_;
};

}  // namespace

Matching MatchSignatures(const PeImage& image, const std::vector<Signature>& signatures) {
  Matching result;
  Decoder decoder;
  if (!decoder.ok()) {
    result.error = kNoDecoder;
    return result;
  }
  result.matches.resize(signatures.size());
  std::vector<const Pattern*> patterns;
  for (const Signature& s : signatures) patterns.push_back(&s.pattern);
  ValueSink sink(image, signatures, decoder, result.matches);
  ScanCode(image, patterns, sink);
  result.ok = true;
  return result;
}

}  // namespace quorvane::signatures
