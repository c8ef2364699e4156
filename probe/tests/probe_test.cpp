// quorvane-probe against a running sample host: what it decodes from outside
// must equal what the module returns inside the host, a wrong profile must
// name the hop where the walk stops, and bad input must give status 2.
//
//   probe_tests --probe=EXE --host-dir=DIR --profile=INI --profile-1.5=INI
//               --dump=LUA [--runtime-dir=DIR]... [--release=X=INI]...
//
// The host DIR holds sample_host.exe, every release of sample_app.dll (each
// --release X with its profile), lua51.dll and Quorvane.dll. All of it but
// the releases after 1.5 is copied to a scratch folder, the host under a name
// of this run's own, so that finding the host by name cannot meet another
// run's host. Each --runtime-dir is a folder laid out alike for one Lua runtime, in
// which the sample host runs a script once.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_reader.h"
#include "probe/common/json.h"
#include "probe/common/system_text.h"
#include "process_runner.h"
#include "test_arguments.h"
#include "tests/expected_code_page.h"

namespace probe_test {
namespace {

struct Settings {
  std::string probe;
  std::string host_dir;
  std::string profile;      // SampleApp 1.4's
  std::string profile_1_5;  // SampleApp 1.5's
  std::string dump;
  std::vector<std::string> runtime_dirs;
  std::vector<Release> releases;  // X, its profile
};
Settings g_settings;

// Set up once for all tests by ProbeEnvironment.
std::string g_scratch;    // with a trailing backslash
std::string g_host_name;  // file name of the copied host
std::string g_host_exe;   // its full path
ServedHost* g_host = nullptr;

// Every served host is ended as soon as its test is done with it; the shared
// one must outlast the whole run, which takes many minutes on an emulated
// CPU under load.
constexpr int kServeSeconds = 1800;

// Where the sample host finds SampleApp 1.5's build of its module.
constexpr const char* kApp15Folder = "sample-app-1.5";
constexpr const char* kApp15Module = "sample-app-1.5\\sample_app.dll";

// Markers the sample host puts where profile authors would type them.
constexpr const char* kTextMarker = "QV-7f3a text";
constexpr const char* kBufferMarker = "QV-b9e1 buffer";
constexpr double kTwo32 = 4294967296.0;


std::string Pid() { return std::to_string(g_host->pid()); }

// What a run wrote to standard error besides the find's progress lines,
// which come when a scan takes more than a second.
std::string WithoutProgress(const std::string& err) {
  std::string out;
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string line = err.substr(start, end - start);
    if (!IsProgressLine(line)) out += line;
    start = end;
  }
  return out;
}

class ProbeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_scratch = MakeScratchFolder("quorvane-probe-test-");
    ASSERT_NE(g_scratch, "");
    g_host_name = "qvprobe_host_" + std::to_string(GetCurrentProcessId()) + ".exe";
    g_host_exe = g_scratch + g_host_name;
    const std::string dir = FullPath(g_settings.host_dir) + "\\";
    ASSERT_TRUE(CreateDirectoryA((g_scratch + kApp15Folder).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"sample_host.exe", g_host_name},
             {"sample_app.dll", "sample_app.dll"},
             {kApp15Module, kApp15Module},
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
    RemoveDirectoryA((g_scratch + kApp15Folder).c_str());
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
std::string Profile15() { return FullPath(g_settings.profile_1_5); }

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

// Runs dump.lua in `host` (the scratch host by default), after the host's
// `options`, against `profile` (the 1.4 one by default).
ModuleView ViewInsideHost(const std::vector<std::string>& options = {},
                          const std::string& profile = "", const std::string& host = "") {
  ModuleView view;
  std::vector<std::string> args = options;
  args.push_back(FullPath(g_settings.dump));
  args.push_back(profile.empty() ? Profile() : profile);
  const RunResult run = RunProgram(host.empty() ? g_host_exe : host, args);
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

// The probe, run on `profile` against the served host `pid`, decodes every
// walk to what the module returns inside a host started with `options`.
void ExpectProbeSeesWhatTheModuleReturns(const std::string& profile, std::uint32_t pid,
                                         const std::vector<std::string>& options) {
  const ModuleView inside = ViewInsideHost(options, profile);
  ASSERT_FALSE(inside.records.empty());

  int status = -1;
  const Json report = ProbeJson({profile, std::to_string(pid)}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(report["ok"].boolean);
  EXPECT_EQ(U32(report["process"]["pid"]), pid);
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

TEST(ProbeTest, DecodesWhatTheModuleReturnsInsideTheHost) {
  ExpectProbeSeesWhatTheModuleReturns(Profile(), g_host->pid(), {});
}

// ------------------------------------------------------------ the sample host

std::string HexOf(const std::string& bytes) {
  std::string out;
  char two[3];
  for (const char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

// Build 1.5 keeps its entries and records on the heap and its offsets
// elsewhere; with its own profile the probe reads it as the module does.
TEST(SampleHostTest, ProbeSeesWhatTheModuleReturns) {
  const std::vector<std::string> options = {"--app", "1.5", "--text", kTextMarker,
                                            "--buffer-text", kBufferMarker};
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, options)) << error;
  ExpectProbeSeesWhatTheModuleReturns(Profile15(), host.pid(), options);

  // The 1.4 profile does not fit it: every object walk stops.
  int status = -1;
  const Json report = ProbeJson({Profile(), std::to_string(host.pid())}, &status);
  EXPECT_EQ(status, 1);
  for (const Json& walk : report["walks"].items) {
    if (walk["call"].str == "GetObjectData") {
      EXPECT_FALSE(walk["ok"].boolean);
    }
  }
}

// The markers given to either build reach a script through the module's
// GetObjectData and GetTextbufferString, in every Lua runtime; other records
// stay as they were.
TEST(SampleHostTest, MarkersReachScriptsInEveryRuntime) {
  ASSERT_FALSE(g_settings.runtime_dirs.empty());
  const ModuleView plain = ViewInsideHost();
  for (const std::string& dir : g_settings.runtime_dirs) {
    for (const auto& [app, profile] : {std::pair{"1.4", Profile()}, std::pair{"1.5", Profile15()}}) {
      SCOPED_TRACE(dir + " SampleApp " + app);
      const ModuleView view = ViewInsideHost({"--app", app, "--text", kTextMarker,
                                              "--buffer-text", kBufferMarker},
                                             profile, FullPath(dir) + "\\sample_host.exe");
      ASSERT_EQ(view.records.count(3), 1u);
      EXPECT_EQ(view.records.at(3).at("text"), "s " + HexOf(kTextMarker));
      EXPECT_TRUE(view.has_text);
      EXPECT_EQ(view.text, HexOf(kBufferMarker));
      auto others = view.records;
      auto plain_others = plain.records;
      others[3].erase("text");
      plain_others[3].erase("text");
      EXPECT_EQ(others, plain_others);
    }
  }
}

// The readable memory of a process, region by region, as a scan sees it.
struct Snapshot {
  std::vector<std::pair<std::uint32_t, std::string>> regions;

  bool Read(std::uint32_t address, void* out, std::uint32_t size) const {
    for (const auto& [start, bytes] : regions) {
      if (address >= start && address - start + std::uint64_t{size} <= bytes.size()) {
        std::memcpy(out, bytes.data() + (address - start), size);
        return true;
      }
    }
    return false;
  }
  std::uint32_t U32At(std::uint32_t address) const {
    std::uint32_t value = 0;
    Read(address, &value, 4);
    return value;
  }
  // Addresses of `needle`, at multiples of `align`.
  std::vector<std::uint32_t> Find(const std::string& needle, std::uint32_t align) const {
    std::vector<std::uint32_t> found;
    for (const auto& [start, bytes] : regions) {
      for (std::size_t at = bytes.find(needle); at != std::string::npos;
           at = bytes.find(needle, at + 1)) {
        if ((start + at) % align == 0) found.push_back(start + static_cast<std::uint32_t>(at));
      }
    }
    return found;
  }
};

Snapshot ReadProcess(std::uint32_t pid) {
  Snapshot snapshot;
  const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return snapshot;
  MEMORY_BASIC_INFORMATION info;
  for (std::uintptr_t at = 0x10000; at < 0x80000000u &&
                                    VirtualQueryEx(process, reinterpret_cast<void*>(at), &info,
                                                   sizeof info) == sizeof info;
       at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (info.State != MEM_COMMIT || (info.Protect & readable) == 0 ||
        (info.Protect & PAGE_GUARD) != 0) {
      continue;
    }
    std::string bytes(info.RegionSize, '\0');
    SIZE_T got = 0;
    if (ReadProcessMemory(process, info.BaseAddress, &bytes[0], bytes.size(), &got) &&
        got == bytes.size()) {
      snapshot.regions.emplace_back(
          static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.BaseAddress)),
          std::move(bytes));
    }
  }
  CloseHandle(process);
  return snapshot;
}

// Where a module of the process lies: [*base, *base + *size).
bool ModuleRange(std::uint32_t pid, const std::string& name, std::uint32_t* base,
                 std::uint32_t* size) {
  const HANDLE list = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
  if (list == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Module32First(list, &entry); more && !found;
       more = Module32Next(list, &entry)) {
    if (lstrcmpiA(entry.szModule, name.c_str()) != 0) continue;
    *base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.modBaseAddr));
    *size = entry.modBaseSize;
    found = true;
  }
  CloseHandle(list);
  return found;
}

// With --text, the marker lies where a real host has the same text besides
// the current record: in an undo copy of the record, pointed to from a copy
// of the entry that no list slot points to, and in another module's data.
// A finder is tested against these; they must not go missing unnoticed.
TEST(SampleHostTest, DecoysLieWhereARealHostHasThem) {
  std::string wide_marker;
  for (const char c : std::string(kTextMarker)) wide_marker += {c, '\0'};
  wide_marker += std::string(2, '\0');
  for (const auto& [app, profile] : {std::pair{"1.4", Profile()}, std::pair{"1.5", Profile15()}}) {
    SCOPED_TRACE(std::string("SampleApp ") + app);
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, {"--app", app, "--text", kTextMarker}))
        << error;
    int status = -1;
    const Json report = ProbeJson({profile, std::to_string(host.pid()), "--type", "3"}, &status);
    ASSERT_EQ(status, 0);
    const Json& table = report["process"]["address_table"];
    const std::uint32_t base = U32(table["ModuleAddress"]);
    const std::uint32_t list = base + U32(table["ObjectAddressList"]);
    const std::uint32_t data = U32(table["ObjectDataOffset"]);
    const std::uint32_t record = U32(report["walks"][0]["steps"][3]["address"]);

    const Snapshot memory = ReadProcess(host.pid());
    const std::vector<std::uint32_t> hits = memory.Find(wide_marker, 2);
    EXPECT_NE(std::find(hits.begin(), hits.end(), record + 48), hits.end());

    std::uint32_t exe_base = 0, exe_size = 0;
    ASSERT_TRUE(ModuleRange(host.pid(), g_host_name, &exe_base, &exe_size));
    EXPECT_TRUE(std::any_of(hits.begin(), hits.end(), [&](std::uint32_t hit) {
      return hit >= exe_base && hit - exe_base < exe_size;
    })) << "no marker in " << g_host_name;

    std::set<std::uint32_t> slots;
    for (std::uint32_t type = 0; type <= 80; ++type) slots.insert(memory.U32At(list + 4 * type));
    std::string settings(48, '\0'), copy(48, '\0');
    ASSERT_TRUE(memory.Read(record, &settings[0], 48));
    // Copies of the record that something other than a listed structure
    // points to. (Counted by copy: a word elsewhere may hold the same value
    // by chance, such as an icon's pixel of colour 0x00E9EBE8 in a system
    // DLL's resources.)
    int undo_copies = 0;
    for (const std::uint32_t hit : hits) {
      const std::uint32_t copy_at = hit - 48;
      if (hit == record + 48 || !memory.Read(copy_at, &copy[0], 48) || copy != settings) continue;
      std::string pointer(4, '\0');
      std::memcpy(&pointer[0], &copy_at, 4);
      const std::vector<std::uint32_t> pointers = memory.Find(pointer, 4);
      undo_copies += std::any_of(pointers.begin(), pointers.end(), [&](std::uint32_t at) {
        return slots.count(at - data) == 0;
      });
    }
    EXPECT_EQ(undo_copies, 1);
  }
}

// Bad options of the sample host are refused before anything runs.
TEST(SampleHostTest, HostRefusesBadOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"--app", "1.3", "--serve", "0"},
      {"--app", "..", "--serve", "0"},
      {"--app", "1.5\\..\\1.5", "--serve", "0"},
      {"--text", std::string(64, 'x'), "--serve", "0"},
      {"--buffer-text", "", "--serve", "0"},
      {"--ballast", "lots", "--serve", "0"},
      {"--app", "1.5"},
      {"--undo-copies", "some", "--serve", "0"},
      {"--change-to", "QV-2", "--serve", "0"},
      {"--change-copy-to", "QV-2", "--change-on", "stdin", "--serve", "0"},
      {"--change-to", "QV-2", "--change-on", "event:", "--serve", "0"},
  };
  for (const auto& args : cases) {
    const RunResult run = RunProgram(g_host_exe, args);
    EXPECT_EQ(run.exit_code, 2) << args[0];
    EXPECT_EQ(run.out, "") << args[0];
  }
}

// The image base a DLL asks for, from its PE header; 0 if it cannot be read.
std::uint32_t PreferredBase(const std::string& dll) {
  std::ifstream in(dll, std::ios::binary);
  std::uint32_t pe = 0, base = 0;
  in.seekg(0x3C);
  in.read(reinterpret_cast<char*>(&pe), 4);
  in.seekg(pe + 4 + 20 + 28);  // the signature, the file header, ImageBase
  in.read(reinterpret_cast<char*>(&base), 4);
  return in ? base : 0u;
}

// Every release of the module that the demo builds loads in the sample host
// at the base its image asks for (one without relocations could load nowhere
// else), runs there, and its own profile reads it: every walk reaches its
// data, and the markers are where the profile says.
TEST(SampleHostTest, EveryReleaseLoadsAndItsProfileReadsIt) {
  ASSERT_FALSE(g_settings.releases.empty());
  const std::string dir = FullPath(g_settings.host_dir) + "\\";
  for (const auto& [release, profile] : g_settings.releases) {
    SCOPED_TRACE("SampleApp " + release);
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(dir + "sample_host.exe", kServeSeconds, &error,
                           {"--app", release, "--text", kTextMarker, "--buffer-text",
                            kBufferMarker}))
        << error;
    int status = -1;
    const Json report = ProbeJson({FullPath(profile), std::to_string(host.pid())}, &status);
    EXPECT_EQ(status, 0);
    const std::string module =
        release == "1.4" ? "sample_app.dll" : "sample-app-" + release + "\\sample_app.dll";
    EXPECT_EQ(U32(report["process"]["module_base"]), PreferredBase(dir + module));
    const Json* text = FindWalk(report, "GetObjectData", 3);
    const Json* buffer = FindWalk(report, "GetTextbufferString", 0);
    ASSERT_TRUE(text != nullptr && buffer != nullptr);
    std::string text_field;
    for (const Json& field : (*text)["fields"].items) {
      if (field["name"].str == "text") text_field = field["ansi"].str;
    }
    EXPECT_EQ(text_field, HexOf(kTextMarker));
    EXPECT_EQ((*buffer)["ansi"].str, HexOf(kBufferMarker));
  }
}

// ------------------------------------------------------------ find

// The offsets a profile's own section gives, as written there.
struct Offsets {
  std::string section;
  std::uint32_t list = 0, data = 0, buffer = 0;
};

Offsets ProfileOffsets(const std::string& path) {
  const auto read = [&](const char* section, const char* key) {
    char value[256];
    GetPrivateProfileStringA(section, key, "", value, sizeof value, path.c_str());
    return std::string(value);
  };
  Offsets o;
  o.section = read("Config", "Version");
  o.list = static_cast<std::uint32_t>(std::strtoul(read(o.section.c_str(), "ObjectAddressList").c_str(), nullptr, 16));
  o.data = static_cast<std::uint32_t>(std::strtoul(read(o.section.c_str(), "ObjectDataOffset").c_str(), nullptr, 16));
  o.buffer = static_cast<std::uint32_t>(std::strtoul(read(o.section.c_str(), "TextBufferAddress").c_str(), nullptr, 16));
  return o;
}

std::vector<std::string> HostOptions(const std::string& app) {
  return {"--app", app, "--text", kTextMarker, "--buffer-text", kBufferMarker};
}

std::vector<std::string> FindArgs(std::uint32_t pid, const std::string& section) {
  return {"find", std::to_string(pid), "--profile", Profile(), "--text", kTextMarker,
          "--buffer-text", kBufferMarker, "--section", section};
}

// Given the 1.4 profile as the old one, the find gives exactly each build's
// own offsets, with the decoys the sample host lays beside the markers (an
// undo copy of the record with an unlisted structure pointing to it, the
// marker in the host program's own data). The section it prints, pasted into
// a profile, makes the module return the markers inside that host.
TEST(FindTest, FindsEachBuildsOffsetsEndToEnd) {
  for (const auto& [app, truth_profile] : {std::pair{"1.4", Profile()}, std::pair{"1.5", Profile15()}}) {
    SCOPED_TRACE(std::string("SampleApp ") + app);
    const Offsets truth = ProfileOffsets(truth_profile);
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, HostOptions(app))) << error;

    int status = -1;
    const Json report = ProbeJson(FindArgs(host.pid(), truth.section), &status);
    EXPECT_EQ(status, 0) << report["reasons"][0].str;
    EXPECT_TRUE(report["ok"].boolean);
    EXPECT_EQ(U32(report["found"]["ObjectAddressList"]), truth.list);
    EXPECT_EQ(U32(report["found"]["ObjectDataOffset"]), truth.data);
    EXPECT_EQ(U32(report["found"]["TextBufferAddress"]), truth.buffer);
    // The decoys were met and outscored: hits outside the module, more than
    // one record pointer, more than one candidate.
    const Json& object = report["object"];
    EXPECT_EQ(object["answer"].str, "found");
    bool outside = false;
    for (const Json& hit : object["markers"][0]["hits"].items) {
      outside = outside || !hit["in_module"].boolean;
    }
    EXPECT_TRUE(outside);
    EXPECT_GE(object["record_pointers"].size(), 2u);
    ASSERT_GE(object["candidates"].size(), 2u);
    EXPECT_EQ(U32(object["candidates"][0]["ObjectAddressList"]), truth.list);
    EXPECT_GT(object["candidates"][0]["score"].number, object["candidates"][1]["score"].number + 1);
    if (app == std::string("1.5")) {
      // Build 1.5 keeps its entries among ballast (random words, one in
      // eight a heap address) with stray pointers to the marked record: a
      // list off by four reaches the marker through one of them, at a far
      // offset. The records its other slots lead to lie mostly where
      // nothing can be read, and count so.
      int off_by_four = 0;
      for (const Json& c : object["candidates"].items) {
        const std::uint32_t list = U32(c["ObjectAddressList"]);
        if ((list != truth.list + 4 && list != truth.list - 4) ||
            U32(c["ObjectDataOffset"]) == truth.data) {
          continue;
        }
        ++off_by_four;
        int unreadable = 0;
        for (const Json& t : c["types"].items) unreadable += t["outcome"].str == "unreadable";
        EXPECT_GE(unreadable, 1) << "ObjectDataOffset " << U32(c["ObjectDataOffset"]);
      }
      EXPECT_GE(off_by_four, 1);
    }
    EXPECT_EQ(report["walks"].size(), 16u);
    for (const Json& walk : report["walks"].items) EXPECT_TRUE(walk["ok"].boolean);

    // Markers in other layouts' string fields, in the ANSI code page: the
    // filter's parameter string of type 80 alone, then with the picture's
    // file name of type 0, which several pictures share, and the text.
    const std::string pid = std::to_string(host.pid());
    const std::vector<std::string> param = {"--text", "radius=4;sigma=1.5", "--type", "80",
                                            "--field", "param"};
    const std::vector<std::string> picture = {"--type", "0", "--text",
                                              "C:\\Projects\\intro\\opening.png"};
    std::vector<std::string> three = {"find", pid, "--module", "sample_app.dll"};
    three.insert(three.end(), picture.begin(), picture.end());
    three.insert(three.end(), param.begin(), param.end());
    three.insert(three.end(), {"--text", kTextMarker});
    std::vector<std::string> one = {"find", pid, "--module", "sample_app.dll"};
    one.insert(one.end(), param.begin(), param.end());
    for (const auto& args : {one, three}) {
      const Json by_fields = ProbeJson(args, &status);
      EXPECT_EQ(status, 0) << by_fields["reasons"][0].str;
      const Json& markers = by_fields["object"]["markers"];
      ASSERT_EQ(markers.size(), args.size() == one.size() ? 1u : 3u);
      const Json& last_ansi = markers[markers.size() == 1 ? 0 : 1];
      EXPECT_EQ(last_ansi["encoding"].str, "ansi");
      EXPECT_EQ(last_ansi["type"].number, 80);
      EXPECT_EQ(last_ansi["field_offset"].number, 260);
      EXPECT_EQ(U32(by_fields["found"]["ObjectAddressList"]), truth.list);
      EXPECT_EQ(U32(by_fields["found"]["ObjectDataOffset"]), truth.data);
      EXPECT_EQ(by_fields["found"]["TextBufferAddress"].type, Json::kNull);
      // The answer reaches every marker.
      EXPECT_EQ(by_fields["object"]["candidates"][0]["markers"].size(), markers.size());
    }

    // The text output starts with the section as it goes into a profile.
    const RunResult run = Probe(FindArgs(host.pid(), truth.section));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(WithoutProgress(run.err), "");
    char section[160];
    std::snprintf(section, sizeof section,
                  "[%s]\r\nObjectAddressList=0x%08X\r\nObjectDataOffset=0x%08X\r\n"
                  "TextBufferAddress=0x%08X\r\n;",
                  truth.section.c_str(), static_cast<unsigned>(truth.list),
                  static_cast<unsigned>(truth.data), static_cast<unsigned>(truth.buffer));
    EXPECT_EQ(run.out.rfind(section, 0), 0u) << run.out.substr(0, 400);
    // Everything after the section is a comment.
    std::istringstream lines(run.out);
    std::string line;
    int active = 0;
    while (std::getline(lines, line)) active += line.rfind(";", 0) == 0 ? 0 : 1;
    EXPECT_EQ(active, 4);

    const std::string made = g_scratch + "found-" + app + ".ini";
    {
      std::ofstream out(made, std::ios::binary);
      out << "[Config]\r\nVersion=" << truth.section << "\r\nModule=sample_app.dll\r\n" << run.out;
    }
    ProbeEnvironment::ScratchProfiles().push_back(made);
    const ModuleView view = ViewInsideHost(HostOptions(app), made);
    ASSERT_EQ(view.records.count(3), 1u);
    EXPECT_EQ(view.records.at(3).at("text"), "s " + HexOf(kTextMarker));
    EXPECT_EQ(view.text, HexOf(kBufferMarker));
    EXPECT_EQ(view.records.size(), ViewInsideHost(HostOptions(app), truth_profile).records.size());
  }
}

// A marker that is not there: status 1, a line naming it and what to check,
// and no section on standard output, only comments.
TEST(FindTest, MissingMarkersAreNamed) {
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, HostOptions("1.5"))) << error;
  struct Case {
    std::vector<std::string> markers;
    std::vector<std::string> said;  // on stderr
    std::vector<std::string> shown = {};  // on stdout
  };
  const std::string long_marker = "QV-" + std::string(600, 'L');
  const Case cases[] = {
      {{"--text", "QV-nowhere-0x1"}, {"\"QV-nowhere-0x1\" is nowhere", "check"}},
      // User texts are quoted as the walks quote strings: a line break in a
      // marker starts no line of its own, a long one cuts nothing off.
      {{"--text", "QV-line\n[Evil]\nObjectAddressList=0x1"},
       {"\"QV-line\\n[Evil]\\nObjectAddressList=0x1\" is nowhere"},
       {"text marker \"QV-line\\n[Evil]\\nObjectAddressList=0x1\" (UTF-16"}},
      {{"--text", long_marker}, {"is nowhere"},
       {"text marker \"" + long_marker + "\" (UTF-16, type 3 field \"text\", record + 48): 0 hits\r\n"}},
      {{"--text", kTextMarker, "--buffer-text", "QV-nowhere-0x2"},
       {"TextBufferAddress: the buffer marker \"QV-nowhere-0x2\" is not in sample_app.dll's image",
        "check"}},
      // In the host, but not in the module's image.
      {{"--buffer-text", kTextMarker}, {"elsewhere"}},
      // Every marker given must be reached by the answer: a second one with
      // a slip is nowhere, and the first one's answer does not stand alone.
      {{"--text", kTextMarker, "--text", "QV-7f3a txet"},
       {"ObjectAddressList and ObjectDataOffset: the marker \"QV-7f3a txet\" (type 3 field "
        "\"text\") is nowhere",
        "the answer must reach every marker given"}},
      // The picture's file name given as the filter's name: found, but its
      // record would start 4 bytes early, where no pointer leads.
      {{"--text", kTextMarker, "--text", "C:\\Projects\\intro\\opening.png", "--type", "80"},
       {"the marker \"C:\\\\Projects\\\\intro\\\\opening.png\" (type 80 field \"name\") was found (",
        "but no (list, offset) pair leads to its record through type 80's slot"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"find", std::to_string(host.pid()), "--module", "sample_app.dll"};
    args.insert(args.end(), c.markers.begin(), c.markers.end());
    const RunResult run = Probe(args);
    SCOPED_TRACE(c.markers.back());
    EXPECT_EQ(run.exit_code, 1);
    for (const std::string& s : c.said) EXPECT_NE(run.err.find(s), std::string::npos) << run.err;
    for (const std::string& s : c.shown) EXPECT_NE(run.out.find(s), std::string::npos) << run.out;
    EXPECT_EQ(run.err.rfind("quorvane-probe: ", 0), 0u);
    std::istringstream lines(run.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.rfind(";", 0), 0u) << line;
      ++count;
    }
    EXPECT_GT(count, 2);
  }
}

// A buffer marker that begins both the text buffer and the text record of
// build 1.4 (both in the image, both with more text after it): no answer is
// picked, both places are listed, the old profile's first.
TEST(FindTest, AmbiguityListsTheCandidatesAndPicksNone) {
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, HostOptions("1.4"))) << error;
  const Offsets old = ProfileOffsets(Profile());
  const std::vector<std::string> args = {"find", std::to_string(host.pid()), "--profile",
                                         Profile(), "--buffer-text", "QV-"};
  int status = -1;
  const Json report = ProbeJson(args, &status);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(report["ok"].boolean);
  EXPECT_EQ(report["found"]["TextBufferAddress"].type, Json::kNull);
  const Json& buffer = report["text_buffer"];
  EXPECT_EQ(buffer["answer"].str, "ambiguous");
  ASSERT_GE(buffer["candidates"].size(), 2u);
  EXPECT_EQ(U32(buffer["candidates"][0]["TextBufferAddress"]), old.buffer);
  EXPECT_TRUE(buffer["candidates"][0]["contender"].boolean);
  EXPECT_TRUE(buffer["candidates"][1]["contender"].boolean);
  EXPECT_EQ(report["walks"].size(), 0u);

  const RunResult run = Probe(args);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("TextBufferAddress: 2 places in sample_app.dll's image hold the buffer "
                         "marker alike; none picked"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.rfind("; No section", 0), 0u) << run.out;
  char first[80];
  std::snprintf(first, sizeof first, "TextBufferAddress=0x%08X", static_cast<unsigned>(old.buffer));
  const std::size_t listed = run.out.find(first);
  ASSERT_NE(listed, std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("TextBufferAddress="), listed);  // the first one listed
  EXPECT_EQ(run.out.rfind("*", listed), run.out.find("*")) << run.out;
}

// Build 1.4 with its live list holding the text object alone, and a
// "recently used" array in the image that leads to the same text object and
// to zero-filled records of every other type. Zeros decode plausibly under
// any layout but are no evidence: the find gives the true offsets or says
// it is ambiguous, never the array's.
TEST(FindTest, RecentlyUsedArrayOfZerosNeverWins) {
  const Offsets truth = ProfileOffsets(Profile());
  ServedHost host;
  std::string error;
  std::vector<std::string> options = HostOptions("1.4");
  options.insert(options.end(), {"--list", "recent"});
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, options)) << error;
  int status = -1;
  const Json report = ProbeJson(FindArgs(host.pid(), truth.section), &status);
  const Json& object = report["object"];
  const std::string answer = object["answer"].str;
  EXPECT_TRUE(answer == "found" || answer == "ambiguous") << answer;
  if (answer == "found") {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(U32(report["found"]["ObjectAddressList"]), truth.list);
    EXPECT_EQ(U32(report["found"]["ObjectDataOffset"]), truth.data);
  } else {
    EXPECT_EQ(status, 1);
    EXPECT_EQ(report["found"]["ObjectAddressList"].type, Json::kNull);
  }
  // The array was met: a candidate other than the truth, through the same
  // entry, whose other types all lead to zeros; it does not outscore the
  // truth.
  const Json* truth_candidate = nullptr;
  const Json* array = nullptr;
  for (const Json& c : object["candidates"].items) {
    if (U32(c["ObjectAddressList"]) == truth.list && U32(c["ObjectDataOffset"]) == truth.data) {
      truth_candidate = &c;
      continue;
    }
    int zeros = 0;
    for (const Json& t : c["types"].items) zeros += t["outcome"].str == "no_evidence" ? 1 : 0;
    if (U32(c["ObjectDataOffset"]) == truth.data && zeros >= 10) array = &c;
  }
  ASSERT_NE(truth_candidate, nullptr);
  ASSERT_NE(array, nullptr) << "no candidate of the \"recently used\" array";
  EXPECT_LE((*array)["score"].number, (*truth_candidate)["score"].number);
}

// In the Japanese ANSI code page (the test runs once more under it, for this
// alone): a marker and a section name in double-byte characters, whose
// second bytes may be ASCII: the "\x81\x5B" of the long vowel mark holds a '['.
TEST(FindTest, DoubleByteMarkerAndSectionInCodePage932) {
  if (GetACP() != 932) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 932";
  const std::string marker = "QV-\x83\x65\x83\x58\x83\x67";         // QV-tesuto in katakana
  const std::string section = "SampleApp \x83\x66\x81\x5B\x83\x5E";  // SampleApp deeta
  const Offsets truth = ProfileOffsets(Profile15());
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error,
                         {"--app", "1.5", "--text", marker, "--buffer-text", kBufferMarker}))
      << error;
  const RunResult run =
      Probe({"find", std::to_string(host.pid()), "--profile", Profile(), "--text", marker,
             "--buffer-text", kBufferMarker, "--section", section});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  char want[200];
  std::snprintf(want, sizeof want,
                "[%s]\r\nObjectAddressList=0x%08X\r\nObjectDataOffset=0x%08X\r\n"
                "TextBufferAddress=0x%08X\r\n;",
                section.c_str(), static_cast<unsigned>(truth.list),
                static_cast<unsigned>(truth.data), static_cast<unsigned>(truth.buffer));
  EXPECT_EQ(run.out.rfind(want, 0), 0u) << run.out.substr(0, 400);
  // A bracket of its own is still refused.
  const RunResult bracket = Probe({"find", std::to_string(host.pid()), "--module",
                                   "sample_app.dll", "--text", marker, "--section",
                                   "\x83\x66[" + section});
  EXPECT_EQ(bracket.exit_code, 2);
  EXPECT_EQ(bracket.out, "");
  EXPECT_NE(bracket.err.find("--section"), std::string::npos) << bracket.err;
}

// The host ends while the probe scans it: status 2, one clear line, nothing
// on standard output. The host's ballast makes the scan outlast a second,
// when the first progress line comes; the host is ended then. Should the
// find be done before (a fast machine), the ballast is doubled.
TEST(FindTest, HostThatExitsDuringTheScan) {
  bool ended = false;
  for (const char* ballast : {"640", "1280"}) {
    ServedHost host;
    std::string error;
    std::vector<std::string> options = HostOptions("1.5");
    options.insert(options.end(), {"--ballast", ballast});
    ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, options)) << error;
    const RunResult run = RunProgram(
        g_settings.probe, FindArgs(host.pid(), "SampleApp 1.5"), [&](const std::string& err) {
          if (!ended && err.find(kProgressLineStart) != std::string::npos) {
            ended = true;
            host.Stop();
          }
        });
    ASSERT_TRUE(run.started) << "the find did not end within three minutes";
    if (!ended) {
      EXPECT_EQ(run.exit_code, 0) << run.err;
      continue;
    }
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("exited during the scan"), std::string::npos) << run.err;
    break;
  }
  EXPECT_TRUE(ended) << "the find never took a second";
}

// ------------------------------------------------------------ find --then

// What the author changes the text marker to.
constexpr const char* kChangedMarker = "QV-2c4e text";

// The 1.4 host with an undo list in its image: copies of the records of
// `copies` ("all" or "text"), and `change` options for when it is told.
std::vector<std::string> UndoHostOptions(const char* copies,
                                         const std::vector<std::string>& change) {
  std::vector<std::string> options = HostOptions("1.4");
  options.insert(options.end(), {"--undo-copies", copies});
  options.insert(options.end(), change.begin(), change.end());
  return options;
}

std::vector<std::string> ThenArgs(std::uint32_t pid, const char* wait) {
  return {"find", std::to_string(pid), "--profile", Profile(), "--text", kTextMarker,
          "--then", kChangedMarker, "--wait", wait};
}

// Runs the probe and tells the host once the probe asks for the change.
RunResult ProbeAndTell(const std::vector<std::string>& args, const std::function<void()>& tell,
                       bool* told) {
  *told = false;
  return RunProgram(g_settings.probe, args, [&](const std::string& err) {
    if (!*told && err.find("quorvane-probe: now change \"") != std::string::npos) {
      *told = true;
      tell();
    }
  });
}

// An undo list in the image with copies of every record: the text marker
// alone leaves both lists alike. The author's change settles it: the live
// list is the one whose record now reads the new marker. Told once by a
// line on standard input (the JSON), once by a named event (the text).
TEST(FindThenTest, ChangeSettlesWhatOneMarkerLeavesOpen) {
  const Offsets truth = ProfileOffsets(Profile());
  for (const bool json : {true, false}) {
    SCOPED_TRACE(json ? "JSON, told on stdin" : "text, told by an event");
    const std::string event = "qvprobe-change-" + std::to_string(GetCurrentProcessId());
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(
        g_host_exe, kServeSeconds, &error,
        UndoHostOptions("all", {"--change-to", kChangedMarker, "--change-on",
                                json ? "stdin" : "event:" + event}),
        json))
        << error;
    if (json) {
      int status = -1;
      const Json alone =
          ProbeJson({"find", std::to_string(host.pid()), "--profile", Profile(), "--text",
                     kTextMarker},
                    &status);
      EXPECT_EQ(status, 1);
      EXPECT_EQ(alone["object"]["answer"].str, "ambiguous");
      EXPECT_EQ(alone["object"]["settled_by"].type, Json::kNull);
    }
    std::vector<std::string> args = ThenArgs(host.pid(), "120");
    if (json) args.push_back("--json");
    HANDLE set = nullptr;
    bool told = false;
    const RunResult run = ProbeAndTell(
        args,
        [&] {
          if (json) {
            EXPECT_TRUE(host.Tell(""));
            return;
          }
          set = OpenEventA(EVENT_MODIFY_STATE, FALSE, event.c_str());
          EXPECT_NE(set, nullptr);
          if (set != nullptr) {
            EXPECT_TRUE(SetEvent(set));
          }
        },
        &told);
    if (set != nullptr) CloseHandle(set);
    EXPECT_TRUE(told) << run.err;
    EXPECT_EQ(run.exit_code, 0) << run.err;
    if (json) {
      Json report;
      ASSERT_TRUE(ParseJson(run.out, &report, &error)) << error << run.out;
      EXPECT_EQ(U32(report["found"]["ObjectAddressList"]), truth.list);
      EXPECT_EQ(U32(report["found"]["ObjectDataOffset"]), truth.data);
      const Json& object = report["object"];
      // One verdict, the change's; the scan's own beside it.
      EXPECT_EQ(object["answer"].str, "found");
      EXPECT_EQ(object["scan_answer"].str, "ambiguous");
      EXPECT_TRUE(report["ok"].boolean);
      EXPECT_EQ(object["settled_by"].str, "change");
      EXPECT_EQ(object["change"]["settled"].str, "chosen");
      int contenders = 0, changed = 0;
      for (const Json& w : object["change"]["watched"].items) {
        contenders += w["contender"].boolean ? 1 : 0;
        changed += w["contender"].boolean && w["reading"].str == "new" ? 1 : 0;
      }
      EXPECT_GE(contenders, 2);
      EXPECT_EQ(changed, 1);
      // The walks go under the offsets the change settled, and see it.
      const Json* text = FindWalk(report, "GetObjectData", 3);
      ASSERT_NE(text, nullptr);
      for (const Json& field : (*text)["fields"].items) {
        if (field["name"].str == "text") {
          EXPECT_EQ(field["value"].str, kChangedMarker);
        }
      }
    } else {
      char section[120];
      std::snprintf(section, sizeof section,
                    "[Found]\r\nObjectAddressList=0x%08X\r\nObjectDataOffset=0x%08X\r\n;",
                    static_cast<unsigned>(truth.list), static_cast<unsigned>(truth.data));
      EXPECT_EQ(run.out.rfind(section, 0), 0u) << run.out.substr(0, 400);
      char settled[160];
      std::snprintf(settled, sizeof settled,
                    "; settled by the change: of the 2 candidates the scan left alike, only "
                    "ObjectAddressList=0x%08X ObjectDataOffset=0x%08X now reads \"%s\"\r\n",
                    static_cast<unsigned>(truth.list), static_cast<unsigned>(truth.data),
                    kChangedMarker);
      EXPECT_NE(run.out.find(settled), std::string::npos) << run.out;
    }
  }
}

// A buffer marker that begins both the text buffer and the text record of
// build 1.4 leaves two places in the image alike; changing the buffer's
// text settles it.
TEST(FindThenTest, BufferChangeSettlesPlacesThatTie) {
  const Offsets truth = ProfileOffsets(Profile());
  const char* changed = "B2-51d0 buffer";
  std::vector<std::string> options = HostOptions("1.4");
  options.insert(options.end(), {"--change-buffer-to", changed, "--change-on", "stdin"});
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, options, true)) << error;
  bool told = false;
  const RunResult run = ProbeAndTell(
      {"find", std::to_string(host.pid()), "--profile", Profile(), "--buffer-text", "QV-",
       "--buffer-then", changed, "--wait", "120", "--json"},
      [&] { EXPECT_TRUE(host.Tell("")); }, &told);
  EXPECT_TRUE(told) << run.err;
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.err.find("in the host (the text buffer); watching 2 places"), std::string::npos)
      << run.err;
  Json report;
  ASSERT_TRUE(ParseJson(run.out, &report, &error)) << error << run.out;
  EXPECT_EQ(U32(report["found"]["TextBufferAddress"]), truth.buffer);
  const Json& buffer = report["text_buffer"];
  EXPECT_EQ(buffer["answer"].str, "found");
  EXPECT_EQ(buffer["scan_answer"].str, "ambiguous");
  EXPECT_EQ(buffer["settled_by"].str, "change");
  EXPECT_EQ(buffer["change"]["settled"].str, "chosen");
}

// The text buffer holds text before the marker (the author did not clear
// it). A change of the marker could only tell which place is the buffer,
// never where it starts: nothing is watched and nothing picked, though the
// host would change the marker when asked.
TEST(FindThenTest, BufferWithTextBeforeTheMarkerStaysOpen) {
  const std::string changed = "QV-51d0 buffer";
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error,
                         {"--app", "1.4", "--text", kTextMarker, "--buffer-text",
                          std::string("Note: ") + kBufferMarker, "--change-buffer-to",
                          "Note: " + changed, "--change-on", "stdin"},
                         true))
      << error;
  bool told = false;
  const RunResult run = ProbeAndTell(
      {"find", std::to_string(host.pid()), "--profile", Profile(), "--buffer-text", kBufferMarker,
       "--buffer-then", changed, "--wait", "20", "--json"},
      [&] { EXPECT_TRUE(host.Tell("")); }, &told);
  EXPECT_FALSE(told) << run.err;
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("TextBufferAddress: the buffer marker \"QV-b9e1 buffer\" has something "
                         "other than a NUL unit right before it"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("clear the buffer, type the marker alone"), std::string::npos) << run.err;
  Json report;
  ASSERT_TRUE(ParseJson(run.out, &report, &error)) << error << run.out;
  EXPECT_FALSE(report["ok"].boolean);
  EXPECT_EQ(report["found"]["TextBufferAddress"].type, Json::kNull);
  const Json& buffer = report["text_buffer"];
  EXPECT_EQ(buffer["answer"].str, "ambiguous");
  EXPECT_TRUE(buffer["text_before"].boolean);
  EXPECT_EQ(buffer["settled_by"].type, Json::kNull);
  EXPECT_EQ(buffer["change"]["settled"].str, "not_watched");
  EXPECT_EQ(buffer["change"]["not_watched"].str, "text_before");
  // In the text, the one place left is listed as the contender it is.
  const RunResult text = Probe({"find", std::to_string(host.pid()), "--profile", Profile(),
                                "--buffer-text", kBufferMarker});
  EXPECT_EQ(text.exit_code, 1) << text.err;
  char place[96];
  std::snprintf(place, sizeof place, ";   * at 0x%08X: TextBufferAddress=0x%08X (text before it)",
                static_cast<unsigned>(U32(buffer["candidates"][0]["address"])),
                static_cast<unsigned>(ProfileOffsets(Profile()).buffer + 12));
  EXPECT_NE(text.out.find(place), std::string::npos) << text.out;
}

// Nothing settles it: a host that never changes (exit 1 after the wait,
// with the reason), and a host that changes the undo copy instead of the
// live record while the scan had one clear answer (a conflict: the change
// never overrules the scan).
TEST(FindThenTest, NoChangeAndAChangedCopyPickNothing) {
  const Offsets truth = ProfileOffsets(Profile());
  {
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, UndoHostOptions("all", {})))
        << error;
    const RunResult run = Probe(ThenArgs(host.pid(), "2"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("quorvane-probe: now change \"QV-7f3a text\" to \"QV-2c4e text\" in "
                           "the host (type 3 field \"text\")"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("quorvane-probe: ObjectAddressList and ObjectDataOffset: no candidate "
                           "changed in 2 s"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.rfind("; No section", 0), 0u) << run.out.substr(0, 400);
    EXPECT_NE(run.out.find("; no candidate changed in 2 s"), std::string::npos) << run.out;
  }
  {
    const std::string event = "qvprobe-copy-" + std::to_string(GetCurrentProcessId());
    ServedHost host;
    std::string error;
    ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error,
                           UndoHostOptions("text", {"--change-copy-to", kChangedMarker,
                                                    "--change-on", "event:" + event})))
        << error;
    std::vector<std::string> args = ThenArgs(host.pid(), "120");
    args.push_back("--json");
    bool told = false;
    const RunResult run = ProbeAndTell(
        args,
        [&] {
          HANDLE set = OpenEventA(EVENT_MODIFY_STATE, FALSE, event.c_str());
          ASSERT_NE(set, nullptr);
          EXPECT_TRUE(SetEvent(set));
          CloseHandle(set);
        },
        &told);
    EXPECT_TRUE(told) << run.err;
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find("ObjectAddressList and ObjectDataOffset: conflict: the scan's answer"),
              std::string::npos)
        << run.err;
    Json report;
    ASSERT_TRUE(ParseJson(run.out, &report, &error)) << error << run.out;
    EXPECT_EQ(report["found"]["ObjectAddressList"].type, Json::kNull);
    const Json& object = report["object"];
    // The change overruled nothing: no answer, the scan's own beside it.
    EXPECT_FALSE(report["ok"].boolean);
    EXPECT_EQ(object["answer"].str, "ambiguous");
    EXPECT_EQ(object["scan_answer"].str, "found");
    EXPECT_EQ(object["settled_by"].type, Json::kNull);
    EXPECT_EQ(U32(object["candidates"][0]["ObjectAddressList"]), truth.list);
    EXPECT_EQ(object["change"]["settled"].str, "conflict");
  }
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

// A TextBufferAddress two bytes off still reads text, from inside the
// buffer: the walk is marked as implausible, as the find judges a buffer
// place (text right before it), in the text and the JSON, and counted in
// the summary line. As for an implausible record, the exit status stays 0:
// every walk reaches data.
TEST(ProbeTest, TextBufferInsideRunningTextIsMarked) {
  const std::string path =
      WriteProfile("buffer-off-by-2", "SampleApp 1.4", "sample_app.dll", "0x1040", "0x24", "0x1B62");
  int status = -1;
  const Json report = ProbeJson({path, Pid()}, &status);
  EXPECT_EQ(status, 0);
  const Json* walk = FindWalk(report, "GetTextbufferString", 0);
  ASSERT_NE(walk, nullptr);
  EXPECT_TRUE((*walk)["ok"].boolean);
  EXPECT_FALSE((*walk)["plausible"].boolean);
  ASSERT_EQ((*walk)["implausible"].size(), 1u);
  EXPECT_NE((*walk)["implausible"][0]["message"].str.find("U+0053 'S' right before it"),
            std::string::npos)
      << (*walk)["implausible"][0]["message"].str;

  const RunResult run = Probe({path, Pid()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("    \"cene 3 of 12"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  implausible: U+0053 'S' right before it, not a NUL unit: a buffer "
                         "does not start inside running text"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("All 16 walks reach their data.\r\n1 walk reaches implausible data"),
            std::string::npos)
      << run.out;
  // Where the buffer starts, nothing is marked.
  const Json right = ProbeJson({Profile(), Pid()}, &status);
  EXPECT_EQ(status, 0);
  const Json* start = FindWalk(right, "GetTextbufferString", 0);
  ASSERT_NE(start, nullptr);
  EXPECT_TRUE((*start)["plausible"].boolean);
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

// ------------------------------------------------------------ memory left alone

// Asks the host started with --traps whether its guard page is still one.
std::string AskAboutTheGuardPage(ServedHost* host) {
  const std::string name = "quorvane-sample-host-" + std::to_string(host->pid());
  const HANDLE asked = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (asked == nullptr) return "no event " + name;
  SetEvent(asked);
  CloseHandle(asked);
  std::string answer;
  return host->ReadLine(&answer) ? answer : "no answer";
}

// A walk sent into the host's guard page stops there and says so, and the
// host, asked afterwards, finds with VirtualQuery that the page is still a
// guard page; a walk sent into its reserved region stops there too. The
// profile's list offset puts type 3's slot at the address.
TEST(ProbeTest, WalksLeaveGuardPagesAndReservedMemoryAlone) {
  ServedHost host;
  std::string error;
  ASSERT_TRUE(host.Start(g_host_exe, kServeSeconds, &error, {"--traps"})) << error;
  std::string guard_line, reserved_line;
  ASSERT_TRUE(host.ReadLine(&guard_line));
  ASSERT_TRUE(host.ReadLine(&reserved_line));
  unsigned long guard = 0, reserved = 0;
  ASSERT_EQ(std::sscanf(guard_line.c_str(), "guard 0x%lx", &guard), 1) << guard_line;
  ASSERT_EQ(std::sscanf(reserved_line.c_str(), "reserved 0x%lx", &reserved), 1) << reserved_line;
  ASSERT_EQ(AskAboutTheGuardPage(&host), "guard page armed");
  std::uint32_t base = 0, size = 0;
  ASSERT_TRUE(ModuleRange(host.pid(), kModule, &base, &size));

  struct Case {
    const char* name;
    std::uint32_t address;
    const char* cause;
  };
  for (const Case& c : {Case{"guard_page", static_cast<std::uint32_t>(guard) + 0x40, "guard_page"},
                        Case{"reserved", static_cast<std::uint32_t>(reserved) + 0x2000, "reserved"}}) {
    SCOPED_TRACE(c.name);
    char list[16];
    std::snprintf(list, sizeof list, "0x%08X", static_cast<unsigned>(c.address - base - 12));
    const std::string path = WriteProfile(std::string("trap-") + c.name, "SampleApp 1.4", kModule,
                                          list, "0x24", "0x1B60");
    int status = -1;
    const Json report = ProbeJson({path, std::to_string(host.pid()), "--type", "3"}, &status);
    EXPECT_EQ(status, 1);
    const Json& stop = report["walks"][0]["stop"];
    EXPECT_EQ(stop["hop"].str, "slot");
    EXPECT_EQ(stop["reason"].str, "unreadable");
    EXPECT_EQ(stop["cause"].str, c.cause) << stop["message"].str;
    EXPECT_EQ(U32(stop["address"]), c.address);
  }
  EXPECT_EQ(AskAboutTheGuardPage(&host), "guard page armed");
}

// ------------------------------------------------------------ walks that stop alike

struct SharedCase {
  const char* name;
  const char* list;  // as in HopCase
  const char* data;
  const char* module;
  const char* hop;    // of the shared stop; null: none is named
  const char* reason;
  const char* key;    // the offset named first
  const char* close_module;  // a loaded module named as close; null: none
};

void PrintTo(const SharedCase& c, std::ostream* os) { *os << c.name; }

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class SharedStopTest : public ::testing::TestWithParam<SharedCase> {};

// Fifteen walks that stop at the same hop for the same reason name the
// offset they share once, instead of fifteen stops.
TEST_P(SharedStopTest, NamesTheSharedOffsetOnce) {
  const SharedCase& c = GetParam();
  const std::string list = Resolve(c.list);
  const std::string path = WriteProfile(std::string("shared-") + c.name, "SampleApp 1.4", c.module,
                                        list.c_str(), c.data, "0x1B60");
  int status = -1;
  const Json report = ProbeJson({path, Pid()}, &status);
  EXPECT_EQ(status, 1);
  const Json& shared = report["shared_stop"];
  const RunResult run = Probe({path, Pid()});
  EXPECT_EQ(run.exit_code, 1);
  const bool text_buffer_stops = c.hop != nullptr && std::string(c.hop) == "module";
  if (c.hop == nullptr) {
    EXPECT_EQ(shared.type, Json::kNull);
    EXPECT_EQ(Count(run.out, "likely cause"), 0u) << run.out;
    // Each stopped walk says where it stopped.
    std::size_t stopped = 0;
    for (const Json& walk : report["walks"].items) stopped += walk["ok"].boolean ? 0 : 1;
    EXPECT_GE(stopped, 2u);
    EXPECT_EQ(Count(run.out, "  stopped at the "), stopped) << run.out;
  } else {
    ASSERT_EQ(shared.type, Json::kObject) << report["walks"][0]["stop"]["message"].str;
    EXPECT_EQ(shared["hop"].str, c.hop);
    EXPECT_EQ(shared["reason"].str, c.reason);
    EXPECT_EQ(shared["walks"].number, 15);
    ASSERT_GE(shared["keys"].size(), 1u);
    EXPECT_EQ(shared["keys"][0].str, c.key);
    // Each walk keeps its own stop in the JSON.
    for (const Json& walk : report["walks"].items) {
      if (walk["call"].str == "GetObjectData") {
        EXPECT_EQ(walk["stop"]["hop"].str, c.hop);
      }
    }
    EXPECT_EQ(Count(run.out, "likely cause: " + std::string(c.key)), 1u) << run.out;
    EXPECT_NE(run.out.find(shared["what"].str), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, "  stopped at the "), text_buffer_stops ? 1u : 0u) << run.out;
  }
  if (text_buffer_stops) {
    const Json& close = report["process"]["close_modules"];
    EXPECT_GE(report["process"]["loaded_modules"].number, 3);
    bool named = false;
    for (const Json& name : close.items) named = named || name.str == "sample_app.dll";
    if (c.close_module != nullptr) {
      EXPECT_TRUE(named) << close.size() << " close modules";
      EXPECT_NE(run.out.find("loaded modules with close names: sample_app.dll"), std::string::npos)
          << run.out;
    } else {
      EXPECT_EQ(close.size(), 0u);
      EXPECT_NE(run.out.find("no loaded module has a close name"), std::string::npos) << run.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, SharedStopTest,
    ::testing::Values(
        SharedCase{"pointer_offset_to_zeros", "0x1040", "0x28", kModule, "record_pointer", "zero",
                   "ObjectDataOffset", nullptr},
        SharedCase{"list_in_zeros", "0x2800", "0x24", kModule, "slot", "zero",
                   "ObjectAddressList", nullptr},
        SharedCase{"list_unmapped", "@0x100", "0x24", kModule, "slot", "unreadable",
                   "ObjectAddressList", nullptr},
        SharedCase{"module_misspelt", "0x1040", "0x24", "sampel_app.dll", "module", "not_loaded",
                   "Module", "sample_app.dll"},
        SharedCase{"module_unlike_any", "0x1040", "0x24", "qz_nothing_alike.dll", "module",
                   "not_loaded", "Module", nullptr},
        // Entry + 0x10 holds the type index, read as a record pointer: 0 for
        // type 0, unreadable for most others, and nothing to read for the
        // types without fields. Stops that differ name no shared offset.
        SharedCase{"pointer_offset_to_type_index", "0x1040", "0x10", kModule, nullptr, nullptr,
                   nullptr, nullptr}),
    [](const ::testing::TestParamInfo<SharedCase>& param) { return std::string(param.param.name); });

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

// A list offset off by four reaches data, the wrong data: the walk of
// type 3 reads type 4's record, whose name lands on the colours. The walk
// marks what no host would hold, in both reports; under the true profile
// the same walk is not marked.
TEST(ProbeTest, MarksTheRecordAnOffsetOffByFourReaches) {
  int status = -1;
  const Json truth = ProbeJson({Profile(), Pid(), "--type", "3"}, &status);
  ASSERT_EQ(truth["walks"].size(), 1u);
  EXPECT_TRUE(truth["walks"][0]["plausible"].boolean);
  EXPECT_EQ(truth["walks"][0]["implausible"].size(), 0u);

  const std::string path =
      WriteProfile("off-by-four", "SampleApp 1.4", kModule, "0x1044", "0x24", "0x1B60");
  const Json off = ProbeJson({path, Pid(), "--type", "3"}, &status);
  ASSERT_EQ(off["walks"].size(), 1u);
  const Json& walk = off["walks"][0];
  EXPECT_TRUE(walk["ok"].boolean) << walk["stop"]["message"].str;
  EXPECT_FALSE(walk["plausible"].boolean);
  const Json* color = nullptr;
  for (const Json& mark : walk["implausible"].items) {
    if (mark["field"].str == "color") color = &mark;
  }
  ASSERT_NE(color, nullptr) << walk["implausible"].size() << " marks";
  EXPECT_EQ((*color)["offset"].number, 8);
  EXPECT_NE((*color)["message"].str.find("has a top byte: not a colour"), std::string::npos)
      << (*color)["message"].str;

  const RunResult run = Probe({path, Pid(), "--type", "3"});
  EXPECT_NE(run.out.find("  implausible: \"color\" (+8): " + (*color)["message"].str + "\r\n"),
            std::string::npos)
      << run.out;
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
  EXPECT_EQ(status, 1);  // two offsets read as 0
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

  EXPECT_EQ(report["profile"]["close_sections"].size(), 0u);

  const RunResult text = Probe({path});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("note: upper-case \"0X\""), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("note: key missing"), std::string::npos) << text.out;
}

// A version that names no section: every key is missing, and the sections
// the profile has are listed, the closest named.
TEST(ProbeTest, ProfileWithoutTheVersionsSectionNamesTheClosest) {
  int status = -1;
  const std::string lost = WriteProfile("lost", "SampleApp 9", kModule, "0x1040", "0x24", "0x1B60");
  const Json lost_report = ProbeJson({lost}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(lost_report["profile"]["section_found"].boolean);
  for (const Json& offset : lost_report["profile"]["offsets"].items) {
    EXPECT_EQ(offset["notes"][0]["code"].str, "missing_key");
  }
  const Json& sections = lost_report["profile"]["sections"];
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[0].str, "Config");
  EXPECT_EQ(sections[1].str, "SampleApp 1.4");
  ASSERT_EQ(lost_report["profile"]["close_sections"].size(), 1u);
  EXPECT_EQ(lost_report["profile"]["close_sections"][0].str, "SampleApp 1.4");
  const RunResult lost_text = Probe({lost});
  EXPECT_NE(lost_text.out.find("sections in the profile: [SampleApp 1.4]\r\n"), std::string::npos)
      << lost_text.out;
  EXPECT_NE(lost_text.out.find("closest to \"SampleApp 9\": [SampleApp 1.4]"), std::string::npos)
      << lost_text.out;
}

// A value whose quoted form is longer than any fixed line keeps its reading
// and its line break.
TEST(ProbeTest, LongValueKeepsItsReadingAndLineBreak) {
  const std::string long_value = "0x1040" + std::string(130, '\x01');
  const RunResult long_text =
      Probe({WriteProfile("long", "SampleApp 1.4", kModule, long_value.c_str(), "0x24", "0x1B60")});
  EXPECT_EQ(long_text.exit_code, 0);
  std::string quoted = "\"0x1040";
  for (int i = 0; i < 130; ++i) quoted += "\\001";
  EXPECT_NE(long_text.out.find(quoted + "\" -> 0x00001040\r\n      note: "), std::string::npos)
      << long_text.out;
}

// Without a process the check exits 1 when an offset reads as 0, however it
// is written: the module takes 0 as missing, and every read that needs the
// offset gives nil. A value that still reads as a number keeps its note and
// counts.
TEST(ProbeTest, ProfileAloneExitsOneWhenAnOffsetReadsAsZero) {
  const std::string for_objects = "GetObjectData gives nil for every type.\r\n";
  const std::string for_buffer = "GetTextbufferString gives nil.\r\n";
  struct Case {
    const char* name;
    const char* version;
    const char* list;
    const char* data;
    const char* text;
    std::vector<std::string> zero;   // the keys that read as 0
    std::string ending;              // what the report ends with
  };
  const Case cases[] = {
      {"usable", "SampleApp 1.4", "0x1040 ; per-type list", "24", "1B60", {}, ""},
      {"upper_case_x", "SampleApp 1.4", "0x1040", "0X24", "1B60", {"ObjectDataOffset"},
       "\r\nObjectDataOffset is 0: " + for_objects},
      {"missing_key", "SampleApp 1.4", "0x1040", "0x24", nullptr, {"TextBufferAddress"},
       "\r\nTextBufferAddress is 0: " + for_buffer},
      {"empty_and_zero", "SampleApp 1.4", "", "0", "1B60", {"ObjectAddressList", "ObjectDataOffset"},
       "\r\nObjectAddressList and ObjectDataOffset are 0: " + for_objects},
      {"no_section", "SampleApp 9", "0x1040", "0x24", "1B60",
       {"ObjectAddressList", "ObjectDataOffset", "TextBufferAddress"},
       "\r\nObjectAddressList and ObjectDataOffset are 0: " + for_objects +
           "TextBufferAddress is 0: " + for_buffer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        WriteProfile(std::string("zero_") + c.name, c.version, kModule, c.list, c.data, c.text);
    const int want = c.zero.empty() ? 0 : 1;
    const RunResult text = Probe({path});
    EXPECT_EQ(text.exit_code, want) << text.err;
    EXPECT_EQ(text.err, "");
    if (c.ending.empty()) {
      EXPECT_EQ(text.out.find(" is 0: "), std::string::npos) << text.out;
    } else {
      ASSERT_GE(text.out.size(), c.ending.size());
      EXPECT_EQ(text.out.substr(text.out.size() - c.ending.size()), c.ending) << text.out;
    }
    int status = -1;
    const Json report = ProbeJson({path}, &status);
    EXPECT_EQ(status, want);
    EXPECT_EQ(report["ok"].boolean, want == 0);
    std::vector<std::string> zero;
    for (const Json& key : report["profile"]["zero_offsets"].items) zero.push_back(key.str);
    EXPECT_EQ(zero, c.zero);
  }
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

// The options that a synopsis, from `from` to the next line that names a
// command or to the first empty line, shows outside brackets, as required.
std::vector<std::string> ShownAsRequired(const std::string& usage, const std::string& from) {
  const std::size_t start = usage.find(from);
  if (start == std::string::npos) return {"(no " + from + ")"};
  const std::size_t end = std::min(usage.find("\r\n\r\n", start),
                                   usage.find("quorvane-probe ", start + from.size()));
  const std::string synopsis = usage.substr(start, end - start);
  std::vector<std::string> required;
  int depth = 0;
  for (std::size_t i = 0; i < synopsis.size(); ++i) {
    if (synopsis[i] == '[') ++depth;
    if (synopsis[i] == ']') --depth;
    if (depth == 0 && synopsis.compare(i, 3, " --") == 0) {
      required.push_back(synopsis.substr(i + 1, synopsis.find_first_of(" \r", i + 1) - i - 1));
    }
  }
  return required;
}

// find requires no option: it takes --text, --buffer-text or both (see
// BufferChangeSettlesPlacesThatTie for the buffer's marker alone), and
// --profile's Module for --module. Its usage and the program's say so, as
// the error does.
TEST(ProbeTest, FindUsageShowsNoOptionAsRequired) {
  const RunResult usage = Probe({"find", "--help"});
  EXPECT_EQ(usage.exit_code, 0);
  EXPECT_EQ(ShownAsRequired(usage.out, "usage: quorvane-probe find"), std::vector<std::string>())
      << usage.out;
  EXPECT_NE(usage.out.find("a marker at least (--text, --buffer-text or both)"), std::string::npos)
      << usage.out;
  const RunResult program = Probe({"--help"});
  EXPECT_EQ(ShownAsRequired(program.out, "quorvane-probe find"), std::vector<std::string>())
      << program.out;
  const RunResult none = Probe({"find", Pid(), "--module", "sample_app.dll"});
  EXPECT_NE(none.err.find("--buffer-text MARKER or both"), std::string::npos) << none.err;
}

// ------------------------------------------------------------ status 2

struct BadCase {
  const char* name;
  std::vector<std::string> args;  // {profile}, {pid}, {missing}, {no-module}, {exited} are filled in
  const char* message;            // part of the one line on stderr
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadInputTest, SaysWhyOnOneLine) {
  std::vector<std::string> args;
  ServedHost exited;  // for {exited}: a host that has exited with code 259, STILL_ACTIVE
  for (const std::string& a : GetParam().args) {
    if (a == "{profile}") args.push_back(Profile());
    else if (a == "{pid}") args.push_back(Pid());
    else if (a == "{exited}") {
      std::string error;
      ASSERT_TRUE(exited.Start(g_host_exe, 0, &error, {"--exit-code", "259"})) << error;
      ASSERT_TRUE(exited.WaitForExit());
      args.push_back(std::to_string(exited.pid()));
    }
    else if (a == "{missing}") args.push_back(g_scratch + "no-such-profile.ini");
    else if (a == "{no-module}")
      args.push_back(WriteProfile("no-module", "SampleApp 1.4", nullptr, "0x1040", "0x24", "0"));
    else args.push_back(a);
  }
  ExpectCannot(Probe(args), GetParam().message);
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
        BadCase{"no_such_process_id", {"{profile}", "999999"},
                "no process with id 999999 is running"},
        BadCase{"find_no_such_process_id",
                {"find", "999999", "--module", "sample_app.dll", "--text", "QV"},
                "no process with id 999999 is running"},
        BadCase{"find_without_marker", {"find", "{pid}", "--module", "sample_app.dll"},
                "find needs a marker"},
        BadCase{"find_without_module", {"find", "{pid}", "--text", "QV"}, "find needs --module"},
        BadCase{"find_type_without_string",
                {"find", "{pid}", "--module", "sample_app.dll", "--text", "QV", "--type", "7"},
                "type 7 has no string field"},
        BadCase{"find_field_unknown",
                {"find", "{pid}", "--module", "sample_app.dll", "--text", "QV", "--type", "80",
                 "--field", "nosuch"},
                "type 80 has no string field \"nosuch\" (its string fields: name, param)"},
        BadCase{"find_module_not_loaded",
                {"find", "{pid}", "--module", "not_here.dll", "--text", "QV"},
                "not_here.dll is not loaded in process"},
        BadCase{"find_module_misspelt",
                {"find", "{pid}", "--module", "sample_ap.dll", "--text", "QV"},
                "(loaded, with a close name: sample_app.dll)"},
        BadCase{"find_same_markers",
                {"find", "{pid}", "--module", "m", "--text", "QV-1", "--buffer-text", "QV-12"},
                "two different markers"},
        BadCase{"find_offset_limit", {"find", "{pid}", "--module", "m", "--text", "QV",
                                      "--max-offset", "0x200000"}, "--max-offset needs"},
        // A host that exited with code 259 has not gone on running.
        BadCase{"process_exited", {"{profile}", "{exited}"}, "exited"},
        BadCase{"find_process_exited", {"find", "{exited}", "--module", "sample_app.dll", "--text",
                                        "QV"}, "exited"},
        BadCase{"find_then_before_text",
                {"find", "{pid}", "--module", "m", "--then", "QV-2", "--text", "QV-1"},
                "give it after that --text"},
        BadCase{"find_then_holds_the_marker",
                {"find", "{pid}", "--module", "m", "--text", "QV-1", "--then", "QV-12"},
                "--then needs a marker that differs"},
        BadCase{"find_buffer_then_alone",
                {"find", "{pid}", "--module", "m", "--text", "QV-1", "--buffer-then", "QV-2"},
                "no --buffer-text given"},
        BadCase{"find_wait_alone",
                {"find", "{pid}", "--module", "m", "--text", "QV-1", "--wait", "5"},
                "neither given"},
        BadCase{"find_wait_zero",
                {"find", "{pid}", "--module", "m", "--text", "QV-1", "--then", "QV-2", "--wait",
                 "0"},
                "--wait needs a number of seconds"}),
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
  if (!probe_test::ReadTestArguments(
          "probe_tests",
          "--probe=EXE --host-dir=DIR --profile=INI --profile-1.5=INI --dump=LUA "
          "[--runtime-dir=DIR]... [--release=X=INI]...",
          argc, argv,
          {{"--probe=", &g_settings.probe, nullptr},
           {"--host-dir=", &g_settings.host_dir, nullptr},
           {"--profile=", &g_settings.profile, nullptr},
           {"--profile-1.5=", &g_settings.profile_1_5, nullptr},
           {"--dump=", &g_settings.dump, nullptr},
           {"--runtime-dir=", nullptr, &g_settings.runtime_dirs}},
          &g_settings.releases)) {
    return 2;
  }
  if (!qv_tests::RunsInTheExpectedCodePage("probe_tests")) return 1;
  g_settings.probe = probe_test::FullPath(g_settings.probe);
  ::testing::AddGlobalTestEnvironment(new probe_test::ProbeEnvironment);
  return RUN_ALL_TESTS();
}
