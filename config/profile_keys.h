// The names of the address profile's section and keys and of the address
// table's fields. No Lua here: the probe's reports name the keys without
// reading a profile.
#ifndef QUORVANE_CONFIG_PROFILE_KEYS_H
#define QUORVANE_CONFIG_PROFILE_KEYS_H

namespace quorvane {

// The section that names the host module and the layout section, and its
// two keys.
inline constexpr const char* kConfigSection = "Config";
inline constexpr const char* kVersionKey = "Version";
inline constexpr const char* kModuleKey = "Module";

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
