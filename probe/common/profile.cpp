#include "probe/common/profile.h"

#include <vector>

#include "config/address_profile.h"
#include "platform/platform.h"
#include "platform/tool_system.h"
#include "probe/common/system_text.h"

namespace probe {

namespace {

bool IsFullPath(const std::string& path) {
  if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && path[0] == path[1]) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

bool ContainsName(const std::vector<std::string>& names, const std::string& wanted) {
  for (const std::string& name : names) {
    if (quorvane::SameNameIgnoringCase(name, wanted)) return true;
  }
  return false;
}

std::string ReadValue(const std::string& path, const char* section, const char* key) {
  char value[quorvane::kProfileValueSize];
  quorvane::ReadProfileString(path.c_str(), section, key, value);
  return value;
}

}  // namespace

bool ReadProfile(const std::string& given_path, ProfileInfo* info, std::string* error) {
  info->given_path = given_path;
  info->relative = !IsFullPath(given_path);
  if (!quorvane::FullPathName(given_path, &info->path)) {
    *error = "bad profile path " + given_path;
    return false;
  }

  unsigned long code = 0;
  if (!quorvane::CanOpenFileForReading(info->path, &code)) {
    *error = "cannot read the profile " + info->path + ": " + ErrorText(code);
    return false;
  }

  info->version = ReadValue(info->path, quorvane::kConfigSection, quorvane::kVersionKey);
  info->module = ReadValue(info->path, quorvane::kConfigSection, quorvane::kModuleKey);
  const std::vector<std::string> config_keys =
      quorvane::ProfileKeyNames(info->path, quorvane::kConfigSection);
  for (const char* key : {quorvane::kVersionKey, quorvane::kModuleKey}) {
    const std::string& value = key == quorvane::kVersionKey ? info->version : info->module;
    if (!value.empty()) continue;
    *error = info->path + ": " +
             (ContainsName(config_keys, key) ? std::string(key) + " in [Config] is empty"
                                               : "no " + std::string(key) + " in [Config]") +
             ", so GetAddress gives nil";
    return false;
  }

  const std::vector<std::string> sections = quorvane::ProfileSectionNames(info->path);
  info->section_found = ContainsName(sections, info->version);
  info->sections = sections;
  info->offsets = ReadSectionOffsets(info->path, info->version);
  return true;
}

std::vector<ProfileOffset> ReadSectionOffsets(const std::string& path, const std::string& section) {
  const std::vector<std::string> keys = quorvane::ProfileKeyNames(path, section);
  std::vector<ProfileOffset> offsets;
  for (const char* key : quorvane::kOffsetKeys) {
    const std::string value = ReadValue(path, section.c_str(), key);
    const bool present = ContainsName(keys, key);
    const std::size_t length = present ? quorvane::ProfileValueLength(path, section, key) : 0;
    offsets.push_back({key, quorvane::ReadHexOffset(present, value.c_str(), length)});
  }
  return offsets;
}

bool HasSection(const ProfileInfo& info, const std::string& section) {
  return ContainsName(info.sections, section);
}

}  // namespace probe
