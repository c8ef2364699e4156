// What a signature is: the instructions around one use of an offset in the
// host module's code, with the bytes that change between releases left open,
// and the rule that turns the operand found there into the offset.
#ifndef QUORVANE_SIGNATURES_SIGNATURE_H
#define QUORVANE_SIGNATURES_SIGNATURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::signatures {

// The three offsets of a profile section, in the order of their keys
// (config/profile_keys.h).
enum class Offset : std::uint8_t { kObjectAddressList, kObjectDataOffset, kTextBufferAddress };
constexpr int kOffsetCount = 3;
const char* OffsetName(Offset offset);

struct Offsets {
  std::uint32_t value[kOffsetCount] = {};
  std::uint32_t& operator[](Offset o) { return value[static_cast<int>(o)]; }
  std::uint32_t operator[](Offset o) const { return value[static_cast<int>(o)]; }
};

// The highest type index whose slot a list reference may address.
constexpr std::int32_t kMaxTypeIndex = 80;

// The type index whose slot lies at `address` in a list at `list` in an image
// loaded at `base`, or -1 when it lies at none of types 0 to kMaxTypeIndex.
std::int32_t SlotType(std::uint32_t address, std::uint32_t base, std::uint32_t list);

// Which field of the reference instruction holds the operand.
enum class FieldKind : std::uint8_t { kDisplacement, kImmediate };

// One instruction of a pattern, as it was encoded when signed. `wild` marks
// the bytes that may differ (1). With `group` set, bytes[group] is a ModRM
// byte (mod 01 or 10) whose displacement, after the SIB byte when ModRM.rm is
// 4, is wildcarded and may be 1 or 4 bytes long: the mod bits and the
// displacement's length change together, everything else stays.
struct PatternInsn {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> wild;
  int group = -1;
};

// A ModRM byte (mod 01 or 10): whether a SIB byte follows it, and the length
// of the displacement its mod bits give.
constexpr bool HasSib(std::uint8_t modrm) { return (modrm & 7) == 4; }
constexpr std::size_t DispLength(std::uint8_t modrm) { return (modrm >> 6) == 1 ? 1 : 4; }
// A group's displacement's first byte, and the byte after the group, in the
// instruction as signed.
std::size_t GroupDisp(const PatternInsn& insn);
std::size_t GroupEnd(const PatternInsn& insn);

struct Pattern {
  std::vector<PatternInsn> insns;
  std::size_t ref = 0;  // the reference instruction
};

// Patterns are at most this many instructions and bytes.
constexpr std::size_t kMaxPatternInsns = 48;
constexpr std::size_t kMaxPatternBytes = 256;

struct Signature {
  Offset offset = Offset::kObjectAddressList;
  FieldKind field = FieldKind::kDisplacement;
  std::int32_t type = -1;  // the list slot's type index (ObjectAddressList only)
  std::uint32_t rva = 0;   // of the reference instruction when signed
  std::string instruction;  // its decoded form when signed
  Pattern pattern;
};

// The offset that an operand value gives, by the signature's rule:
// ObjectAddressList = value - base - 4 x type, TextBufferAddress = value -
// base, ObjectDataOffset = value.
std::uint32_t OffsetFromOperand(const Signature& s, std::uint32_t value, std::uint32_t base);

// Where a pattern's instructions lie in a match, as offsets from its start,
// and the length of each.
struct Placement {
  std::uint32_t at[kMaxPatternInsns];
  std::uint8_t size[kMaxPatternInsns];
  std::size_t length = 0;  // of the whole match
};

// Whether `p` matches the bytes code[start..size) (a pattern's layout is
// fixed by the bytes it meets: each group's ModRM says its displacement's
// length). Fills `placement` when it does.
bool MatchAt(const Pattern& p, const std::uint8_t* code, std::size_t size, std::size_t start,
             Placement* placement);

// The pattern's least length and the offset of instruction `index` in it,
// with every group's displacement 1 byte long; and the number of groups
// before that instruction (each adds 3 bytes when 4 bytes long).
std::size_t MinOffset(const Pattern& p, std::size_t index);
std::size_t GroupsBefore(const Pattern& p, std::size_t index);

// Whether the pattern is well formed: 1 to kMaxPatternInsns instructions of
// 1 to 15 bytes, at most kMaxPatternBytes, masks as long as the bytes,
// groups as described above, `ref` inside.
bool WellFormed(const Pattern& p);

}  // namespace quorvane::signatures

#endif
