#include "probe/check/shared_stop.h"

#include <cstdint>

#include "config/profile_keys.h"
#include "probe/common/text.h"

namespace probe {

namespace {

struct Cause {
  Hop hop;
  StopReason reason;
  const char* what;     // what every walk met
  const char* keys[2];  // the offsets to check, most likely first
  const char* why;
};

// The stops that an offset shared by every walk explains.
constexpr Cause kCauses[] = {
    {Hop::kSlot, StopReason::kZero, "every slot is 0", {quorvane::kObjectAddressListKey, nullptr},
     "the list is likely elsewhere in the module; no type has an entry here"},
    {Hop::kSlot, StopReason::kUnreadable, "no slot can be read", {quorvane::kObjectAddressListKey, nullptr},
     "it likely leads out of the module's memory"},
    {Hop::kRecordPointer, StopReason::kZero, "every record pointer is 0", {quorvane::kObjectDataOffsetKey, nullptr},
     "the structures likely keep their record pointer at another offset"},
    {Hop::kRecordPointer, StopReason::kUnreadable, "no record pointer can be read",
     {quorvane::kObjectAddressListKey, quorvane::kObjectDataOffsetKey},
     "the slots likely hold no structure addresses (the list is elsewhere), or the offset "
     "into the structures is too large"},
    {Hop::kRecord, StopReason::kUnreadable, "no record can be read", {quorvane::kObjectDataOffsetKey, quorvane::kObjectAddressListKey},
     "the values read as record pointers are likely other fields of the structures"},
};

std::uint32_t Value(const AddressTable& table, const std::string& key) {
  if (key == quorvane::kObjectAddressListKey) return table.object_address_list;
  if (key == quorvane::kObjectDataOffsetKey) return table.object_data_offset;
  return table.text_buffer_address;
}

std::string Named(const std::vector<std::string>& keys, const AddressTable& table) {
  std::vector<std::string> named;
  for (const std::string& key : keys) named.push_back(key + " = " + Hex(Value(table, key)));
  return Join(named, ", or ");
}

}  // namespace

SharedStop FindSharedStop(const std::vector<Walk>& walks, const AddressTable& table) {
  SharedStop shared;
  const Walk* first = nullptr;
  for (const Walk& walk : walks) {
    if (walk.text_buffer) continue;
    if (walk.ok) return SharedStop();
    if (first == nullptr) {
      first = &walk;
    } else if (walk.stop.hop != first->stop.hop || walk.stop.reason != first->stop.reason ||
               (walk.stop.hop == Hop::kAddressTable && walk.stop.field != first->stop.field)) {
      return SharedStop();
    }
    ++shared.walks;
  }
  if (shared.walks < 2) return SharedStop();
  shared.hop = first->stop.hop;
  shared.reason = first->stop.reason;
  if (shared.hop == Hop::kModule) {
    shared.keys = {quorvane::kModuleKey};
    shared.what = "the module is not loaded";
    shared.cause = "Module in [Config]: compare it with the modules the host has loaded";
  } else if (shared.hop == Hop::kAddressTable) {
    shared.keys = {first->stop.field};
    shared.what = first->stop.field + " is 0 in the address table";
    shared.cause = first->stop.field + " in the profile: missing, 0, or not read as hexadecimal";
  } else {
    for (const Cause& cause : kCauses) {
      if (shared.hop != cause.hop || shared.reason != cause.reason) continue;
      for (const char* key : cause.keys) {
        if (key != nullptr) shared.keys.push_back(key);
      }
      shared.what = cause.what;
      shared.cause = Named(shared.keys, table) + ": " + cause.why;
    }
    if (shared.keys.empty()) return SharedStop();
  }
  shared.found = true;
  return shared;
}

}  // namespace probe
