// The walks through host memory: the hops before the record are taken one
// by one, so that each can be named when it fails; the record and the text
// buffer are decoded by the module's own readers.
#ifndef QUORVANE_PROBE_WALK_WALK_H
#define QUORVANE_PROBE_WALK_WALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "module/lua_api.h"
#include "probe/walk/walk_types.h"

namespace probe {

// What a walk needs to know besides host memory.
struct WalkContext {
  AddressTable table;
  std::string module;  // the profile's "Module"
  std::uint32_t pid = 0;
};

// Runs the module's GetAddress on the profile at `path` in `L` (the module's
// base is looked up in the examined process, if one is set). Returns false
// with a one-line `error` when GetAddress gives nil or raises.
bool MakeAddressTable(lua_State* L, const std::string& path, AddressTable* table,
                      std::string* error);

// GetObjectData(addressTable, type), hop by hop.
Walk WalkObject(lua_State* L, const WalkContext& context, std::int32_t type);

// GetObjectData(addressTable, type) for every type with a record layout, in
// type order.
std::vector<Walk> WalkEveryType(lua_State* L, const WalkContext& context);

// GetTextbufferString(addressTable).
Walk WalkTextBuffer(lua_State* L, const WalkContext& context);

// The first byte of [address, address + size) that cannot be read (when
// all can: `address`).
std::uint32_t FirstUnreadable(std::uint32_t address, std::uint32_t size);

// Why the host page at `address` cannot be read, as the memory map says it
// and a walk's stop names it ("a guard page, left untouched"); empty when
// the map does not say.
std::string UnreadablePage(std::uint32_t address);

}  // namespace probe

#endif
