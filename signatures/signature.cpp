// Reading a signature's value, and matching its pattern at one place.
#include "signatures/signature.h"

#include "config/profile_keys.h"
#include "readers/host_words.h"

namespace quorvane::signatures {
namespace {

bool Same(const PatternInsn& insn, std::size_t from, std::size_t count, const std::uint8_t* code) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!insn.wild[from + i] && insn.bytes[from + i] != code[i]) return false;
  }
  return true;
}

// Matches one instruction at code[0..left); its length in *length.
bool MatchInsn(const PatternInsn& insn, const std::uint8_t* code, std::size_t left,
               std::size_t* length) {
  const std::size_t n = insn.bytes.size();
  if (insn.group < 0) {
    *length = n;
    return n <= left && Same(insn, 0, n, code);
  }
  const auto g = static_cast<std::size_t>(insn.group);
  const std::uint8_t modrm = insn.bytes[g];
  const std::size_t tail = n - GroupEnd(insn);
  if (g + 2 > left || !Same(insn, 0, g, code)) return false;
  const std::uint8_t met = code[g];
  if ((met & 0x3F) != (modrm & 0x3F) || (met >> 6) == 0 || (met >> 6) == 3) return false;
  std::size_t at = g + 1;
  if (HasSib(modrm)) {
    if (code[at] != insn.bytes[at]) return false;
    ++at;
  }
  at += DispLength(met);
  *length = at + tail;
  return *length <= left && Same(insn, n - tail, tail, code + at);
}

}  // namespace

std::size_t GroupDisp(const PatternInsn& insn) {
  const auto g = static_cast<std::size_t>(insn.group);
  return g + 1 + (HasSib(insn.bytes[g]) ? 1 : 0);
}

std::size_t GroupEnd(const PatternInsn& insn) {
  return GroupDisp(insn) + DispLength(insn.bytes[static_cast<std::size_t>(insn.group)]);
}

const char* OffsetName(Offset offset) { return kOffsetKeys[static_cast<int>(offset)]; }

std::uint32_t OffsetFromOperand(const Signature& s, std::uint32_t value, std::uint32_t base) {
  switch (s.offset) {
    case Offset::kObjectAddressList: return ListOffset(base, value, s.type);
    case Offset::kTextBufferAddress: return value - base;
    case Offset::kObjectDataOffset: break;
  }
  return value;
}

std::int32_t SlotType(std::uint32_t address, std::uint32_t base, std::uint32_t list) {
  const std::uint32_t from_list = address - base - list;
  if (from_list % 4 != 0 || from_list / 4 > static_cast<std::uint32_t>(kMaxTypeIndex)) return -1;
  return static_cast<std::int32_t>(from_list / 4);
}

bool MatchAt(const Pattern& p, const std::uint8_t* code, std::size_t size, std::size_t start,
             Placement* placement) {
  std::size_t at = start;
  for (std::size_t i = 0; i < p.insns.size(); ++i) {
    std::size_t length = 0;
    if (at > size || !MatchInsn(p.insns[i], code + at, size - at, &length)) return false;
    placement->at[i] = static_cast<std::uint32_t>(at - start);
    placement->size[i] = static_cast<std::uint8_t>(length);
    at += length;
  }
  placement->length = at - start;
  return true;
}

std::size_t MinOffset(const Pattern& p, std::size_t index) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < index && i < p.insns.size(); ++i) {
    const PatternInsn& insn = p.insns[i];
    offset += insn.bytes.size();
    if (insn.group >= 0 && DispLength(insn.bytes[static_cast<std::size_t>(insn.group)]) == 4) {
      offset -= 3;
    }
  }
  return offset;
}

std::size_t GroupsBefore(const Pattern& p, std::size_t index) {
  std::size_t groups = 0;
  for (std::size_t i = 0; i < index && i < p.insns.size(); ++i) groups += p.insns[i].group >= 0;
  return groups;
}

bool WellFormed(const Pattern& p) {
  if (p.insns.empty() || p.insns.size() > kMaxPatternInsns || p.ref >= p.insns.size()) return false;
  std::size_t total = 0;
  for (const PatternInsn& insn : p.insns) {
    const std::size_t n = insn.bytes.size();
    total += n;
    if (n == 0 || n > 15 || insn.wild.size() != n) return false;
    if (insn.group < 0) continue;
    const auto g = static_cast<std::size_t>(insn.group);
    if (g >= n || insn.wild[g]) return false;
    const std::uint8_t modrm = insn.bytes[g];
    if ((modrm >> 6) != 1 && (modrm >> 6) != 2) return false;
    if (GroupEnd(insn) > n || (HasSib(modrm) && insn.wild[g + 1])) return false;
    for (std::size_t i = GroupDisp(insn); i < GroupEnd(insn); ++i) {
      if (!insn.wild[i]) return false;
    }
  }
  return total <= kMaxPatternBytes;
}

}  // namespace quorvane::signatures
