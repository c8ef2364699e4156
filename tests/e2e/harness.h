// Test bench for Quorvane.dll under Wine: a Lua state that has required the
// module, ways to call its functions and look at what they leave, Lua values
// as plain C++ data, and the process-wide settings of the run.
#ifndef QV_E2E_HARNESS_H
#define QV_E2E_HARNESS_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fixture/fixture.h"

namespace qv_e2e {

// ---------------------------------------------------------------- the run

struct RunSettings {
  std::string runtime;      // "puc" or "luajit", from --runtime=
  unsigned expect_acp = 0;  // from --expect-acp=; 0: any
  std::string exe_dir;      // folder of the test program, without a trailing backslash
  std::string temp_dir;     // scratch folder for profiles, with a trailing backslash
};
const RunSettings& Settings();
RunSettings& MutableSettings();

// Absolute path of a new scratch file (the name gets the run's own folder).
std::string TempPath(const std::string& name);

constexpr double kTwo32 = 4294967296.0;
constexpr double kTwo31 = 2147483648.0;
constexpr std::uint32_t kCap = 1048576;  // longest string or wide text taken

// ---------------------------------------------------------------- values

// A Lua value copied out of the state. Tables keep their string-keyed fields
// (sorted by name) and count the keys of other types.
struct LuaValue {
  enum Kind { kNil, kBoolean, kNumber, kString, kTable, kFunction, kOther };
  Kind kind = kNil;
  bool boolean = false;
  double number = 0;
  std::string str;
  std::vector<std::pair<std::string, LuaValue>> fields;
  int other_keys = 0;

  const LuaValue* Field(const std::string& name) const;
  bool operator==(const LuaValue& other) const;
  bool operator!=(const LuaValue& other) const { return !(*this == other); }
};
std::string Describe(const LuaValue& v);
void PrintTo(const LuaValue& v, std::ostream* os);

LuaValue Nil();
LuaValue Bool(bool b);
LuaValue Num(double n);
LuaValue Str(const std::string& s);
LuaValue Table(std::vector<std::pair<std::string, LuaValue>> fields);

// ---------------------------------------------------------------- arguments

// An argument pushed for a direct call: nil, a number, a string, a boolean or
// a flat table with named fields (a field left out is absent).
struct Arg {
  enum Kind { kNil, kNumber, kString, kBoolean, kTable };
  Kind kind = kNil;
  double number = 0;
  std::string str;
  bool boolean = false;
  std::vector<std::pair<std::string, Arg>> fields;
};
Arg ArgNil();
Arg ArgNum(double n);
Arg ArgStr(const std::string& s);
Arg ArgBool(bool b);
Arg ArgTable(std::vector<std::pair<std::string, Arg>> fields);

// An address table as GetAddress makes it.
Arg AddressTable(double module, double list, double data, double text);
// The address table for the fixture as loaded.
Arg FixtureTable();
// A copy of `table` with field `name` set to `value` (or removed for nil).
Arg WithField(Arg table, const std::string& name, Arg value);

// ---------------------------------------------------------------- calls

// What a call gave. For a direct call also what it left on the stack.
struct Outcome {
  bool ok = false;    // false: the call raised a Lua error
  std::string error;  // the error message
  std::vector<LuaValue> values;
  // Direct calls only:
  int returned = 0;         // what the C function returned
  int left_over = 0;        // values left between the arguments and the results
  bool args_intact = true;  // the arguments are still in their slots, unchanged
  bool count_sane = true;   // the returned count does not reach into the arguments
};
std::string Describe(const Outcome& o);

// One Lua state with the standard libraries and the module required as the
// global "Q".
class LuaSession {
 public:
  LuaSession();
  ~LuaSession();
  LuaSession(const LuaSession&) = delete;
  LuaSession& operator=(const LuaSession&) = delete;

  lua_State* state() const { return L_; }
  bool ready() const { return ready_; }
  const std::string& open_error() const { return open_error_; }

  // Runs a chunk in protected mode and returns all its results.
  Outcome Run(const std::string& chunk);

  // Calls the C function behind Q.<name> (or `fn`) directly, with the
  // arguments as its whole stack, and records what it returns and leaves.
  Outcome Call(const char* name, const std::vector<Arg>& args);
  Outcome CallFunction(lua_CFunction fn, const std::vector<Arg>& args);

  void SetGlobal(const char* name, const Arg& value);
  // Pushes `a` (raises only on memory errors).
  void Push(const Arg& a);

 private:
  lua_State* L_ = nullptr;
  bool ready_ = false;
  std::string open_error_;
};

// Copies the value at `index` (no Lua errors can come from this).
LuaValue ToValue(lua_State* L, int index);

// ---------------------------------------------------------------- checks

// A call that gave nil: no error, nothing returned, nothing left over,
// arguments untouched.
::testing::AssertionResult GaveNil(const Outcome& o);
// A call that gave exactly one value equal to `expected`, cleanly.
::testing::AssertionResult Gave(const Outcome& o, const LuaValue& expected);
// A call that raised an error whose message contains `part`.
::testing::AssertionResult Raised(const Outcome& o, const std::string& part);

// Test base: resets the fixture module and opens a fresh Lua state.
class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  LuaSession& lua() { return *session_; }
  QvfOffsets offsets_{};

 private:
  LuaSession* session_ = nullptr;
};

// Wide text from a list of code units.
std::vector<std::uint16_t> Wide(const std::u16string& s);
std::string Hex(const std::string& bytes);

}  // namespace qv_e2e

#endif
