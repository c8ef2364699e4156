// A host thread that rewrites and frees the records while a script reads
// them in a loop: records moved to fresh VirtualAlloc'd pages and the old
// ones freed (sometimes before the pointer is switched), slots pointed at
// other types' structures, strings and the text buffer rewritten without
// terminators, pages made unreadable and readable again. The script's
// loop is bounded by a count and a time budget; the test asserts no time.
// No crash, and every table a read gives is nil or has the whole set of
// fields of its layout.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "campaign.h"

namespace qv_faults {
namespace {

constexpr int kMaxRounds = 200000;       // the script's loop, at most
constexpr DWORD kBudgetMs = 2000;        // and at most this long
constexpr int kIndices[] = {0, 1, 3, 4, 6, 7, 10, 80};
constexpr int kIndexCount = static_cast<int>(sizeof kIndices / sizeof kIndices[0]);

using Rng = std::mt19937_64;

std::uint32_t Below(Rng& rng, std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }

// The host: changes the fixture's slots, record pointers, records and text
// until told to stop.
class Host {
 public:
  explicit Host(Rng rng) : rng_(rng) {}
  ~Host() { Stop(); }

  bool Start() {
    thread_ = CreateThread(nullptr, 0, &Host::Main, this, 0, nullptr);
    return thread_ != nullptr;
  }
  void Stop() {
    if (thread_ == nullptr) return;
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  long changes() const { return changes_; }

 private:
  // A record in pages of its own, ending where a no-access page begins.
  struct Moved {
    void* block = nullptr;
    std::uint8_t* record = nullptr;
    bool writable = true;  // the host itself must not write a page it took away
  };

  static DWORD WINAPI Main(void* self) {
    static_cast<Host*>(self)->Run();
    return 0;
  }

  // Fills `size` bytes with random bytes, none of them NUL when asked.
  void Scribble(std::uint8_t* at, std::uint32_t size, bool no_nul) {
    for (std::uint32_t i = 0; i < size; ++i) {
      const auto b = static_cast<std::uint8_t>(rng_());
      at[i] = no_nul ? static_cast<std::uint8_t>(b | 0x20) : b;
    }
  }

  void Run() {
    Moved moved[kIndexCount];
    std::vector<std::uint16_t> units(QVF_TEXT_CAPACITY);
    while (!stop_) {
      const int slot = static_cast<int>(Below(rng_, kIndexCount));
      const int index = kIndices[slot];
      switch (Below(rng_, 9)) {
        case 0:
        case 1: {  // move the record to fresh pages, then free the old ones
          void* block = nullptr;
          auto* record = static_cast<std::uint8_t*>(qvf_alloc_fenced(QVF_RECORD_SIZE, PAGE_NOACCESS, &block));
          if (record == nullptr) break;
          QvfRecord contents;
          qvf_default_record(index, &contents);
          std::memcpy(record, contents.bytes, QVF_RECORD_SIZE);
          if (Below(rng_, 2) == 0) Scribble(record, QVF_RECORD_SIZE, Below(rng_, 2) == 0);
          Moved old = moved[slot];
          const bool free_first = Below(rng_, 3) == 0;  // a dangling pointer for a while
          if (free_first && old.block != nullptr) qvf_free_pages(old.block);
          qvf_set_record_pointer(index, Addr(record));
          if (!free_first && old.block != nullptr) qvf_free_pages(old.block);
          moved[slot] = Moved{block, record, true};
          break;
        }
        case 2:  // point the slot at another type's structure, or back
          qvf_set_slot(index, Addr(qvf_holder(kIndices[Below(rng_, kIndexCount)])));
          break;
        case 3: {  // rewrite part of the record in place, without NULs
          std::uint8_t bytes[QVF_RECORD_SIZE];
          const std::uint32_t offset = Below(rng_, QVF_RECORD_SIZE);
          const std::uint32_t size = 1 + Below(rng_, QVF_RECORD_SIZE - offset);
          Scribble(bytes, size, true);
          if (moved[slot].record != nullptr && moved[slot].writable && Below(rng_, 2) == 0) {
            std::memcpy(moved[slot].record + offset, bytes, size);
          } else {
            qvf_write_record(index, offset, bytes, size);
          }
          break;
        }
        case 4:  // take the moved record's page away, or give it back
          if (moved[slot].record != nullptr) {
            const bool writable = Below(rng_, 2) == 0;
            qvf_protect(moved[slot].record, QVF_RECORD_SIZE, writable ? PAGE_READWRITE : PAGE_NOACCESS);
            moved[slot].writable = writable;
          }
          break;
        case 5:  // a record pointer of 0, or into a freed page
          qvf_set_record_pointer(index, Below(rng_, 2) == 0 ? 0 : Addr(moved[slot].block) + 0x10000);
          break;
        case 6: {  // the text buffer: a text without a NUL unit, or a short one
          const bool terminated = Below(rng_, 2) == 0;
          for (std::uint16_t& u : units) u = static_cast<std::uint16_t>(0x20 + Below(rng_, 0x5F));
          if (terminated) units[Below(rng_, QVF_TEXT_CAPACITY)] = 0;
          qvf_set_text_raw(units.data(), QVF_TEXT_CAPACITY);
          break;
        }
        case 7:  // back to the record in the image
          qvf_set_slot(index, Addr(qvf_holder(index)));
          qvf_set_record_pointer(index, Addr(qvf_record(index)));
          break;
        default:
          if (Below(rng_, 64) == 0) qvf_reset();
          break;
      }
      ++changes_;
    }
    qvf_reset();
    for (const Moved& m : moved) {
      if (m.block != nullptr) qvf_free_pages(m.block);
    }
  }

  Rng rng_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<long> changes_{0};
};

// The script: reads every index and the text buffer in a loop and checks
// each table's fields against the names and types it must have. Returns
// the rounds run, the tables and strings seen, and the first problems.
const char kReaderScript[] = R"lua(
local A, indices, shapes, max_rounds, budget_over = ...
local problems, tables, strings = {}, 0, 0
local function shape(t)
  local parts = {}
  for k, v in pairs(t) do parts[#parts + 1] = tostring(k) .. ":" .. type(v) end
  table.sort(parts)
  return table.concat(parts, ",")
end
local rounds = 0
while rounds < max_rounds do
  rounds = rounds + 1
  for _, index in ipairs(indices) do
    local t = Q.GetObjectData(A, index)
    if t ~= nil then
      tables = tables + 1
      local got = type(t) == "table" and shape(t) or type(t)
      if got ~= shapes[index] and #problems < 10 then
        problems[#problems + 1] = "type " .. index .. ": got {" .. got .. "}, want {" .. shapes[index] .. "}"
      end
    end
  end
  local s = Q.GetTextbufferString(A)
  if s ~= nil then
    strings = strings + 1
    if type(s) ~= "string" and #problems < 10 then
      problems[#problems + 1] = "GetTextbufferString gave a " .. type(s)
    end
  end
  if rounds % 64 == 0 and budget_over() then break end
end
return rounds, tables, strings, table.concat(problems, "\n")
)lua";

DWORD g_deadline = 0;

int BudgetOver(lua_State* L) {
  lua_pushboolean(L, static_cast<int>(GetTickCount() - g_deadline) >= 0);
  return 1;
}

// The shape a table of the type must have: "name:type" pairs, sorted.
std::string Shape(int index) {
  std::vector<std::string> parts;
  for (const ExpectedField& f : *FieldsOf(index)) {
    const bool text = f.kind == Kind::kString || f.kind == Kind::kText;
    parts.push_back(std::string(f.name) + (text ? ":string" : ":number"));
  }
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ",") + p;
  return out;
}

struct ScriptRun {
  const QvfOffsets* offsets;
  std::vector<std::string>* shapes;  // by position in kIndices
  int rounds, tables, strings;
  std::string* problems;
};

// Runs the script (in lua_cpcall).
int RunScript(lua_State* L) {
  ScriptRun* run = static_cast<ScriptRun*>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  if (luaL_loadstring(L, kReaderScript) != 0) lua_error(L);
  lua_createtable(L, 0, 4);
  lua_pushnumber(L, run->offsets->base);
  lua_setfield(L, -2, "ModuleAddress");
  lua_pushnumber(L, run->offsets->object_address_list);
  lua_setfield(L, -2, "ObjectAddressList");
  lua_pushnumber(L, run->offsets->object_data_offset);
  lua_setfield(L, -2, "ObjectDataOffset");
  lua_pushnumber(L, run->offsets->text_buffer_address);
  lua_setfield(L, -2, "TextBufferAddress");
  lua_createtable(L, kIndexCount, 0);
  lua_createtable(L, 0, kIndexCount);
  for (int i = 0; i < kIndexCount; ++i) {
    lua_pushnumber(L, kIndices[i]);
    lua_rawseti(L, -3, i + 1);
    const std::string& shape = (*run->shapes)[static_cast<size_t>(i)];
    lua_pushlstring(L, shape.data(), shape.size());
    lua_rawseti(L, -2, kIndices[i]);
  }
  lua_pushnumber(L, kMaxRounds);
  lua_pushcfunction(L, BudgetOver);
  lua_call(L, 5, 4);
  run->rounds = static_cast<int>(lua_tonumber(L, 1));
  run->tables = static_cast<int>(lua_tonumber(L, 2));
  run->strings = static_cast<int>(lua_tonumber(L, 3));
  size_t length = 0;
  const char* problems = lua_tolstring(L, 4, &length);
  if (problems != nullptr) run->problems->assign(problems, length);
  return 0;
}

TEST(HostRewritesRecords, ReadsGiveNilOrWholeTablesWhileTheHostChangesThem) {
  qvf_reset();
  LuaSession lua;
  ASSERT_TRUE(lua.ready()) << lua.open_error();
  QvfOffsets offsets;
  qvf_get_offsets(&offsets);
  std::vector<std::string> shapes;
  for (int index : kIndices) shapes.push_back(Shape(index));

  Host host(TestRng("HostRewritesRecords"));
  ASSERT_TRUE(host.Start());
  std::string problems;
  ScriptRun run{&offsets, &shapes, 0, 0, 0, &problems};
  g_deadline = GetTickCount() + kBudgetMs;
  const int status = lua_cpcall(lua.state(), RunScript, &run);
  std::string error;
  if (status != 0) {
    const char* message = lua_tostring(lua.state(), -1);
    error = message != nullptr ? message : "?";
  }
  host.Stop();

  std::printf("[ campaign ] %d rounds of %d reads and a text read; %d tables, %d strings; "
              "the host made %ld changes\n",
              run.rounds, kIndexCount, run.tables, run.strings, host.changes());
  EXPECT_EQ(status, 0) << error;
  EXPECT_EQ(problems, "") << "(seed " << RunSeed() << ")";
  EXPECT_GT(run.rounds, 0);
  EXPECT_GT(host.changes(), 0);
}

}  // namespace
}  // namespace qv_faults
