// quorvane-probe against a running sample host: what it decodes from outside
// must equal what the module returns inside the host, a wrong profile must
// name the hop where the walk stops, and bad input must give status 2.
//
//   probe_tests --probe=EXE --host-dir=DIR --profile=INI --dump=LUA
//
// DIR holds sample_host.exe, sample_app.dll, lua51.dll and Quorvane.dll. They
// are copied to a scratch folder under a host name of this run's own, so
// that finding the host by name cannot meet another run's host.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_reader.h"
#include "probe/json.h"
#include "probe/win_util.h"
#include "process_runner.h"

namespace probe_test {
namespace {

struct Settings {
  std::string probe;
  std::string host_dir;
  std::string profile;
  std::string dump;
};
Settings g_settings;

// Set up once for all tests by ProbeEnvironment.
std::string g_scratch;    // with a trailing backslash
std::string g_host_name;  // file name of the copied host
std::string g_host_exe;   // its full path
ServedHost* g_host = nullptr;

constexpr int kServeSeconds = 60;
constexpr double kTwo32 = 4294967296.0;

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::string(full);
}

std::string Pid() { return std::to_string(g_host->pid()); }

class ProbeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string run = std::to_string(GetCurrentProcessId());
    g_scratch = std::string(temp) + "quorvane-probe-test-" + run + "\\";
    ASSERT_TRUE(CreateDirectoryA(g_scratch.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    g_host_name = "qvprobe_host_" + run + ".exe";
    g_host_exe = g_scratch + g_host_name;
    const std::string dir = FullPath(g_settings.host_dir) + "\\";
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"sample_host.exe", g_host_name},
             {"sample_app.dll", "sample_app.dll"},
             {"lua51.dll", "lua51.dll"},
             {"Quorvane.dll", "Quorvane.dll"}}) {
      ASSERT_TRUE(CopyFileA((dir + from).c_str(), (g_scratch + to).c_str(), FALSE))
          << "cannot copy " << dir + from;
      copied_.push_back(g_scratch + to);
    }
    g_host = new ServedHost;
    std::string error;
    ASSERT_TRUE(g_host->Start(g_host_exe, kServeSeconds, &error)) << error;
  }

  void TearDown() override {
    delete g_host;
    g_host = nullptr;
    for (const std::string& file : copied_) DeleteFileA(file.c_str());
    for (const std::string& file : ScratchProfiles()) DeleteFileA(file.c_str());
    RemoveDirectoryA(g_scratch.c_str());
  }

  static std::vector<std::string>& ScratchProfiles() {
    static std::vector<std::string> files;
    return files;
  }

 private:
  std::vector<std::string> copied_;
};

// A profile in the scratch folder. A null value leaves the key out.
std::string WriteProfile(const std::string& name, const char* version, const char* module,
                         const char* list, const char* data, const char* text) {
  const std::string path = g_scratch + name + ".ini";
  std::ofstream out(path, std::ios::binary);
  out << "; written by probe_tests\r\n[Config]\r\n";
  if (version != nullptr) out << "Version=" << version << "\r\n";
  if (module != nullptr) out << "Module=" << module << "\r\n";
  out << "[SampleApp 1.4]\r\n";
  if (list != nullptr) out << "ObjectAddressList=" << list << "\r\n";
  if (data != nullptr) out << "ObjectDataOffset=" << data << "\r\n";
  if (text != nullptr) out << "TextBufferAddress=" << text << "\r\n";
  ProbeEnvironment::ScratchProfiles().push_back(path);
  return path;
}

std::string Profile() { return FullPath(g_settings.profile); }

RunResult Probe(const std::vector<std::string>& args) {
  return RunProgram(g_settings.probe, args);
}

// Runs the probe with --json and parses what it printed.
Json ProbeJson(std::vector<std::string> args, int* exit_code) {
  args.push_back("--json");
  const RunResult run = Probe(args);
  EXPECT_TRUE(run.started);
  *exit_code = run.exit_code;
  Json json;
  std::string error;
  EXPECT_TRUE(ParseJson(run.out, &json, &error)) << error << "\n" << run.out << run.err;
  return json;
}

std::uint32_t U32(const Json& j) { return static_cast<std::uint32_t>(j.number); }

std::string NumberKey(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "n %.17g", value);
  return text;
}

// What the module returns, as dump.lua prints it: type -> field -> value.
struct ModuleView {
  std::map<int, std::map<std::string, std::string>> records;
  bool has_text = false;
  std::string text;  // hex of the bytes
};

ModuleView ViewInsideHost() {
  ModuleView view;
  const RunResult run = RunProgram(g_host_exe, {FullPath(g_settings.dump), Profile()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string what;
    words >> what;
    if (what == "record") {
      int type;
      words >> type;
      view.records[type];
    } else if (what == "field") {
      int type;
      std::string name, kind, value;
      words >> type >> name >> kind >> value;
      view.records[type][name] = kind == "n" ? NumberKey(std::strtod(value.c_str(), nullptr))
                                             : "s " + value;
    } else if (what == "text") {
      view.has_text = true;
      words >> view.text;
    }
  }
  return view;
}

const Json* FindWalk(const Json& report, const std::string& call, int type) {
  for (const Json& walk : report["walks"].items) {
    if (walk["call"].str != call) continue;
    if (call == "GetObjectData" && walk["type"].number != type) continue;
    return &walk;
  }
  return nullptr;
}

// Each hop of a walk follows from the one before and the address table.
void ExpectChainedHops(const Json& walk, const Json& table) {
  const std::uint32_t base = U32(table["ModuleAddress"]);
  const std::uint32_t list = U32(table["ObjectAddressList"]);
  const std::uint32_t data = U32(table["ObjectDataOffset"]);
  const Json& steps = walk["steps"];
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0]["step"].str, "slot");
  EXPECT_EQ(U32(steps[0]["address"]), base + list + 4u * U32(walk["type"]));
  EXPECT_EQ(steps[1]["step"].str, "structure");
  EXPECT_EQ(U32(steps[1]["address"]), U32(steps[0]["value"]));
  EXPECT_EQ(steps[2]["step"].str, "record_pointer");
  EXPECT_EQ(U32(steps[2]["address"]), U32(steps[1]["address"]) + data);
  EXPECT_EQ(steps[3]["step"].str, "record");
  EXPECT_EQ(U32(steps[3]["address"]), U32(steps[2]["value"]));
  for (const Json& field : walk["fields"].items) {
    EXPECT_EQ(U32(field["address"]), U32(steps[3]["address"]) + U32(field["offset"]))
        << field["name"].str;
  }
}

// The served host's module base, from one probe run.
std::uint32_t ServedModuleBase() {
  static std::uint32_t base = 0;
  if (base == 0) {
    int status = -1;
    const Json report = ProbeJson({Profile(), Pid(), "--type", "0"}, &status);
    base = U32(report["process"]["module_base"]);
  }
  return base;
}

TEST(ProbeTest, DecodesWhatTheModuleReturnsInsideTheHost) {
  const ModuleView inside = ViewInsideHost();
  ASSERT_FALSE(inside.records.empty());

  int status = -1;
  const Json report = ProbeJson({Profile(), Pid()}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(report["ok"].boolean);
  EXPECT_EQ(U32(report["process"]["pid"]), g_host->pid());
  EXPECT_EQ(report["process"]["name"].str, g_host_name);
  const Json& table = report["process"]["address_table"];
  EXPECT_NE(U32(table["ModuleAddress"]), 0u);

  std::map<int, std::map<std::string, std::string>> outside;
  std::string text;
  bool has_text = false;
  for (const Json& walk : report["walks"].items) {
    EXPECT_TRUE(walk["ok"].boolean) << walk["stop"]["message"].str;
    EXPECT_EQ(walk["stop"].type, Json::kNull);
    if (walk["call"].str == "GetTextbufferString") {
      has_text = true;
      text = walk["ansi"].str;
      EXPECT_EQ(U32(walk["steps"][0]["address"]),
                U32(table["ModuleAddress"]) + U32(table["TextBufferAddress"]));
      continue;
    }
    const int type = static_cast<int>(walk["type"].number);
    auto& fields = outside[type];
    for (const Json& field : walk["fields"].items) {
      fields[field["name"].str] =
          field["value"].type == Json::kString ? "s " + field["ansi"].str
                                               : NumberKey(field["value"].number);
      if (field["value"].type == Json::kString) {
        // The UTF-8 text is the ANSI bytes converted.
        std::string ansi;
        for (std::size_t i = 0; i + 1 < field["ansi"].str.size(); i += 2) {
          ansi += static_cast<char>(std::stoi(field["ansi"].str.substr(i, 2), nullptr, 16));
        }
        EXPECT_EQ(field["value"].str, probe::AnsiToUtf8(ansi));
      }
    }
    ExpectChainedHops(walk, table);
  }
  EXPECT_EQ(outside, inside.records);
  EXPECT_EQ(has_text, inside.has_text);
  EXPECT_EQ(text, inside.text);
}

TEST(ProbeTest, TextReportShowsTheModulesStrings) {
  const ModuleView inside = ViewInsideHost();
  const RunResult run = Probe({Profile(), Pid()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("All 16 walks reach their data."), std::string::npos) << run.out;
  for (const auto& [type, fields] : inside.records) {
    EXPECT_NE(run.out.find("GetObjectData(addr, " + std::to_string(type) + ")\r\n"),
              std::string::npos)
        << type;
    for (const auto& [name, value] : fields) {
      if (value.rfind("s ", 0) != 0) continue;
      std::string bytes;
      for (std::size_t i = 2; i + 1 < value.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
      }
      std::string quoted = "\"";
      for (const char c : bytes) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
      quoted += '"';
      EXPECT_NE(run.out.find(name), std::string::npos);
      EXPECT_NE(run.out.find(quoted), std::string::npos) << quoted;
    }
  }
}

// ------------------------------------------------------------ stopped walks

// How the address a stop names is found from the report.
enum class StopAddress {
  kNone,
  kSlot,                // the slot of the walk's type
  kPointerAddress,      // where the record pointer was read
  kRecordPointerValue,  // the record the pointer leads to
  kTextBuffer,          // module + TextBufferAddress
};

struct HopCase {
  const char* name;
  // Offsets as written; "@N" is the offset that puts module + offset at N,
  // in the never mapped first page.
  const char* list;
  const char* data;
  const char* text;  // null: the key is left out
  const char* module;
  const char* type;  // --type, or null for every walk
  const char* call;
  int walk_type;
  const char* hop;
  const char* reason;
  const char* field;
  StopAddress address;
};

void PrintTo(const HopCase& c, std::ostream* os) { *os << c.name; }

std::string Resolve(const char* offset) {
  if (offset == nullptr || offset[0] != '@') return offset == nullptr ? "" : offset;
  const std::uint32_t wanted = static_cast<std::uint32_t>(std::strtoul(offset + 1, nullptr, 0));
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(wanted - ServedModuleBase()));
  return text;
}

class StoppedWalkTest : public ::testing::TestWithParam<HopCase> {};

TEST_P(StoppedWalkTest, NamesTheHop) {
  const HopCase& c = GetParam();
  const std::string list = Resolve(c.list), data = Resolve(c.data), text = Resolve(c.text);
  const std::string path = WriteProfile(std::string("stop-") + c.name, "SampleApp 1.4", c.module,
                                        list.c_str(), data.c_str(),
                                        c.text == nullptr ? nullptr : text.c_str());
  std::vector<std::string> args = {path, Pid()};
  if (c.type != nullptr) args.insert(args.end(), {"--type", c.type});

  int status = -1;
  const Json report = ProbeJson(args, &status);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(report["ok"].boolean);
  const Json* walk = FindWalk(report, c.call, c.walk_type);
  ASSERT_NE(walk, nullptr) << report["walks"].size() << " walks";
  const Json& stop = (*walk)["stop"];
  EXPECT_FALSE((*walk)["ok"].boolean);
  EXPECT_EQ(stop["hop"].str, c.hop) << stop["message"].str;
  EXPECT_EQ(stop["reason"].str, c.reason) << stop["message"].str;
  EXPECT_EQ(stop["field"].str, c.field);
  EXPECT_EQ((*walk)["fields"].type, Json::kNull);
  EXPECT_FALSE(stop["message"].str.empty());

  const Json& table = report["process"]["address_table"];
  const Json& steps = (*walk)["steps"];
  const std::uint32_t base = U32(table["ModuleAddress"]);
  switch (c.address) {
    case StopAddress::kNone:
      EXPECT_FALSE(stop.Has("address"));
      EXPECT_EQ(steps.size(), 0u);
      break;
    case StopAddress::kSlot:
      EXPECT_EQ(U32(stop["address"]),
                base + U32(table["ObjectAddressList"]) + 4u * static_cast<unsigned>(c.walk_type));
      break;
    case StopAddress::kPointerAddress:
      ASSERT_GE(steps.size(), 2u);
      EXPECT_EQ(U32(stop["address"]), U32(steps[1]["address"]) + U32(table["ObjectDataOffset"]));
      break;
    case StopAddress::kRecordPointerValue:
      ASSERT_EQ(steps.size(), 4u);
      EXPECT_EQ(U32(stop["address"]), U32(steps[2]["value"]));
      break;
    case StopAddress::kTextBuffer:
      EXPECT_EQ(U32(stop["address"]), base + U32(table["TextBufferAddress"]));
      break;
  }
  if (c.hop == std::string("module")) {
    // Every walk stops there.
    for (const Json& w : report["walks"].items) EXPECT_EQ(w["stop"]["hop"].str, "module");
  }

  // The text report names the same hop, with the same message.
  const RunResult run = Probe(args);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find(stop["message"].str), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  stopped at the "), std::string::npos) << run.out;
}

constexpr const char* kModule = "sample_app.dll";

INSTANTIATE_TEST_SUITE_P(
    Profiles, StoppedWalkTest,
    ::testing::Values(
        HopCase{"list_in_zeros", "0x2800", "0x24", "0x1B60", kModule, "3", "GetObjectData", 3,
                "slot", "zero", "", StopAddress::kSlot},
        HopCase{"list_unmapped", "@0x100", "0x24", "0x1B60", kModule, "3", "GetObjectData", 3,
                "slot", "unreadable", "", StopAddress::kSlot},
        HopCase{"list_zero", "0", "0x24", "0x1B60", kModule, "3", "GetObjectData", 3,
                "address_table", "zero_field", "ObjectAddressList", StopAddress::kNone},
        HopCase{"pointer_offset_to_zeros", "0x1040", "0x28", "0x1B60", kModule, "3",
                "GetObjectData", 3, "record_pointer", "zero", "", StopAddress::kPointerAddress},
        HopCase{"pointer_offset_to_type_index", "0x1040", "0x10", "0x1B60", kModule, "80",
                "GetObjectData", 80, "record", "unreadable", "type",
                StopAddress::kRecordPointerValue},
        HopCase{"pointer_offset_upper_case", "0x1040", "0X24", "0x1B60", kModule, "3",
                "GetObjectData", 3, "address_table", "zero_field", "ObjectDataOffset",
                StopAddress::kNone},
        HopCase{"module_not_loaded", "0x1040", "0x24", "0x1B60", "not_loaded_here.dll", nullptr,
                "GetObjectData", 0, "module", "not_loaded", "", StopAddress::kNone},
        HopCase{"text_buffer_missing", "0x1040", "0x24", nullptr, kModule, nullptr,
                "GetTextbufferString", 0, "address_table", "zero_field", "TextBufferAddress",
                StopAddress::kNone},
        HopCase{"text_buffer_unmapped", "0x1040", "0x24", "@0x10", kModule, nullptr,
                "GetTextbufferString", 0, "text_buffer", "unreadable", "",
                StopAddress::kTextBuffer}),
    [](const ::testing::TestParamInfo<HopCase>& param) { return std::string(param.param.name); });

// ------------------------------------------------------------ --type

TEST(ProbeTest, TypeLimitsTheWalkToOne) {
  int status = -1;
  const Json one = ProbeJson({Profile(), Pid(), "--type", "7"}, &status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(one["walks"].size(), 1u);
  EXPECT_EQ(one["walks"][0]["call"].str, "GetObjectData");
  EXPECT_EQ(one["walks"][0]["type"].number, 7);
  EXPECT_TRUE(one["walks"][0]["ok"].boolean);

  // A type without a layout: GetObjectData gives nil without reading.
  const Json none = ProbeJson({Profile(), "--type=14", Pid()}, &status);
  EXPECT_EQ(status, 1);
  ASSERT_EQ(none["walks"].size(), 1u);
  EXPECT_EQ(none["walks"][0]["stop"]["hop"].str, "layout");
  EXPECT_EQ(none["walks"][0]["steps"].size(), 0u);
}

// ------------------------------------------------------------ finding by name

TEST(ProbeTest, FindsTheHostByName) {
  for (const std::string& name : {g_host_name, g_host_name.substr(0, g_host_name.size() - 4)}) {
    int status = -1;
    const Json report = ProbeJson({Profile(), name, "--type", "3"}, &status);
    EXPECT_EQ(status, 0) << name;
    EXPECT_EQ(U32(report["process"]["pid"]), g_host->pid()) << name;
  }

  // Two hosts of that name: the probe will not guess.
  ServedHost second;
  std::string error;
  ASSERT_TRUE(second.Start(g_host_exe, kServeSeconds, &error)) << error;
  const RunResult run = Probe({Profile(), g_host_name});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(Pid()), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(std::to_string(second.pid())), std::string::npos) << run.err;
}

// ------------------------------------------------------------ module names

// The module is named as the system's module lookup takes names: any case,
// ".dll" when no extension is given, a full path compared with the path the
// module was loaded from.
TEST(ProbeTest, FindsTheModuleAsTheSystemLookupDoes) {
  for (const std::string& name : {std::string("SAMPLE_APP.DLL"), std::string("Sample_App"),
                                  g_scratch + "sample_app.dll"}) {
    const std::string path = WriteProfile("module-name", "SampleApp 1.4", name.c_str(), "0x1040",
                                          "0x24", "0x1B60");
    int status = -1;
    const Json report = ProbeJson({path, Pid(), "--type", "4"}, &status);
    EXPECT_EQ(status, 0) << name;
    EXPECT_EQ(U32(report["process"]["module_base"]), ServedModuleBase()) << name;
  }
}

// ------------------------------------------------------------ the profile alone

TEST(ProbeTest, ProfileAloneNotesSurprisingValues) {
  const std::string path =
      WriteProfile("notes", "SampleApp 1.4", kModule, "0X1040", "24 ; entry", nullptr);
  int status = -1;
  const Json report = ProbeJson({path}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(report["process"].type, Json::kNull);
  EXPECT_EQ(report["walks"].size(), 0u);
  EXPECT_EQ(report["profile"]["version"].str, "SampleApp 1.4");
  EXPECT_EQ(report["profile"]["module"].str, kModule);
  EXPECT_TRUE(report["profile"]["section_found"].boolean);
  const Json& offsets = report["profile"]["offsets"];
  ASSERT_EQ(offsets.size(), 3u);
  struct Want {
    const char* key;
    const char* written;
    double value;
    const char* note;
  };
  const Want wants[] = {{"ObjectAddressList", "0X1040", 0, "upper_case_x"},
                        {"ObjectDataOffset", "24 ; entry", 0x24, "trailing_text"},
                        {"TextBufferAddress", "", 0, "missing_key"}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(offsets[i]["key"].str, wants[i].key);
    EXPECT_EQ(offsets[i]["written"].str, wants[i].written);
    EXPECT_EQ(offsets[i]["value"].number, wants[i].value);
    ASSERT_EQ(offsets[i]["notes"].size(), 1u) << wants[i].key;
    EXPECT_EQ(offsets[i]["notes"][0]["code"].str, wants[i].note);
  }

  // A version that names no section: every key is missing.
  const std::string lost = WriteProfile("lost", "SampleApp 9", kModule, "0x1040", "0x24", "0x1B60");
  const Json lost_report = ProbeJson({lost}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(lost_report["profile"]["section_found"].boolean);
  for (const Json& offset : lost_report["profile"]["offsets"].items) {
    EXPECT_EQ(offset["notes"][0]["code"].str, "missing_key");
  }

  const RunResult text = Probe({path});
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_NE(text.out.find("note: upper-case \"0X\""), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("note: key missing"), std::string::npos) << text.out;
}

// ------------------------------------------------------------ version

// The string value `name` of the version resource of `file`, and its fixed
// file version as "a.b.c.d".
bool VersionResource(const std::string& file, const char* name, std::string* value,
                     std::string* fixed) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return false;
  void* text = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(data.data(), path.c_str(), &text, &length) || length == 0) return false;
  *value = static_cast<const char*>(text);
  VS_FIXEDFILEINFO* info = nullptr;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length)) return false;
  *fixed = std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
  return true;
}

TEST(ProbeTest, VersionIsTheModulesVersion) {
  std::string file_version, product_version, fixed;
  const std::string dll = g_settings.host_dir + "\\Quorvane.dll";
  ASSERT_TRUE(VersionResource(dll, "ProductVersion", &product_version, &fixed)) << dll;
  ASSERT_TRUE(VersionResource(dll, "FileVersion", &file_version, &fixed)) << dll;
  EXPECT_EQ(file_version, product_version);
  EXPECT_EQ(fixed, file_version + ".0");
  const RunResult run = Probe({"--version"});
  EXPECT_EQ(run.exit_code, 0);
  std::string out = run.out;
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  EXPECT_EQ(out, "quorvane-probe " + file_version + "\n");
  EXPECT_EQ(run.err, "");
}

// ------------------------------------------------------------ status 2

struct BadCase {
  const char* name;
  std::vector<std::string> args;  // {profile}, {pid}, {missing}, {no-module} are filled in
  const char* message;            // part of the one line on stderr
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadInputTest, SaysWhyOnOneLine) {
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) {
    if (a == "{profile}") args.push_back(Profile());
    else if (a == "{pid}") args.push_back(Pid());
    else if (a == "{missing}") args.push_back(g_scratch + "no-such-profile.ini");
    else if (a == "{no-module}")
      args.push_back(WriteProfile("no-module", "SampleApp 1.4", nullptr, "0x1040", "0x24", "0"));
    else args.push_back(a);
  }
  const RunResult run = Probe(args);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("quorvane-probe: ", 0), 0u) << run.err;
  ASSERT_GE(run.err.size(), 2u);
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // one line
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadInputTest,
    ::testing::Values(
        BadCase{"nothing", {}, "no profile given"},
        BadCase{"only_json", {"--json"}, "no profile given"},
        BadCase{"unknown_option", {"{profile}", "{pid}", "--verbose"}, "unknown option --verbose"},
        BadCase{"three_positionals", {"{profile}", "{pid}", "extra"}, "too many arguments"},
        BadCase{"type_without_index", {"{profile}", "{pid}", "--type"}, "--type needs a type"},
        BadCase{"type_not_a_number", {"{profile}", "{pid}", "--type", "three"}, "\"three\""},
        BadCase{"type_without_process", {"{profile}", "--type", "3"}, "needs a process"},
        BadCase{"profile_missing", {"{missing}", "{pid}"}, "no-such-profile.ini"},
        BadCase{"profile_without_module", {"{no-module}", "{pid}"}, "no Module in [Config]"},
        BadCase{"no_such_process_name", {"{profile}", "no_such_host_anywhere.exe"},
                "no process named no_such_host_anywhere.exe"},
        BadCase{"no_such_process_id", {"{profile}", "999999"}, "cannot open process 999999"}),
    [](const ::testing::TestParamInfo<BadCase>& param) { return std::string(param.param.name); });

// ------------------------------------------------------------ JSON text

TEST(JsonQuoteTest, EscapesWhatJsonRequires) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"C:\\Projects\\a \"b\".png", "\"C:\\\\Projects\\\\a \\\"b\\\".png\""},
      {"line\nbreak\ttab\r", "\"line\\nbreak\\ttab\\r\""},
      {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // UTF-8 passes through
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(probe::JsonQuote(text), quoted);
}

TEST(JsonQuoteTest, AnsiTextBecomesUtf8) {
  EXPECT_EQ(probe::AnsiToUtf8("Arial"), "Arial");
  EXPECT_EQ(probe::AnsiToUtf8(""), "");
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
  EXPECT_EQ(probe::AnsiToUtf8("caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
}

}  // namespace
}  // namespace probe_test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using probe_test::g_settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto take = [&](const char* prefix, std::string* to) {
      if (arg.rfind(prefix, 0) != 0) return false;
      *to = arg.substr(std::string(prefix).size());
      return true;
    };
    if (!take("--probe=", &g_settings.probe) && !take("--host-dir=", &g_settings.host_dir) &&
        !take("--profile=", &g_settings.profile) && !take("--dump=", &g_settings.dump)) {
      std::fprintf(stderr, "probe_tests: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (g_settings.probe.empty() || g_settings.host_dir.empty() || g_settings.profile.empty() ||
      g_settings.dump.empty()) {
    std::fprintf(stderr,
                 "usage: probe_tests --probe=EXE --host-dir=DIR --profile=INI --dump=LUA\n");
    return 2;
  }
  g_settings.probe = probe_test::FullPath(g_settings.probe);
  ::testing::AddGlobalTestEnvironment(new probe_test::ProbeEnvironment);
  return RUN_ALL_TESTS();
}
