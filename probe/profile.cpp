#include "probe/profile.h"

#include <windows.h>

#include <vector>

#include "config/address_profile.h"
#include "platform/platform.h"
#include "probe/win_util.h"

namespace probe {

namespace {

// Room for a value in full, so that a cut can be noticed.
constexpr DWORD kFullValueSize = 1 << 16;

bool IsFullPath(const std::string& path) {
  if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && path[0] == path[1]) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// A list of NUL-separated names, as GetPrivateProfileSectionNames and
// GetPrivateProfileString with no key give them. `read` returns what the
// profile functions return: size - 2 when the buffer was too small.
template <typename Read>
std::vector<std::string> ReadNameList(Read read) {
  std::vector<char> buffer(4096);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = read(buffer.data(), size);
    if (length + 2 < size || buffer.size() >= (1u << 24)) {
      std::vector<std::string> names;
      for (DWORD at = 0; at < length && buffer[at] != '\0';) {
        names.emplace_back(buffer.data() + at);
        at += static_cast<DWORD>(names.back().size()) + 1;
      }
      return names;
    }
    buffer.resize(buffer.size() * 4);
  }
}

bool ContainsName(const std::vector<std::string>& names, const std::string& wanted) {
  for (const std::string& name : names) {
    if (lstrcmpiA(name.c_str(), wanted.c_str()) == 0) return true;
  }
  return false;
}

std::vector<std::string> KeysOf(const std::string& path, const std::string& section) {
  return ReadNameList([&](char* out, DWORD size) {
    return GetPrivateProfileStringA(section.c_str(), nullptr, "", out, size, path.c_str());
  });
}

std::size_t FullLength(const std::string& path, const std::string& section, const char* key) {
  std::vector<char> buffer(kFullValueSize);
  return GetPrivateProfileStringA(section.c_str(), key, "", buffer.data(), kFullValueSize,
                                  path.c_str());
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
  char full[MAX_PATH];
  const DWORD full_length = GetFullPathNameA(given_path.c_str(), MAX_PATH, full, nullptr);
  if (full_length == 0 || full_length >= MAX_PATH) {
    *error = "bad profile path " + given_path;
    return false;
  }
  info->path = full;

  const HANDLE file = CreateFileA(full, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot read the profile " + info->path + ": " + ErrorText(GetLastError());
    return false;
  }
  CloseHandle(file);

  info->version = ReadValue(info->path, "Config", "Version");
  info->module = ReadValue(info->path, "Config", "Module");
  const std::vector<std::string> config_keys = KeysOf(info->path, "Config");
  for (const char* key : {"Version", "Module"}) {
    const std::string& value = key[0] == 'V' ? info->version : info->module;
    if (!value.empty()) continue;
    *error = info->path + ": " +
             (ContainsName(config_keys, key) ? std::string(key) + " in [Config] is empty"
                                               : "no " + std::string(key) + " in [Config]") +
             ", so GetAddress gives nil";
    return false;
  }

  const std::vector<std::string> sections = ReadNameList([&](char* out, DWORD size) {
    return GetPrivateProfileSectionNamesA(out, size, info->path.c_str());
  });
  info->section_found = ContainsName(sections, info->version);
  info->sections = sections;
  const std::vector<std::string> keys = KeysOf(info->path, info->version);
  info->offsets.clear();
  for (const char* key : quorvane::kOffsetKeys) {
    const std::string value = ReadValue(info->path, info->version.c_str(), key);
    const bool present = ContainsName(keys, key);
    const std::size_t length = present ? FullLength(info->path, info->version, key) : 0;
    info->offsets.push_back({key, quorvane::ReadHexOffset(present, value.c_str(), length)});
  }
  return true;
}

}  // namespace probe
