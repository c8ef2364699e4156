// Record layouts: which fields an object record of each type holds, where,
// and how they are read. One table drives the decoding of every type.
#ifndef QUORVANE_READERS_LAYOUTS_H
#define QUORVANE_READERS_LAYOUTS_H

#include <cstdint>

namespace quorvane {

enum class FieldKind : std::uint8_t {
  kU8,        // 1 byte, unsigned
  kI8,        // 1 byte, signed
  kI16,       // 2 bytes, signed
  kI32,       // 4 bytes, signed
  kU32,       // 4 bytes, unsigned
  kColour,    // 4 bytes, red and blue exchanged, top byte dropped
  kString,    // bytes up to a NUL, as they stand
  kWideText,  // UTF-16 units up to a NUL unit, converted to the ANSI code page
};

struct FieldSpec {
  std::uint16_t offset;  // bytes from the start of the record
  FieldKind kind;
  const char* name;
};

// The most bytes [copy_begin, copy_end) of any layout spans.
constexpr std::uint32_t kMaxCopySpan = 512;

struct RecordLayout {
  const FieldSpec* fields;  // in the order they are stored, by ascending offset
  std::uint8_t count;
  // The bytes [copy_begin, copy_end) of the record that every complete read
  // of it takes: every numeric field, every string up to where the next
  // field starts, and the first element of a last string or wide text. They
  // lie on at most two pages, the first and the last of which a read field
  // by field touches anyway, so one copy of them reads no page more.
  std::uint16_t copy_begin;
  std::uint16_t copy_end;
  // Whether the last field is a string or wide text that runs on to its
  // terminator (or the cap) past copy_end.
  bool open_end;
};

// The layout of a type index, or nullptr when the index has none.
const RecordLayout* FindLayout(std::int32_t type_index);

// Type indices that have a layout, in ascending order.
extern const std::int32_t kTypesWithLayout[];
extern const int kTypesWithLayoutCount;

// Width in bytes of a numeric kind; 0 for strings and wide texts.
constexpr int FieldWidth(FieldKind kind) {
  switch (kind) {
    case FieldKind::kU8:
    case FieldKind::kI8:
      return 1;
    case FieldKind::kI16:
      return 2;
    case FieldKind::kI32:
    case FieldKind::kU32:
    case FieldKind::kColour:
      return 4;
    case FieldKind::kString:
    case FieldKind::kWideText:
      break;
  }
  return 0;
}

// Bytes per element of a string (1) or wide text (2); 0 for numbers.
constexpr std::uint32_t TextUnit(FieldKind kind) {
  return kind == FieldKind::kWideText ? 2u : kind == FieldKind::kString ? 1u : 0u;
}

// How many bytes a string or wide text at fields[i] may take: up to where
// the next field starts, or `cap` bytes when no field follows it.
std::uint32_t TextBound(const RecordLayout& layout, int i, std::uint32_t cap);

}  // namespace quorvane

#endif
