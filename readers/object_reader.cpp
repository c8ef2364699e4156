#include <algorithm>
#include <cstdint>

#include "config/address_profile.h"
#include "module/lua_helpers.h"
#include "platform/platform.h"
#include "readers/host_strings.h"
#include "readers/host_words.h"
#include "readers/readers.h"

namespace quorvane {

namespace {

// Room for the copy of a record: its span (kMaxCopySpan at most) and as much
// of a last string or wide text as the page it starts on holds, up to this
// many bytes more. A longer one is read on from where the copy ends.
constexpr std::uint32_t kTailBytes = 256;
constexpr std::uint32_t kRecordCopySize = kMaxCopySpan + kTailBytes;

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

// How many bytes to copy from record + copy_begin: the layout's span and,
// when a string or text runs on past it, the rest of the page its first
// element lies on, as far as the copy has room.
std::uint32_t CopySize(const RecordLayout& layout, std::uint32_t first) {
  const std::uint32_t span = static_cast<std::uint32_t>(layout.copy_end - layout.copy_begin);
  if (!layout.open_end) return span;
  const std::uint32_t last = first + span - 1;
  const std::uint32_t rest_of_page = kHostPageSize - 1 - last % kHostPageSize;
  return span + std::min(rest_of_page, kRecordCopySize - span);
}

}  // namespace

bool PushObjectRecord(lua_State* L, std::uint32_t record, const RecordLayout& layout) {
  lua_createtable(L, 0, layout.count);
  if (layout.count == 0) return true;
  // One copy holds every numeric field, every string bounded by the next
  // field and the start of a last one; only a last string or text longer
  // than the copy reads on, up to its terminator.
  alignas(8) std::uint8_t copy[kRecordCopySize];
  const std::uint32_t first = record + layout.copy_begin;
  const std::uint32_t copied = CopySize(layout, first);
  if (!ReadHostMemory(first, copy, copied)) return false;

  for (int i = 0; i < layout.count; ++i) {
    const FieldSpec& field = layout.fields[i];
    const std::uint8_t* at = copy + (field.offset - layout.copy_begin);
    if (FieldWidth(field.kind) > 0) {
      SetNumberField(L, field.name, DecodeNumber(field.kind, at));
      continue;
    }
    const std::uint32_t unit = TextUnit(field.kind);
    const std::uint32_t bound = TextBound(layout, i, kMaxTextElements * unit);
    const std::uint32_t in_copy = copied - (field.offset - layout.copy_begin);
    if (!PushHostRun(L, record + field.offset, unit, bound, reinterpret_cast<const char*>(at),
                     in_copy)) {
      return false;
    }
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
  const ObjectChain chain = FollowObjectChain(base, list, data_offset, type_index);
  if (chain.stop != ChainStop::kRecord) return 0;

  const int top = lua_gettop(L);
  if (!PushObjectRecord(L, chain.record, *layout)) {
    lua_settop(L, top);
    return 0;
  }
  return 1;
}

}  // namespace quorvane
