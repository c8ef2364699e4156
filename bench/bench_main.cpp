// qv_bench.exe: nanoseconds per call of Quorvane's functions under the Lua
// runtime whose lua51.dll lies beside the program, with qv_fixture.dll as the
// host module, against references measured in the same run by the same Lua
// loop:
//
//  - floor: hand-written C readers of the same records (floor_readers.c),
//    sharing no code with the module, reading a copy of each record in this
//    program's memory: no address table read, no pointer followed, no guard;
//  - floor+table: the same readers after reading the address table's fields
//    with lua_getfield and luaL_checknumber, as any reader of it must;
//  - same code: the module's own push code (PushObjectRecord,
//    PushHostWideText, compiled into this program over plain memcpy reads,
//    see bench_platform.cpp) on the same copies;
//  - under LuaJIT, ffi_reader.lua: the same records read through the FFI.
//
// For each of the module's functions it also reports the process's private
// bytes after the first 10,000 calls and after 1,000,000 (GetAddress, which
// reads a file on every call: 30,000), a full collection before each
// reading. At the end come the ratios as "ratio <case> <variant> <value>"
// lines, which tools/bench.sh gathers across code placements.
//
//   qv_bench.exe [--runs=N] [--calls=N] [--address-calls=N] [--run-ms=N]
//                [--skip-address]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/floor_readers.h"
#include "fixture.h"
#include "module/lua_api.h"
#include "module/lua_helpers.h"
#include "readers/host_strings.h"
#include "readers/layouts.h"
#include "readers/readers.h"

extern "C" {
#include <lualib.h>
}

namespace {

// ------------------------------------------------------------------ settings

constexpr int kMaxRuns = 25;
constexpr long kFirstCalls = 10000;  // calls before the first memory reading
constexpr int kTextLength = 100;     // characters of the text buffer

struct Settings {
  int runs = 7;
  long calls = 1000000;         // calls of each reader for the memory readings
  long address_calls = 30000;   // the same for GetAddress, which reads a file
  long run_ms = 150;            // length of one timed run of the module
  bool skip_address = false;    // leave GetAddress out (it reads a file, not code-bound)
};

// ------------------------------------------------------------------ the floors

// Copies of the fixture's records and text in this program's own memory,
// each at the same offset within its page as the original: the readers copy
// strings page by page, so the offset decides how many copies a string takes.
std::uint32_t g_text_record, g_video_record, g_filter_record, g_text;

std::uint32_t AddressOf(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

const void* PointerTo(std::uint32_t address) {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
}

// A copy of `size` bytes at `original`, in pages of its own; 0 if none.
std::uint32_t CopyAtSamePageOffset(const void* original, std::uint32_t size) {
  const std::uint32_t offset = AddressOf(original) % 4096u;
  void* pages = VirtualAlloc(nullptr, offset + size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (pages == nullptr) return 0;
  std::memcpy(static_cast<char*>(pages) + offset, original, size);
  return AddressOf(pages) + offset;
}

std::uint32_t CopyOfRecord(std::int32_t type_index) {
  switch (type_index) {
    case 3: return g_text_record;
    case 6: return g_video_record;
    case 80: return g_filter_record;
    default: return 0;
  }
}

// The "same code" floor: the module's push code on the copies.
int PushRecordCopy(lua_State* L, std::int32_t type_index) {
  const quorvane::RecordLayout* layout = quorvane::FindLayout(type_index);
  const std::uint32_t record = CopyOfRecord(type_index);
  if (layout == nullptr || record == 0) return 0;
  const int top = lua_gettop(L);
  if (!quorvane::PushObjectRecord(L, record, *layout)) {
    lua_settop(L, top);
    return 0;
  }
  return 1;
}

int PushTextCopy(lua_State* L) {
  if (!quorvane::PushHostWideText(L, g_text, quorvane::kMaxTextElements * 2)) return 0;
  return 1;
}

// same_object(addressTable, typeIndex): the arguments of GetObjectData; the
// table is not looked at, the record is this program's copy.
int SameCodeObject(lua_State* L) {
  return PushRecordCopy(L, static_cast<std::int32_t>(quorvane::CheckHostAddress(L, 2)));
}

// same_text(addressTable): the copy of the text buffer.
int SameCodeText(lua_State* L) { return PushTextCopy(L); }

// What calling a C function from the loop costs by itself.
int EmptyCall(lua_State*) { return 0; }

// ------------------------------------------------------------------ Lua side

// Builds the cases: for each, the function and its two arguments for the
// module, the two floors, floor+table and the FFI script, after checking
// that they all give the same value.
const char kSetupChunk[] = R"lua(
local profile, ffi_path, F = ...
local Q = require "Quorvane"
local A = Q.GetAddress(profile)
if not A then error("GetAddress gave nil for " .. profile) end
local ffi_reader = jit and dofile(ffi_path)

local function v(f, a, b) return { f = f, a = a, b = b } end
local cases = {
  call = { module = v(F.empty, A, 3) },
  text = { module = v(Q.GetTextbufferString, A), floor = v(F.floor_text, A),
           floor_table = v(F.floor_text_table, A), same = v(F.same_text, A),
           ffi = ffi_reader and v(ffi_reader.text, A) },
  address = { module = v(Q.GetAddress, profile) },
}
for _, index in ipairs { 3, 6, 80 } do
  cases["object" .. index] = {
    module = v(Q.GetObjectData, A, index), floor = v(F.floor_object[index], A, index),
    floor_table = v(F.floor_object_table[index], A, index),
    same = v(F.same_object, A, index),
    ffi = ffi_reader and v(ffi_reader.object, A, index) }
end

local function show(x)
  if type(x) ~= "table" then return tostring(x) end
  local keys = {}
  for k in pairs(x) do keys[#keys + 1] = k end
  table.sort(keys)
  for i, k in ipairs(keys) do keys[i] = k .. "=" .. tostring(x[k]) end
  return "{" .. table.concat(keys, ", ") .. "}"
end
local function same(x, y)
  if type(x) ~= "table" or type(y) ~= "table" then return x == y end
  for k, value in pairs(x) do if y[k] ~= value then return false end end
  for k in pairs(y) do if x[k] == nil then return false end end
  return true
end
for name, c in pairs(cases) do
  local expected = c.module.f(c.module.a, c.module.b)
  if name ~= "call" and expected == nil then error(name .. ": the module gave nil") end
  for _, kind in ipairs { "floor", "floor_table", "same", "ffi" } do
    local w = c[kind]
    if w then
      local got = w.f(w.a, w.b)
      if not same(expected, got) then
        error(name .. ": " .. kind .. " gave " .. show(got) .. ", the module " .. show(expected))
      end
    end
  end
end
return cases
)lua";

// A loop of its own for every function measured: function(n) calling
// f(a, b) n times. It takes turns between two equal copies of the first
// argument and keeps each result: under LuaJIT, a loop compiled with an FFI
// reader inlined into it would otherwise let the compiler hoist the record's
// loads and strings out of the loop and drop the unused tables, and time
// nothing. The module and the floor run through the same loop.
const char kLoopChunk[] = R"lua(
local f, a, b = ...
local args = { a, a }
if type(a) == "table" then
  local copy = {}
  for k, v in pairs(a) do copy[k] = v end
  args[2] = copy
end
local sink = {}
return function(n)
  for i = 1, n do sink[1] = f(args[i % 2 + 1], b) end
end
)lua";

enum Variant { kModule, kFloor, kFloorTable, kSameCode, kFfi, kVariantCount };
const char* const kVariantKeys[kVariantCount] = {"module", "floor", "floor_table", "same", "ffi"};

struct BenchCase {
  const char* key;    // in the table the setup chunk returns
  const char* label;  // in the printed table
  bool memory;        // whether the module's function gets memory readings
  bool reads_file;    // GetAddress: fewer calls
};
const BenchCase kCases[] = {
    {"call", "empty C function (call cost)", false, false},
    {"object3", "GetObjectData, layout 3", true, false},
    {"object6", "GetObjectData, layout 6", true, false},
    {"object80", "GetObjectData, layout 80", true, false},
    {"text", "GetTextbufferString, 100 chars", true, false},
    {"address", "GetAddress, 4-section profile", true, true},
};
constexpr int kCaseCount = static_cast<int>(sizeof kCases / sizeof kCases[0]);

struct Loops {
  int ref[kCaseCount][kVariantCount];
};

struct Setup {
  const char* profile;
  const char* ffi_path;
  Loops* loops;
};

// Runs the setup chunk and makes a loop for every function (in lua_cpcall).
int PrepareLoops(lua_State* L) {
  const Setup* setup = static_cast<const Setup*>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  if (luaL_loadstring(L, kSetupChunk) != 0) lua_error(L);
  lua_pushstring(L, setup->profile);
  lua_pushstring(L, setup->ffi_path);
  lua_createtable(L, 0, 8);
  const struct {
    const char* name;
    lua_CFunction f;
  } singles[] = {{"empty", EmptyCall},
                 {"floor_text", qvb_floor_text},
                 {"floor_text_table", qvb_floor_text_table},
                 {"same_object", SameCodeObject},
                 {"same_text", SameCodeText}};
  for (const auto& single : singles) {
    lua_pushcfunction(L, single.f);
    lua_setfield(L, -2, single.name);
  }
  const lua_CFunction objects[2][3] = {
      {qvb_floor_object3, qvb_floor_object6, qvb_floor_object80},
      {qvb_floor_object3_table, qvb_floor_object6_table, qvb_floor_object80_table}};
  const char* const object_names[2] = {"floor_object", "floor_object_table"};
  const int indices[3] = {3, 6, 80};
  for (int k = 0; k < 2; ++k) {
    lua_createtable(L, 0, 3);
    for (int i = 0; i < 3; ++i) {
      lua_pushcfunction(L, objects[k][i]);
      lua_rawseti(L, -2, indices[i]);
    }
    lua_setfield(L, -2, object_names[k]);
  }
  lua_call(L, 3, 1);
  const int cases = lua_gettop(L);
  for (int c = 0; c < kCaseCount; ++c) {
    lua_getfield(L, cases, kCases[c].key);
    for (int v = 0; v < kVariantCount; ++v) {
      setup->loops->ref[c][v] = LUA_NOREF;
      lua_getfield(L, -1, kVariantKeys[v]);
      if (lua_istable(L, -1)) {
        if (luaL_loadstring(L, kLoopChunk) != 0) lua_error(L);
        lua_getfield(L, -2, "f");
        lua_getfield(L, -3, "a");
        lua_getfield(L, -4, "b");
        lua_call(L, 3, 1);
        setup->loops->ref[c][v] = luaL_ref(L, LUA_REGISTRYINDEX);
      }
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
  }
  return 0;
}

double g_ticks_per_second = 0;

double Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / g_ticks_per_second;
}

// Calls a loop for n iterations; the seconds it took, or -1 on a Lua error
// (printed).
double TimeLoop(lua_State* L, int ref, long n) {
  lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
  lua_pushnumber(L, static_cast<lua_Number>(n));
  const double start = Now();
  const int status = lua_pcall(L, 1, 0, 0);
  const double seconds = Now() - start;
  if (status != 0) {
    std::fprintf(stderr, "qv_bench: %s\n", lua_tostring(L, -1));
    lua_pop(L, 1);
    return -1;
  }
  return seconds;
}

// ------------------------------------------------------------------ memory

struct MemoryReading {
  double private_bytes;
  double lua_kb;
};

MemoryReading ReadMemory(lua_State* L) {
  lua_gc(L, LUA_GCCOLLECT, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  PROCESS_MEMORY_COUNTERS_EX counters;
  std::memset(&counters, 0, sizeof counters);
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(),
                       reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  // PagefileUsage is the process's commit charge, which Windows reports as
  // PrivateUsage too; Wine 8 fills only PagefileUsage.
  MemoryReading r;
  r.private_bytes = static_cast<double>(counters.PagefileUsage);
  r.lua_kb = lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0;
  return r;
}

// ------------------------------------------------------------------ figures

struct Figures {
  double ns[kVariantCount][kMaxRuns];
  bool measured[kVariantCount];
  bool has_memory;
  MemoryReading first, last;
  long first_calls;
  long memory_calls;
  long run_calls;
};

struct Stats {
  double median, min, max;
};

Stats Summarize(const double* values, int count) {
  double sorted[kMaxRuns];
  std::copy(values, values + count, sorted);
  std::sort(sorted, sorted + count);
  const double median = count % 2 == 1 ? sorted[count / 2]
                                       : (sorted[count / 2 - 1] + sorted[count / 2]) / 2;
  return Stats{median, sorted[0], sorted[count - 1]};
}

// Memory readings, warm-up and the timed runs of one case. False on a Lua
// error.
bool MeasureCase(lua_State* L, const Settings& s, const BenchCase& what, const int* refs,
                 Figures* out) {
  for (int v = 0; v < kVariantCount; ++v) out->measured[v] = refs[v] != LUA_NOREF;
  out->has_memory = what.memory;
  // The module's function first: 10,000 calls, a reading, the rest of the
  // calls, a second reading. This is also its warm-up, and tells how many
  // calls a timed run needs.
  const long first = kFirstCalls;
  double seconds = TimeLoop(L, refs[kModule], first);
  if (seconds < 0) return false;
  double per_call = seconds / static_cast<double>(first);
  if (what.memory) {
    const long total = what.reads_file ? s.address_calls : s.calls;
    out->first_calls = first;
    out->memory_calls = total;
    out->first = ReadMemory(L);
    if (total > first) {
      seconds = TimeLoop(L, refs[kModule], total - first);
      if (seconds < 0) return false;
      per_call = seconds / static_cast<double>(total - first);
    }
    out->last = ReadMemory(L);
  }
  const double wanted = static_cast<double>(s.run_ms) / 1000.0 / per_call;
  out->run_calls = static_cast<long>(std::min(5e6, std::max(100.0, wanted)));

  for (int v = kFloor; v < kVariantCount; ++v) {
    if (out->measured[v] && TimeLoop(L, refs[v], out->run_calls) < 0) return false;
  }
  // The variants take turns, so that a slow moment of the machine falls on
  // all of them alike.
  for (int run = 0; run < s.runs; ++run) {
    for (int v = 0; v < kVariantCount; ++v) {
      if (!out->measured[v]) continue;
      seconds = TimeLoop(L, refs[v], out->run_calls);
      if (seconds < 0) return false;
      out->ns[v][run] = seconds * 1e9 / static_cast<double>(out->run_calls);
    }
  }
  return true;
}

void FormatTime(char* out, std::size_t size, const Figures& f, int v, int runs) {
  if (!f.measured[v]) {
    std::snprintf(out, size, "-");
    return;
  }
  const Stats st = Summarize(f.ns[v], runs);
  std::snprintf(out, size, "%.0f [%.0f-%.0f]", st.median, st.min, st.max);
}

void FormatRatio(char* out, std::size_t size, const Figures& f, int v, int runs) {
  if (!f.measured[kModule] || !f.measured[v] || v == kModule) {
    std::snprintf(out, size, "-");
    return;
  }
  const double ratio = Summarize(f.ns[kModule], runs).median / Summarize(f.ns[v], runs).median;
  std::snprintf(out, size, "%.2f", ratio);
}

void PrintTable(const char* runtime, const Settings& s, const Figures* figures) {
  std::printf("\nQuorvane benchmark, %s, ANSI code page %u\n", runtime, GetACP());
  std::printf("ns per call: median of %d runs [min-max]; ratios: module's median / the other's; "
              "memory: growth of private bytes (and of Lua's heap) from after the first calls "
              "to after all calls, full GC before each reading\n\n",
              s.runs);
  std::printf("%-31s %9s  %-15s %-15s %-6s %-15s %-6s %-15s %-6s %-15s %-6s %s\n", "function",
              "calls/run", "module ns", "floor ns", "/floor", "floor+table ns", "/f+t",
              "same code ns", "/same", "FFI ns", "/FFI", "memory");
  for (int c = 0; c < kCaseCount; ++c) {
    const Figures& f = figures[c];
    if (!f.measured[kModule]) continue;
    char ns[kVariantCount][40], ratio[kVariantCount][16], memory[64] = "-";
    for (int v = 0; v < kVariantCount; ++v) {
      FormatTime(ns[v], sizeof ns[v], f, v, s.runs);
      FormatRatio(ratio[v], sizeof ratio[v], f, v, s.runs);
    }
    if (f.has_memory) {
      std::snprintf(memory, sizeof memory, "%+.0f B, Lua %+.1f KB (%ldk calls)",
                    f.last.private_bytes - f.first.private_bytes, f.last.lua_kb - f.first.lua_kb,
                    f.memory_calls / 1000);
    }
    std::printf("%-31s %9ld  %-15s %-15s %-6s %-15s %-6s %-15s %-6s %-15s %-6s %s\n",
                kCases[c].label, f.run_calls, ns[kModule], ns[kFloor], ratio[kFloor],
                ns[kFloorTable], ratio[kFloorTable], ns[kSameCode], ratio[kSameCode], ns[kFfi],
                ratio[kFfi], memory);
  }
  std::printf("\nprivate bytes (PagefileUsage) after the first calls -> after all calls:\n");
  for (int c = 0; c < kCaseCount; ++c) {
    const Figures& f = figures[c];
    if (!f.measured[kModule] || !f.has_memory) continue;
    std::printf("  %-31s %ldk: %.0f -> %ldk: %.0f; Lua heap %.1f -> %.1f KB\n", kCases[c].label,
                f.first_calls / 1000, f.first.private_bytes, f.memory_calls / 1000,
                f.last.private_bytes, f.first.lua_kb, f.last.lua_kb);
  }
  // For tools/bench.sh: every ratio and memory growth, one per line.
  std::printf("\n");
  for (int c = 0; c < kCaseCount; ++c) {
    const Figures& f = figures[c];
    if (!f.measured[kModule]) continue;
    std::printf("ns %s module %.0f\n", kCases[c].key, Summarize(f.ns[kModule], s.runs).median);
    for (int v = kFloor; v < kVariantCount; ++v) {
      if (!f.measured[v]) continue;
      std::printf("ratio %s %s %.3f\n", kCases[c].key, kVariantKeys[v],
                  Summarize(f.ns[kModule], s.runs).median / Summarize(f.ns[v], s.runs).median);
    }
    if (f.has_memory) {
      std::printf("memory %s %.0f\n", kCases[c].key, f.last.private_bytes - f.first.private_bytes);
    }
  }
  std::fflush(stdout);
}

// ------------------------------------------------------------------ fixture

// A profile of a few sections; "Version" picks the last layout section.
bool WriteProfile(const char* path) {
  QvfOffsets o;
  qvf_get_offsets(&o);
  char text[1024];
  const int n = std::snprintf(
      text, sizeof text,
      "; address profile for the benchmark\r\n"
      "[Config]\r\nVersion=bench 3\r\nModule=%s\r\n\r\n"
      "[bench 1]\r\nObjectAddressList=0x00001000\r\nObjectDataOffset=0x8\r\n"
      "TextBufferAddress=0x00002000\r\n\r\n"
      "[bench 2]\r\nObjectAddressList=0x00011000\r\nObjectDataOffset=0xC\r\n"
      "TextBufferAddress=0x00012000\r\n\r\n"
      "[bench 3]\r\nObjectAddressList=0x%08lX\r\nObjectDataOffset=0x%lX\r\n"
      "TextBufferAddress=0x%08lX\r\n",
      QVF_MODULE_NAME, static_cast<unsigned long>(o.object_address_list),
      static_cast<unsigned long>(o.object_data_offset),
      static_cast<unsigned long>(o.text_buffer_address));
  return n > 0 && n < static_cast<int>(sizeof text) &&
         qvf_write_file(path, text, static_cast<std::uint32_t>(n)) != 0;
}

// The 100-character text in the fixture's buffer, and the floors' copies.
bool PrepareFixture() {
  std::uint16_t text[kTextLength + 1];
  for (int i = 0; i < kTextLength; ++i) text[i] = static_cast<std::uint16_t>(u'A' + i % 26);
  text[kTextLength] = 0;
  if (!qvf_set_text(text)) return false;
  g_text = CopyAtSamePageOffset(qvf_text_buffer(), sizeof text);
  g_text_record = CopyAtSamePageOffset(qvf_record(3), QVF_RECORD_SIZE);
  g_video_record = CopyAtSamePageOffset(qvf_record(6), QVF_RECORD_SIZE);
  g_filter_record = CopyAtSamePageOffset(qvf_record(80), QVF_RECORD_SIZE);
  if (g_text == 0 || g_text_record == 0 || g_video_record == 0 || g_filter_record == 0) {
    return false;
  }
  qvb_floor_set_data(PointerTo(g_text_record), PointerTo(g_video_record),
                     PointerTo(g_filter_record), static_cast<const std::uint16_t*>(PointerTo(g_text)));
  return true;
}

bool ParseArgs(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    long value = 0;
    const char* eq = std::strchr(argv[i], '=');
    if (eq != nullptr) value = std::strtol(eq + 1, nullptr, 10);
    if (std::strncmp(argv[i], "--runs=", 7) == 0 && value >= 1 && value <= kMaxRuns) {
      s->runs = static_cast<int>(value);
    } else if (std::strncmp(argv[i], "--calls=", 8) == 0 && value >= kFirstCalls) {
      s->calls = value;
    } else if (std::strncmp(argv[i], "--address-calls=", 16) == 0 && value >= kFirstCalls) {
      s->address_calls = value;
    } else if (std::strncmp(argv[i], "--run-ms=", 9) == 0 && value >= 1) {
      s->run_ms = value;
    } else if (std::strcmp(argv[i], "--skip-address") == 0) {
      s->skip_address = true;
    } else {
      std::fprintf(stderr,
                   "usage: qv_bench [--runs=1..%d] [--calls=N>=10000] [--address-calls=N>=10000] "
                   "[--run-ms=N] [--skip-address]\n",
                   kMaxRuns);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, &settings)) return 2;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  g_ticks_per_second = static_cast<double>(frequency.QuadPart);

  char exe[MAX_PATH];
  const DWORD exe_length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  if (exe_length == 0 || exe_length >= MAX_PATH) return 1;
  char* slash = std::strrchr(exe, '\\');
  if (slash != nullptr) *slash = '\0';
  char ffi_path[MAX_PATH + 32];
  std::snprintf(ffi_path, sizeof ffi_path, "%s\\ffi_reader.lua", exe);
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  char profile[MAX_PATH + 64];
  std::snprintf(profile, sizeof profile, "%sqv_bench_%lu.ini", temp,
                static_cast<unsigned long>(GetCurrentProcessId()));
  if (!PrepareFixture() || !WriteProfile(profile)) {
    std::fprintf(stderr, "qv_bench: could not prepare the fixture or write %s\n", profile);
    return 1;
  }

  lua_State* L = luaL_newstate();
  if (L == nullptr) return 1;
  luaL_openlibs(L);
  Loops loops;
  Setup setup{profile, ffi_path, &loops};
  if (lua_cpcall(L, PrepareLoops, &setup) != 0) {
    std::fprintf(stderr, "qv_bench: %s\n", lua_tostring(L, -1));
    DeleteFileA(profile);
    return 1;
  }
  char runtime[64] = "?";
  if (luaL_dostring(L, "return jit and jit.version or _VERSION") == 0 && lua_isstring(L, -1)) {
    std::snprintf(runtime, sizeof runtime, "%s", lua_tostring(L, -1));
  }
  lua_settop(L, 0);
  std::printf("qv_bench: %s, %d runs per function, %ld calls for the readers' memory readings, "
              "%ld for GetAddress's\n",
              runtime, settings.runs, settings.calls, settings.address_calls);
  std::fflush(stdout);

  static Figures figures[kCaseCount];
  bool ok = true;
  for (int c = 0; c < kCaseCount && ok; ++c) {
    if (settings.skip_address && kCases[c].reads_file) continue;
    ok = MeasureCase(L, settings, kCases[c], loops.ref[c], &figures[c]);
  }
  DeleteFileA(profile);
  if (!ok) return 1;
  PrintTable(runtime, settings, figures);
  lua_close(L);
  return 0;
}
