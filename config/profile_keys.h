// The names an address profile and the address table share. No Lua here:
// the probe's reports name the keys without reading a profile.
#ifndef QUORVANE_CONFIG_PROFILE_KEYS_H
#define QUORVANE_CONFIG_PROFILE_KEYS_H

namespace quorvane {

// Names of the address table's fields; the three offsets are also the keys
// of the layout section.
inline constexpr const char* kModuleAddressField = "ModuleAddress";
inline constexpr const char* kObjectAddressListKey = "ObjectAddressList";
inline constexpr const char* kObjectDataOffsetKey = "ObjectDataOffset";
inline constexpr const char* kTextBufferAddressKey = "TextBufferAddress";
inline constexpr const char* kOffsetKeys[] = {
    kObjectAddressListKey, kObjectDataOffsetKey, kTextBufferAddressKey};

}  // namespace quorvane

#endif
