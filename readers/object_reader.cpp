#include <algorithm>
#include <cstdint>

#include "config/address_profile.h"
#include "module/lua_helpers.h"
#include "platform/platform.h"
#include "readers/host_strings.h"
#include "readers/readers.h"

namespace quorvane {

namespace {

// Room for the numeric fields of any layout, read in one go.
constexpr std::uint32_t kNumericBlockSize = 64;

std::uint32_t LoadU16(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0] | at[1] << 8);
}

std::uint32_t LoadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

bool ReadHostU32(std::uint32_t address, std::uint32_t* value) {
  std::uint8_t bytes[4];
  if (!ReadHostMemory(address, bytes, sizeof bytes)) return false;
  *value = LoadU32(bytes);
  return true;
}

lua_Number DecodeNumber(FieldKind kind, const std::uint8_t* at) {
  switch (kind) {
    case FieldKind::kU8:
      return at[0];
    case FieldKind::kI8:
      return static_cast<std::int8_t>(at[0]);
    case FieldKind::kI16:
      return static_cast<std::int16_t>(LoadU16(at));
    case FieldKind::kI32:
      return static_cast<std::int32_t>(LoadU32(at));
    case FieldKind::kU32:
      return LoadU32(at);
    case FieldKind::kColour:
      return SwapRedBlue(LoadU32(at));
    case FieldKind::kString:
    case FieldKind::kWideText:
      break;
  }
  return 0;
}

// The span [begin, end) of the record that the numeric fields cover.
void NumericSpan(const RecordLayout& layout, std::uint32_t* begin, std::uint32_t* end) {
  *begin = 0;
  *end = 0;
  bool any = false;
  for (int i = 0; i < layout.count; ++i) {
    const int width = FieldWidth(layout.fields[i].kind);
    if (width == 0) continue;
    const std::uint32_t offset = layout.fields[i].offset;
    *begin = any ? std::min(*begin, offset) : offset;
    *end = std::max(*end, offset + static_cast<std::uint32_t>(width));
    any = true;
  }
}

bool PushText(lua_State* L, FieldKind kind, std::uint32_t address, std::uint32_t bound) {
  return kind == FieldKind::kWideText ? PushHostWideText(L, address, bound)
                                      : PushHostString(L, address, bound);
}

}  // namespace

bool PushObjectRecord(lua_State* L, std::uint32_t record, const RecordLayout& layout) {
  lua_createtable(L, 0, layout.count);
  // All numeric fields come from one copy of the part of the record that
  // holds them; strings are read on their own, up to their terminator.
  std::uint8_t block[kNumericBlockSize];
  std::uint32_t begin, end;
  NumericSpan(layout, &begin, &end);
  if (end - begin > sizeof block) return false;
  if (end > begin && !ReadHostMemory(record + begin, block, end - begin)) return false;

  for (int i = 0; i < layout.count; ++i) {
    const FieldSpec& field = layout.fields[i];
    if (FieldWidth(field.kind) > 0) {
      SetNumberField(L, field.name, DecodeNumber(field.kind, block + (field.offset - begin)));
      continue;
    }
    const std::uint32_t unit = field.kind == FieldKind::kWideText ? 2 : 1;
    const std::uint32_t bound = TextBound(layout, i, kMaxTextElements * unit);
    if (!PushText(L, field.kind, record + field.offset, bound)) return false;
    lua_setfield(L, -2, field.name);
  }
  return true;
}

int GetObjectData(lua_State* L) {
  static const char kName[] = "GetObjectData";
  std::int32_t type_index = 0;
  const bool names_a_type = CheckTypeIndex(L, 2, kName, &type_index);
  CheckIndexable(L, 1, kName);
  lua_getfield(L, 1, kObjectAddressListKey);
  lua_getfield(L, 1, kObjectDataOffsetKey);
  lua_getfield(L, 1, kModuleAddressField);
  const std::uint32_t list = CheckAddressField(L, -3, 1, kName, kObjectAddressListKey);
  const std::uint32_t data_offset = CheckAddressField(L, -2, 1, kName, kObjectDataOffsetKey);
  const std::uint32_t base = CheckAddressField(L, -1, 1, kName, kModuleAddressField);
  lua_settop(L, -4);
  if (list == 0 || data_offset == 0 || base == 0) return 0;

  const RecordLayout* layout = names_a_type ? FindLayout(type_index) : nullptr;
  if (layout == nullptr) return 0;
  // Sums of host addresses wrap modulo 2^32.
  const std::uint32_t slot_address = base + list + 4u * static_cast<std::uint32_t>(type_index);
  std::uint32_t slot, record;
  if (!ReadHostU32(slot_address, &slot) || slot == 0) return 0;
  if (!ReadHostU32(slot + data_offset, &record) || record == 0) return 0;

  const int top = lua_gettop(L);
  if (!PushObjectRecord(L, record, *layout)) {
    lua_settop(L, top);
    return 0;
  }
  return 1;
}

}  // namespace quorvane
