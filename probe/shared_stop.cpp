#include "probe/shared_stop.h"

#include <cstdint>

namespace probe {

namespace {

struct Cause {
  const char* hop;
  const char* reason;
  const char* what;     // what every walk met
  const char* keys[2];  // the offsets to check, most likely first
  const char* why;
};

// The stops that an offset shared by every walk explains.
constexpr Cause kCauses[] = {
    {"slot", "zero", "every slot is 0", {"ObjectAddressList", nullptr},
     "the list is likely elsewhere in the module; no type has an entry here"},
    {"slot", "unreadable", "no slot can be read", {"ObjectAddressList", nullptr},
     "it likely leads out of the module's memory"},
    {"record_pointer", "zero", "every record pointer is 0", {"ObjectDataOffset", nullptr},
     "the structures likely keep their record pointer at another offset"},
    {"record_pointer", "unreadable", "no record pointer can be read",
     {"ObjectAddressList", "ObjectDataOffset"},
     "the slots likely hold no structure addresses (the list is elsewhere), or the offset "
     "into the structures is too large"},
    {"record", "unreadable", "no record can be read", {"ObjectDataOffset", "ObjectAddressList"},
     "the values read as record pointers are likely other fields of the structures"},
};

std::uint32_t Value(const AddressTable& table, const std::string& key) {
  if (key == "ObjectAddressList") return table.object_address_list;
  if (key == "ObjectDataOffset") return table.object_data_offset;
  return table.text_buffer_address;
}

std::string Named(const std::vector<std::string>& keys, const AddressTable& table) {
  std::string out;
  for (const std::string& key : keys) {
    out += (out.empty() ? "" : ", or ") + key + " = " + Hex(Value(table, key));
  }
  return out;
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
               (walk.stop.hop == "address_table" && walk.stop.field != first->stop.field)) {
      return SharedStop();
    }
    ++shared.walks;
  }
  if (shared.walks < 2) return SharedStop();
  shared.hop = first->stop.hop;
  shared.reason = first->stop.reason;
  if (shared.hop == "module") {
    shared.keys = {"Module"};
    shared.what = "the module is not loaded";
    shared.cause = "Module in [Config]: compare it with the modules the host has loaded";
  } else if (shared.hop == "address_table") {
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
