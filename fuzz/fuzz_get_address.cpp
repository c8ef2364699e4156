// GetAddress end to end over the fake platform's profile reading: any bytes
// as the profile file, the section and key names included. The file is read
// by a small model of the system's INI reading (lines, "[section]",
// "key=value", names compared ignoring ASCII case, the first one wins).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "config/address_profile.h"
#include "fuzz_support.h"
#include "platform/fake_platform.h"
#include "platform/platform.h"

namespace {

struct Entry {
  std::string section, key, value;
};

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<Entry> ParseIni(const std::string& file) {
  std::vector<Entry> entries;
  std::string section;
  bool in_section = false;
  std::size_t start = 0;
  while (start <= file.size()) {
    std::size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    std::string line = file.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    if (!line.empty() && line[0] == '[') {
      const std::size_t close = line.find(']');
      section = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = true;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!in_section || equals == std::string::npos) continue;
    entries.push_back({section, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
  }
  return entries;
}

bool Lookup(const std::vector<Entry>& entries, const std::string& section, const std::string& key,
            std::string* value) {
  for (const Entry& e : entries) {
    if (SameName(e.section, section) && SameName(e.key, key)) {
      *value = e.value;
      return true;
    }
  }
  return false;
}

// A value as the profile reader hands it over: up to a NUL, 255 bytes at most.
std::string AsRead(const std::string& value) {
  return value.substr(0, std::min(value.find('\0'), quorvane::kProfileValueSize - 1));
}

double Field(lua_State* L, const char* name) {
  lua_getfield(L, -1, name);
  FUZZ_CHECK(lua_type(L, -1) == LUA_TNUMBER, name);
  const double v = lua_tonumber(L, -1);
  lua_pop(L, 1);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const std::vector<Entry> entries = ParseIni(file);
  quorvane::fake::Reset();
  const std::string path = "C:\\profiles\\fuzz.ini";
  std::string version, module;
  if (Lookup(entries, "Config", "Version", &version)) {
    quorvane::fake::SetProfileValue(path, "Config", "Version", version);
  }
  if (Lookup(entries, "Config", "Module", &module)) {
    quorvane::fake::SetProfileValue(path, "Config", "Module", module);
  }
  // The layout section is the one Version names, as the module will ask.
  const std::string section = AsRead(version);
  for (const char* key : quorvane::kOffsetKeys) {
    std::string value;
    if (Lookup(entries, section, key, &value)) {
      quorvane::fake::SetProfileValue(path, section, key, value);
    }
  }
  quorvane::fake::SetModuleBase(AsRead(module), 0x00400000);

  lua_State* L = fuzz::Lua();
  lua_getglobal(L, "Q");
  lua_getfield(L, -1, "GetAddress");
  lua_pushlstring(L, path.data(), path.size());
  const int before = lua_gettop(L) - 2;
  FUZZ_CHECK(lua_pcall(L, 1, LUA_MULTRET, 0) == 0, lua_tostring(L, -1));
  const int results = lua_gettop(L) - before;
  if (AsRead(version).empty() || AsRead(module).empty()) {
    FUZZ_CHECK(results == 0, file);
  } else {
    FUZZ_CHECK(results == 1 && lua_istable(L, -1), file);
    FUZZ_CHECK(Field(L, "ModuleAddress") == 0x00400000, file);
    for (const char* key : quorvane::kOffsetKeys) {
      std::string value;
      Lookup(entries, section, key, &value);
      const std::string read = AsRead(value);
      const double got = Field(L, key);
      FUZZ_CHECK(got == quorvane::ParseHex(read.c_str()), file);
      FUZZ_CHECK(got >= 0 && got <= 4294967295.0 && got == static_cast<double>(static_cast<std::uint64_t>(got)), file);
    }
    // Nothing more than the four fields.
    int fields = 0;
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
      ++fields;
      lua_pop(L, 1);
    }
    FUZZ_CHECK(fields == 4, file);
  }
  fuzz::ResetLua(L);
  return 0;
}
