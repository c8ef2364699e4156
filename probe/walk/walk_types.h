// What a walk through host memory meets: the places it passes (hops and
// steps, each with its name), the fields it decodes and where and why it
// stops. Filled by walk.cpp; shown by walk_output.cpp and in the commands'
// reports.
#ifndef QUORVANE_PROBE_WALK_WALK_TYPES_H
#define QUORVANE_PROBE_WALK_WALK_TYPES_H

#include <cstdint>
#include <string>
#include <vector>

#include "readers/layouts.h"

namespace probe {

// The places a walk passes: where it may stop (a hop) and what it reached
// (a step). One table names each: its code in the JSON report and its title
// in the text one.
enum class Hop : std::uint8_t {
  kNone,           // no stop
  kModule,         // the profile's module in the examined process
  kAddressTable,   // the table GetAddress made
  kLayout,         // the type's record layout
  kSlot,           // the type's slot in the object address list
  kStructure,      // the structure the slot points to
  kRecordPointer,  // the structure's pointer to its current record
  kRecord,         // the record
  kTextBuffer,     // the text buffer
};

// Why a walk stopped.
enum class StopReason : std::uint8_t {
  kNone,
  kNotLoaded,       // the module is not loaded
  kZeroField,       // an address-table field is 0
  kNoLayout,        // the type has no record layout
  kZero,            // a slot or record pointer holds 0
  kUnreadable,      // host memory cannot be read
  kNotConvertible,  // a wide text has no ANSI form
  kLuaError,        // Lua raised (out of memory)
};

struct HopName {
  Hop hop;
  const char* code;   // "record_pointer"
  const char* title;  // "record pointer"
};
inline constexpr HopName kHopNames[] = {
    {Hop::kNone, "", "?"},
    {Hop::kModule, "module", "module"},
    {Hop::kAddressTable, "address_table", "address table"},
    {Hop::kLayout, "layout", "layout"},
    {Hop::kSlot, "slot", "slot"},
    {Hop::kStructure, "structure", "structure"},
    {Hop::kRecordPointer, "record_pointer", "record pointer"},
    {Hop::kRecord, "record", "record"},
    {Hop::kTextBuffer, "text_buffer", "text buffer"},
};

struct StopReasonName {
  StopReason reason;
  const char* code;
};
inline constexpr StopReasonName kStopReasonNames[] = {
    {StopReason::kNone, ""},
    {StopReason::kNotLoaded, "not_loaded"},
    {StopReason::kZeroField, "zero_field"},
    {StopReason::kNoLayout, "no_layout"},
    {StopReason::kZero, "zero"},
    {StopReason::kUnreadable, "unreadable"},
    {StopReason::kNotConvertible, "not_convertible"},
    {StopReason::kLuaError, "lua_error"},
};

inline const HopName& NameOf(Hop hop) {
  for (const HopName& name : kHopNames) {
    if (name.hop == hop) return name;
  }
  return kHopNames[0];
}
inline const char* HopCode(Hop hop) { return NameOf(hop).code; }
inline const char* HopTitle(Hop hop) { return NameOf(hop).title; }

inline const char* StopReasonCode(StopReason reason) {
  for (const StopReasonName& name : kStopReasonNames) {
    if (name.reason == reason) return name.code;
  }
  return "";
}

// The address table as GetAddress made it, with the module's base looked up
// in the examined process.
struct AddressTable {
  std::uint32_t module_base = 0;
  std::uint32_t object_address_list = 0;
  std::uint32_t object_data_offset = 0;
  std::uint32_t text_buffer_address = 0;
};

// One place reached on a walk: a list slot and the pointer it holds, the
// structure it points to, the record pointer and its value, the record.
struct Step {
  Hop name;  // slot, structure, record pointer, record or text buffer
  std::uint32_t address;
  bool has_value;
  std::uint32_t value;
};

struct FieldValue {
  const char* name;
  quorvane::FieldKind kind;
  std::uint32_t offset;   // in the record
  std::uint32_t address;  // in the host
  bool is_text;
  double number;
  std::string text;  // ANSI, as the module returns it
};

// Where and why a walk ended before the module would return a value.
struct Stop {
  Hop hop = Hop::kNone;
  StopReason reason = StopReason::kNone;
  std::string field;   // the address-table or record field concerned, if any
  // For kUnreadable: what the memory map says of the first byte that cannot
  // be read: "reserved", "free", "guard_page", "no_access" or
  // "past_application_range"; empty when it does not say.
  std::string cause;
  bool has_address = false;
  std::uint32_t address = 0;
  std::string message;  // one line for a person
};

// A field whose value a host would not hold, or a text buffer that does not
// start where a buffer starts (see finder/plausibility.h): the walk reached
// data, but maybe not the right data.
struct Implausible {
  std::string field;     // the text buffer's: "text"
  std::uint32_t offset;  // in the record; 0 for the text buffer
  std::string what;
};

struct Walk {
  bool text_buffer = false;   // GetTextbufferString, not GetObjectData
  std::int32_t type = 0;      // the type index, for GetObjectData
  std::vector<Step> steps;
  std::vector<FieldValue> fields;
  bool ok = false;
  Stop stop;  // when !ok
  std::vector<Implausible> implausible;  // when ok: the doubtful fields, or the buffer's start
};

}  // namespace probe

#endif
