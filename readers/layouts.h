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

struct RecordLayout {
  const FieldSpec* fields;  // in the order they are stored
  std::uint8_t count;
};

// The layout of a type index, or nullptr when the index has none.
const RecordLayout* FindLayout(std::int32_t type_index);

// Type indices that have a layout, in ascending order.
extern const std::int32_t kTypesWithLayout[];
extern const int kTypesWithLayoutCount;

// Width in bytes of a numeric kind; 0 for strings and wide texts.
int FieldWidth(FieldKind kind);

// How many bytes a string or wide text at fields[i] may take: up to where
// the next field starts, or `cap` bytes when no field follows it.
std::uint32_t TextBound(const RecordLayout& layout, int i, std::uint32_t cap);

}  // namespace quorvane

#endif
