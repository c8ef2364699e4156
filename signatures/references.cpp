// The words of the code that hold an offset's address, the instructions
// around them, and the dereferences that follow the list loads.
#include "signatures/references.h"

#include <algorithm>
#include <tuple>

#include "readers/host_words.h"
#include "signatures/code_walk.h"
#include "signatures/data_flow.h"

namespace quorvane::signatures {
namespace {

struct Target {
  Offset offset;
  std::int32_t type;
};

// The offsets whose address the word `value` is: the buffer, a list slot.
std::vector<Target> TargetsOf(std::uint32_t value, const PeImage& image, const Offsets& offsets) {
  std::vector<Target> targets;
  if (value - image.load_base == offsets[Offset::kTextBufferAddress]) {
    targets.push_back({Offset::kTextBufferAddress, -1});
  }
  const std::int32_t type = SlotType(value, image.load_base, offsets[Offset::kObjectAddressList]);
  if (type >= 0) targets.push_back({Offset::kObjectAddressList, type});
  return targets;
}

// Calls visit(section, word_rva) for each 32-bit word of the code that may
// hold one of the offsets' addresses: the relocated ones, or without
// relocations each word that holds an address in the list's range or the
// buffer's.
template <typename Visit>
void ForEachAddressWord(const PeImage& image, const Offsets& offsets, Visit visit) {
  if (image.relocations == Relocations::kPresent) {
    for (const std::uint32_t rva : image.relocated) {
      if (const PeSection* s = CodeSectionAt(image, rva, 4)) visit(*s, rva);
    }
    return;
  }
  const std::uint32_t list = image.load_base + offsets[Offset::kObjectAddressList];
  const std::uint32_t buffer = image.load_base + offsets[Offset::kTextBufferAddress];
  constexpr std::uint32_t kListBytes = 4 * static_cast<std::uint32_t>(kMaxTypeIndex);
  for (const PeSection& s : image.sections) {
    for (std::size_t i = 0; s.code && i + 4 <= s.bytes.size(); ++i) {
      const std::uint32_t value = LoadU32(&s.bytes[i]);
      if (value - list <= kListBytes || value == buffer) visit(s, s.rva + static_cast<std::uint32_t>(i));
    }
  }
}

bool IsRegisterLoad(const Insn& in) {
  return in.op == Op::kMov && in.operand_count == 2 && in.operands[0].kind == Operand::Kind::kReg &&
         in.operands[0].size == 4 && in.operands[1].kind == Operand::Kind::kMem;
}

struct Search {
  const PeImage& image;
  const Offsets& offsets;
  Decoder& decoder;
  ReferenceSearch& result;

  void AddDereferences(const Insn& load) {
    std::vector<std::uint32_t> rvas;
    FollowListLoad(decoder, image, load, {image.load_base, offsets[Offset::kObjectAddressList]},
                   offsets[Offset::kObjectDataOffset], &rvas);
    for (const std::uint32_t rva : rvas) {
      result.references.push_back({Offset::kObjectDataOffset, FieldKind::kDisplacement, -1, rva});
    }
  }

  void Word(const PeSection& section, std::uint32_t word_rva) {
    const std::uint32_t value = LoadU32(&section.bytes[word_rva - section.rva]);
    const std::vector<Target> targets = TargetsOf(value, image, offsets);
    if (targets.empty()) return;
    Insn in;
    if (!FindInsnWithWord(decoder, section, word_rva, &in)) {
      ++result.undecided;
      return;
    }
    const bool disp = in.disp_at == word_rva - in.rva && in.disp_size == 4;
    const Operand* mem = MemoryOperand(in);
    if (disp && (mem == nullptr || (mem->base != Reg::kNone && mem->base != mem->index))) return;
    for (const Target& t : targets) {
      const FieldKind field = disp ? FieldKind::kDisplacement : FieldKind::kImmediate;
      result.references.push_back({t.offset, field, t.type, in.rva});
      if (t.offset == Offset::kObjectAddressList && disp && IsRegisterLoad(in)) AddDereferences(in);
    }
  }
};

}  // namespace

ReferenceSearch FindReferences(const PeImage& image, const Offsets& offsets) {
  ReferenceSearch result;
  Decoder decoder;
  if (!decoder.ok()) {
    result.error = kNoDecoder;
    return result;
  }
  Search search{image, offsets, decoder, result};
  ForEachAddressWord(image, offsets, [&](const PeSection& s, std::uint32_t rva) { search.Word(s, rva); });
  auto key = [](const Reference& r) {
    return std::make_tuple(r.offset, r.rva, r.field, r.type);
  };
  std::sort(result.references.begin(), result.references.end(),
            [&](const Reference& a, const Reference& b) { return key(a) < key(b); });
  result.references.erase(
      std::unique(result.references.begin(), result.references.end(),
                  [&](const Reference& a, const Reference& b) { return key(a) == key(b); }),
      result.references.end());
  result.ok = true;
  return result;
}

}  // namespace quorvane::signatures
