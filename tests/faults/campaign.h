// Fault campaign for Quorvane.dll under Wine: what a run shares (its seed,
// the Lua state with the module required, direct calls of the module's C
// functions with a look at the stack they leave) and what the readers must
// give for each type index, written down from the documented layouts.
#ifndef QV_FAULTS_CAMPAIGN_H
#define QV_FAULTS_CAMPAIGN_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"

namespace qv_faults {

// ------------------------------------------------------------------ the run

// The seed of this run: QV_FAULT_SEED when set, otherwise made from the clock.
std::uint64_t RunSeed();
void SetRunSeed(std::uint64_t seed);
// A generator of a test's own, from the run's seed and the test's name, so
// that one test run alone with the same seed replays the same cases.
std::mt19937_64 TestRng(const char* test_name);

// Scratch folder of this run, with a trailing backslash.
const std::string& ScratchDir();
void SetScratchDir(const std::string& dir);

constexpr double kTwo32 = 4294967296.0;

inline std::uint32_t Addr(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}
inline const void* Ptr(std::uint32_t a) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a)); }

// ------------------------------------------------------------------ layouts

enum class Kind { kU8, kI8, kI16, kI32, kU32, kColour, kString, kText };

struct ExpectedField {
  const char* name;
  Kind kind;
  std::uint32_t max_bytes;  // strings: the longest value the layout allows
};

// The fields a table of that type index must have, or nullptr when the type
// index has no layout (the reader must give nil).
const std::vector<ExpectedField>* FieldsOf(std::int32_t type_index);
// Every type index that has a layout.
const std::vector<std::int32_t>& TypesWithLayout();

// ------------------------------------------------------------------ calls

// An argument of a direct call.
struct Arg {
  enum Type { kNumber, kString, kAddressTable } type = kNumber;
  double number = 0;
  std::string str;
  double fields[4] = {0, 0, 0, 0};  // ModuleAddress, ObjectAddressList, ObjectDataOffset, TextBufferAddress

  static Arg Number(double n);
  static Arg String(std::string s);
  static Arg Table(double module, double list, double data, double text);
};

// A value the call left, copied out of the state.
struct Value {
  int type = LUA_TNIL;
  double number = 0;
  std::string str;
  std::vector<std::pair<std::string, Value>> fields;  // tables: string-keyed fields
  int other_keys = 0;                                 // tables: keys of other types
};
bool operator==(const Value& a, const Value& b);
std::string Describe(const Value& v);

struct Outcome {
  bool raised = false;
  std::string error;
  int returned = 0;        // what the C function returned
  int left_over = 0;       // values between the arguments and the results
  bool args_intact = true;
  std::vector<Value> results;
};
std::string Describe(const Outcome& o);

// One Lua state with the standard libraries and "Quorvane" required (the
// module table also as the global Q).
class LuaSession {
 public:
  LuaSession();
  ~LuaSession();
  LuaSession(const LuaSession&) = delete;
  LuaSession& operator=(const LuaSession&) = delete;

  lua_State* state() const { return L_; }
  const std::string& open_error() const { return open_error_; }
  bool ready() const { return open_error_.empty(); }

  // Calls Q.<name>'s C function directly, with `args` as its whole stack, in
  // protected mode, and records what it returned and left on the stack.
  Outcome Call(const char* name, const std::vector<Arg>& args);

 private:
  lua_State* L_ = nullptr;
  std::string open_error_;
};

// ------------------------------------------------------------------ checks

// Empty when `v` is a table whose fields are exactly those of the layout of
// `type_index`, each of the right type and within its kind's range;
// otherwise what is wrong.
std::string LayoutProblem(const Value& v, std::int32_t type_index);

// Empty when the call ended cleanly: no error, 0 or 1 result, nothing left
// over, arguments untouched.
std::string StackProblem(const Outcome& o);

// ------------------------------------------------------------------ memory

// VirtualAlloc'd blocks, released when this goes away.
class Blocks {
 public:
  Blocks() = default;
  ~Blocks();
  Blocks(const Blocks&) = delete;
  Blocks& operator=(const Blocks&) = delete;

  std::uint8_t* Pages(std::uint32_t size, std::uint32_t protect);
  // `size` read-write bytes that end where a page of `fence` begins.
  std::uint8_t* Fenced(std::uint32_t size, std::uint32_t fence);
  // The start of 64 KiB that were committed, written and decommitted again
  // (still reserved, so they stay unreadable).
  std::uint32_t Freed();

 private:
  std::vector<void*> blocks_;
};

bool IsGuardPage(std::uint32_t address);

}  // namespace qv_faults

#endif
