// What quorvane-probe found out: the profile as GetAddress reads it, the
// process examined and each walk through its memory. Filled by profile.cpp,
// process.cpp and walk.cpp; printed as text or JSON by output.cpp.
#ifndef QUORVANE_PROBE_CHECK_CHECK_REPORT_H
#define QUORVANE_PROBE_CHECK_CHECK_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/hex_notes.h"
#include "probe/common/text.h"
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

struct ProfileOffset {
  std::string key;
  quorvane::HexReading reading;
};

struct ProfileInfo {
  std::string given_path;  // as on the command line
  std::string path;        // the full path read
  bool relative = false;   // the given path was not a full one
  std::string version;     // as read: the layout section's name
  std::string module;
  bool section_found = false;
  std::vector<ProfileOffset> offsets;  // ObjectAddressList, ObjectDataOffset, TextBufferAddress
  std::vector<std::string> sections;   // every section of the profile, in file order
};

// The address table as GetAddress made it, with the module's base looked up
// in the examined process.
struct AddressTable {
  std::uint32_t module_base = 0;
  std::uint32_t object_address_list = 0;
  std::uint32_t object_data_offset = 0;
  std::uint32_t text_buffer_address = 0;
};

struct ProcessInfo {
  std::uint32_t pid = 0;
  std::string name;  // executable file name, when known
  // When the profile's module is not loaded: whether the modules could be
  // listed, how many are loaded and those whose names are close to it.
  bool modules_listed = false;
  std::size_t loaded_modules = 0;
  std::vector<std::string> close_modules;
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

// A field whose value a host would not hold (see finder/plausibility.h): the
// walk reached a record, but maybe not the right one.
struct Implausible {
  std::string field;
  std::uint32_t offset;  // in the record
  std::string what;
};

struct Walk {
  bool text_buffer = false;   // GetTextbufferString, not GetObjectData
  std::int32_t type = 0;      // the type index, for GetObjectData
  std::vector<Step> steps;
  std::vector<FieldValue> fields;
  bool ok = false;
  Stop stop;  // when !ok
  std::vector<Implausible> implausible;  // when ok: the record's doubtful fields
};

struct Report {
  ProfileInfo profile;
  bool has_process = false;
  ProcessInfo process;
  AddressTable table;
  std::vector<Walk> walks;  // object walks in type order, then the text buffer

  bool AllWalksOk() const {
    for (const Walk& w : walks) {
      if (!w.ok) return false;
    }
    return true;
  }
};

}  // namespace probe

#endif
