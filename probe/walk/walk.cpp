#include "probe/walk/walk.h"

#include <vector>

#include "config/address_profile.h"
#include "finder/plausibility.h"
#include "module/lua_helpers.h"
#include "platform/host_scan.h"
#include "platform/platform.h"
#include "probe/common/text.h"
#include "readers/host_runs.h"
#include "readers/host_strings.h"
#include "readers/host_words.h"
#include "readers/readers.h"

namespace probe {

namespace {

using quorvane::FieldKind;
using quorvane::RecordLayout;

// More fields than any layout has.
constexpr int kMaxDecodedFields = 32;

// Where the decoded record is kept until its strings have been copied out.
constexpr const char* kAnchor = "quorvane-probe.decoded";

// A value read back from the Lua table the module's reader made. `text`
// points into a Lua string that stays anchored in the registry.
struct DecodedValue {
  int lua_type;
  lua_Number number;
  const char* text;
  std::size_t length;
};

// What one protected decoding does. Plain data only: it crosses lua_cpcall,
// and a Lua error may cut the decoding short at any call.
struct DecodeJob {
  enum Mode { kRecord, kString, kWideText } mode;
  std::uint32_t address;
  std::uint32_t bound;         // kString, kWideText: bytes at most
  const RecordLayout* layout;  // kRecord
  bool ok;
  int count;
  DecodedValue values[kMaxDecodedFields];
};

void TakeValue(lua_State* L, DecodedValue* value) {
  value->lua_type = lua_type(L, -1);
  value->number = value->lua_type == LUA_TNUMBER ? lua_tonumber(L, -1) : 0;
  value->text = nullptr;
  value->length = 0;
  if (value->lua_type == LUA_TSTRING) value->text = lua_tolstring(L, -1, &value->length);
}

int DecodeProtected(lua_State* L) {
  DecodeJob* job = static_cast<DecodeJob*>(lua_touserdata(L, 1));
  job->ok = false;
  job->count = 0;
  if (job->mode == DecodeJob::kRecord) {
    if (job->layout->count > kMaxDecodedFields) return 0;
    if (!quorvane::PushObjectRecord(L, job->address, *job->layout)) return 0;
    // Read back in layout order; the strings stay in the table.
    for (int i = 0; i < job->layout->count; ++i) {
      lua_getfield(L, -1, job->layout->fields[i].name);
      TakeValue(L, &job->values[i]);
      lua_pop(L, 1);
    }
    job->count = job->layout->count;
  } else {
    const bool pushed = job->mode == DecodeJob::kWideText
                            ? quorvane::PushHostWideText(L, job->address, job->bound)
                            : quorvane::PushHostString(L, job->address, job->bound);
    if (!pushed) return 0;
    TakeValue(L, &job->values[0]);
    job->count = 1;
  }
  lua_setfield(L, LUA_REGISTRYINDEX, kAnchor);
  job->ok = true;
  return 0;
}

// Runs the job protected. A Lua error (out of memory) counts as a failed
// decoding; its message goes to `error`.
bool Decode(lua_State* L, DecodeJob* job, std::string* error) {
  const int top = lua_gettop(L);
  if (lua_cpcall(L, DecodeProtected, job) != 0) {
    const char* message = lua_tostring(L, -1);
    *error = message != nullptr ? message : "Lua error";
    lua_settop(L, top);
    return false;
  }
  lua_settop(L, top);
  return job->ok;
}

struct AddressJob {
  const char* path;
  bool got;
  lua_Number fields[4];
};

int MakeAddressTableProtected(lua_State* L) {
  AddressJob* job = static_cast<AddressJob*>(lua_touserdata(L, 1));
  lua_pushcfunction(L, quorvane::GetAddress);
  lua_pushstring(L, job->path);
  lua_call(L, 1, 1);
  job->got = lua_istable(L, -1) != 0;
  if (!job->got) return 0;
  const char* const names[] = {quorvane::kModuleAddressField, quorvane::kObjectAddressListKey,
                               quorvane::kObjectDataOffsetKey, quorvane::kTextBufferAddressKey};
  for (int i = 0; i < 4; ++i) {
    lua_getfield(L, -1, names[i]);
    job->fields[i] = lua_tonumber(L, -1);
    lua_pop(L, 1);
  }
  return 0;
}

// Follows a run of `unit`-byte elements up to its terminator or `max_bytes`
// as the module's string readers do. Returns false, with the first byte that
// cannot be read, when the run does not lie in readable memory.
bool RunIsReadable(std::uint32_t address, std::uint32_t unit, std::uint32_t max_bytes,
                   std::uint32_t* bad) {
  std::vector<std::uint8_t> buffer(quorvane::kHostPageSize);
  const quorvane::RunExtent extent = quorvane::FindRunEnd(
      address, unit, max_bytes,
      [&](std::uint32_t at, std::uint32_t, std::uint32_t chunk) -> const std::uint8_t* {
        return quorvane::ReadHostMemory(at, buffer.data(), chunk) ? buffer.data() : nullptr;
      });
  if (extent.end != quorvane::RunEnd::kUnreadable) return true;
  *bad = FirstUnreadable(address + extent.length, unit);
  return false;
}

Walk Stopped(Walk walk, Hop hop, StopReason reason, std::string message) {
  walk.ok = false;
  walk.stop.hop = hop;
  walk.stop.reason = reason;
  walk.stop.message = std::move(message);
  return walk;
}

Walk StoppedAt(Walk walk, Hop hop, StopReason reason, std::uint32_t address,
               std::string message) {
  walk.stop.has_address = true;
  walk.stop.address = address;
  return Stopped(std::move(walk), hop, reason, std::move(message));
}

// Why a page cannot be read, as the memory map says it.
struct PageCause {
  quorvane::PageState state;
  const char* cause;   // Stop::cause
  const char* phrase;  // for the message
};
constexpr PageCause kPageCauses[] = {
    {quorvane::PageState::kReserved, "reserved", "reserved memory, not committed"},
    {quorvane::PageState::kFree, "free", "free memory: nothing is allocated there"},
    {quorvane::PageState::kGuard, "guard_page", "a guard page, left untouched"},
    {quorvane::PageState::kNoAccess, "no_access", "a page without read access"},
    {quorvane::PageState::kPastApplicationRange, "past_application_range",
     "past the highest application address"},
};

const PageCause* CauseOf(std::uint32_t address) {
  const quorvane::PageState state = quorvane::QueryHostPage(address);
  for (const PageCause& page : kPageCauses) {
    if (page.state == state) return &page;
  }
  return nullptr;
}

// The walk stops at `address` because host byte `bad` cannot be read; the
// memory map names why.
Walk StoppedUnreadable(Walk walk, Hop hop, std::uint32_t address, std::uint32_t bad,
                       std::string message) {
  const PageCause* page = CauseOf(bad);
  if (page != nullptr) {
    walk.stop.cause = page->cause;
    message += std::string(" (") + page->phrase + ")";
  }
  return StoppedAt(std::move(walk), hop, StopReason::kUnreadable, address, std::move(message));
}

std::string NotLoaded(const WalkContext& context) {
  return context.module + " is not loaded in process " + std::to_string(context.pid);
}

std::string FieldIsZero(const char* field) {
  return std::string(field) + " is 0 in the address table";
}

// Names the field of a record that the module's reader could not decode.
// The reader copies the record in one piece, so the field is found here
// field by field: the numeric fields first, then the texts in order.
Walk DiagnoseRecord(lua_State* L, Walk walk, std::uint32_t record, const RecordLayout& layout) {
  for (int i = 0; i < layout.count; ++i) {
    const quorvane::FieldSpec& field = layout.fields[i];
    const int width = quorvane::FieldWidth(field.kind);
    if (width == 0) continue;
    std::uint8_t bytes[4];
    const std::uint32_t at = record + field.offset;
    if (!quorvane::ReadHostMemory(at, bytes, static_cast<std::uint32_t>(width))) {
      const std::uint32_t bad = FirstUnreadable(at, static_cast<std::uint32_t>(width));
      walk.stop.field = field.name;
      return StoppedUnreadable(std::move(walk), Hop::kRecord, bad, bad,
                               "field \"" + std::string(field.name) + "\" at " + Hex(at) +
                                   " (record + " + std::to_string(field.offset) + "): " +
                                   Hex(bad) + " cannot be read");
    }
  }
  for (int i = 0; i < layout.count; ++i) {
    const quorvane::FieldSpec& field = layout.fields[i];
    if (quorvane::FieldWidth(field.kind) > 0) continue;
    const bool wide = field.kind == FieldKind::kWideText;
    const std::uint32_t unit = wide ? 2 : 1;
    const std::uint32_t at = record + field.offset;
    DecodeJob job{};
    job.mode = wide ? DecodeJob::kWideText : DecodeJob::kString;
    job.address = at;
    job.bound = quorvane::TextBound(layout, i, quorvane::kMaxTextElements * unit);
    std::string lua_error;
    if (Decode(L, &job, &lua_error)) continue;
    walk.stop.field = field.name;
    const std::string where = "field \"" + std::string(field.name) + "\" at " + Hex(at) +
                              " (record + " + std::to_string(field.offset) + ")";
    std::uint32_t bad = at;
    if (!RunIsReadable(at, unit, job.bound, &bad)) {
      return StoppedUnreadable(std::move(walk), Hop::kRecord, bad, bad,
                               where + ": " + Hex(bad) + " cannot be read");
    }
    if (!lua_error.empty()) {
      return StoppedAt(std::move(walk), Hop::kRecord, StopReason::kLuaError, at, where + ": " + lua_error);
    }
    return StoppedAt(std::move(walk), Hop::kRecord, wide ? StopReason::kNotConvertible : StopReason::kUnreadable, at,
                     where + (wide ? ": the wide text cannot be converted to the ANSI code page"
                                   : ": cannot be read"));
  }
  return StoppedUnreadable(std::move(walk), Hop::kRecord, record,
                           FirstUnreadable(record + layout.copy_begin,
                                           layout.copy_end - layout.copy_begin),
                           "the record at " + Hex(record) + " cannot be read");
}

}  // namespace

std::uint32_t FirstUnreadable(std::uint32_t address, std::uint32_t size) {
  // Pages are readable as a whole, so one byte per page tells.
  for (std::uint32_t offset = 0; offset < size;) {
    const std::uint32_t at = address + offset;
    std::uint8_t byte;
    if (!quorvane::ReadHostMemory(at, &byte, 1)) return at;
    offset += quorvane::kHostPageSize - at % quorvane::kHostPageSize;
  }
  return address;
}

std::string UnreadablePage(std::uint32_t address) {
  const PageCause* page = CauseOf(address);
  return page != nullptr ? page->phrase : "";
}

bool MakeAddressTable(lua_State* L, const std::string& path, AddressTable* table,
                      std::string* error) {
  AddressJob job{};
  job.path = path.c_str();
  const int top = lua_gettop(L);
  if (lua_cpcall(L, MakeAddressTableProtected, &job) != 0) {
    const char* message = lua_tostring(L, -1);
    *error = std::string("GetAddress raised: ") + (message != nullptr ? message : "Lua error");
    lua_settop(L, top);
    return false;
  }
  lua_settop(L, top);
  if (!job.got) {
    *error = path + ": GetAddress gives nil for this profile";
    return false;
  }
  table->module_base = quorvane::HostAddressFromNumber(job.fields[0]);
  table->object_address_list = quorvane::HostAddressFromNumber(job.fields[1]);
  table->object_data_offset = quorvane::HostAddressFromNumber(job.fields[2]);
  table->text_buffer_address = quorvane::HostAddressFromNumber(job.fields[3]);
  return true;
}

Walk WalkObject(lua_State* L, const WalkContext& context, std::int32_t type) {
  const AddressTable& t = context.table;
  Walk walk;
  walk.type = type;
  // GetObjectData gives nil for a zero field before it looks at anything else.
  if (t.module_base == 0) return Stopped(std::move(walk), Hop::kModule, StopReason::kNotLoaded, NotLoaded(context));
  for (const auto& [value, name] :
       {std::pair{t.object_address_list, quorvane::kObjectAddressListKey},
        std::pair{t.object_data_offset, quorvane::kObjectDataOffsetKey}}) {
    if (value != 0) continue;
    walk.stop.field = name;
    return Stopped(std::move(walk), Hop::kAddressTable, StopReason::kZeroField, FieldIsZero(name));
  }
  const RecordLayout* layout = quorvane::FindLayout(type);
  if (layout == nullptr) {
    return Stopped(std::move(walk), Hop::kLayout, StopReason::kNoLayout,
                   "type " + std::to_string(type) +
                       " has no record layout: GetObjectData gives nil without reading");
  }

  using quorvane::ChainStop;
  const quorvane::ObjectChain chain = quorvane::FollowObjectChain(
      t.module_base, t.object_address_list, t.object_data_offset, type);
  const std::uint32_t slot_address = chain.slot_address, slot = chain.structure;
  if (chain.stop == ChainStop::kSlotUnreadable) {
    return StoppedUnreadable(std::move(walk), Hop::kSlot, slot_address,
                             FirstUnreadable(slot_address, 4),
                             "the slot at " + Hex(slot_address) + " (module + " +
                                 Hex(t.object_address_list) + " + 4 x " +
                                 std::to_string(type) + ") cannot be read");
  }
  walk.steps.push_back({Hop::kSlot, slot_address, true, slot});
  if (chain.stop == ChainStop::kSlotZero) {
    return StoppedAt(std::move(walk), Hop::kSlot, StopReason::kZero, slot_address,
                     "the slot at " + Hex(slot_address) + " is 0: no entry for type " +
                         std::to_string(type));
  }
  walk.steps.push_back({Hop::kStructure, slot, false, 0});

  const std::uint32_t pointer_address = chain.pointer_address, record = chain.record;
  if (chain.stop == ChainStop::kPointerUnreadable) {
    return StoppedUnreadable(std::move(walk), Hop::kRecordPointer, pointer_address,
                             FirstUnreadable(pointer_address, 4),
                             "the record pointer at " + Hex(pointer_address) + " (structure + " +
                                 Hex(t.object_data_offset) + ") cannot be read");
  }
  walk.steps.push_back({Hop::kRecordPointer, pointer_address, true, record});
  if (chain.stop == ChainStop::kPointerZero) {
    return StoppedAt(std::move(walk), Hop::kRecordPointer, StopReason::kZero, pointer_address,
                     "the record pointer at " + Hex(pointer_address) +
                         " is 0: no current record of type " + std::to_string(type));
  }
  walk.steps.push_back({Hop::kRecord, record, false, 0});

  DecodeJob job{};
  job.mode = DecodeJob::kRecord;
  job.address = record;
  job.layout = layout;
  std::string lua_error;
  if (!Decode(L, &job, &lua_error)) return DiagnoseRecord(L, std::move(walk), record, *layout);
  for (int i = 0; i < job.count; ++i) {
    const quorvane::FieldSpec& layout_field = layout->fields[i];
    const DecodedValue& value = job.values[i];
    FieldValue field{layout_field.name, layout_field.kind, layout_field.offset, record + layout_field.offset,
                     value.lua_type == LUA_TSTRING, value.number, std::string()};
    if (field.is_text) field.text.assign(value.text, value.length);
    walk.fields.push_back(std::move(field));
  }
  // The module reads whatever lies there; the same judgement as the finder's
  // says whether it looks like a record of this type.
  finder::HostView view;
  for (const finder::FieldIssue& issue : finder::CheckRecord(view, record, type).issues) {
    walk.implausible.push_back({issue.field, issue.offset, issue.what});
  }
  walk.ok = true;
  return walk;
}

std::vector<Walk> WalkEveryType(lua_State* L, const WalkContext& context) {
  std::vector<Walk> walks;
  for (int i = 0; i < quorvane::kTypesWithLayoutCount; ++i) {
    walks.push_back(WalkObject(L, context, quorvane::kTypesWithLayout[i]));
  }
  return walks;
}

Walk WalkTextBuffer(lua_State* L, const WalkContext& context) {
  const AddressTable& t = context.table;
  Walk walk;
  walk.text_buffer = true;
  if (t.module_base == 0) return Stopped(std::move(walk), Hop::kModule, StopReason::kNotLoaded, NotLoaded(context));
  if (t.text_buffer_address == 0) {
    walk.stop.field = quorvane::kTextBufferAddressKey;
    return Stopped(std::move(walk), Hop::kAddressTable, StopReason::kZeroField,
                   FieldIsZero(quorvane::kTextBufferAddressKey));
  }
  const std::uint32_t address = t.module_base + t.text_buffer_address;
  walk.steps.push_back({Hop::kTextBuffer, address, false, 0});

  DecodeJob job{};
  job.mode = DecodeJob::kWideText;
  job.address = address;
  job.bound = quorvane::kMaxTextElements * 2;
  std::string lua_error;
  if (!Decode(L, &job, &lua_error)) {
    std::uint32_t bad = address;
    if (!RunIsReadable(address, 2, job.bound, &bad)) {
      return StoppedUnreadable(std::move(walk), Hop::kTextBuffer, bad, bad,
                               "the text buffer at " + Hex(address) + " (module + " +
                                   Hex(t.text_buffer_address) + "): " + Hex(bad) +
                                   " cannot be read");
    }
    if (!lua_error.empty()) {
      return StoppedAt(std::move(walk), Hop::kTextBuffer, StopReason::kLuaError, address, lua_error);
    }
    return StoppedAt(std::move(walk), Hop::kTextBuffer, StopReason::kNotConvertible, address,
                     "the text at " + Hex(address) +
                         " cannot be converted to the ANSI code page");
  }
  walk.fields.push_back({"text", FieldKind::kWideText, t.text_buffer_address, address, true, 0,
                         std::string(job.values[0].text, job.values[0].length)});
  // The module reads text wherever the address leads; the finder's
  // judgement says whether a buffer starts there.
  finder::HostView view;
  const std::string start = finder::CheckBufferStart(view, address);
  if (!start.empty()) walk.implausible.push_back({"text", 0, start});
  walk.ok = true;
  return walk;
}

}  // namespace probe
