// What the test programs that load Quorvane.dll under Wine share: a Lua state
// that has required the module, direct calls of its C functions with a look
// at the stack they leave, and Lua values as plain C++ data. Built as the
// static library qv_lua_session (see CMakeLists.txt beside this file).
#ifndef QV_LUA_SESSION_H
#define QV_LUA_SESSION_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace qv_lua {

constexpr double kTwo32 = 4294967296.0;

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

// Copies the value at `index` (no Lua errors can come from this).
LuaValue ToValue(lua_State* L, int index);

// Bytes as hex pairs ("41 42").
std::string Hex(const std::string& bytes);

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
// A copy of `table` with field `name` set to `value` (or removed for nil).
Arg WithField(Arg table, const std::string& name, Arg value);

// ---------------------------------------------------------------- calls

// What a call gave. For a direct call also what it left on the stack.
struct Outcome {
  bool ok = false;    // false: the call raised a Lua error
  std::string error;  // the error message
  std::vector<LuaValue> values;
  // Direct calls only:
  int returned = 0;   // what the C function returned
  int left_over = 0;  // values left between the arguments and the results
  // The arguments are still in their slots, unchanged (numbers bit for bit,
  // tables the same table).
  bool args_intact = true;
  bool count_sane = true;  // the returned count does not reach into the arguments
};
std::string Describe(const Outcome& o);

// How a session is set up before the module is required.
struct SessionOptions {
  // String globals, set first.
  std::vector<std::pair<std::string, std::string>> globals;
  // Lua run before the require (e.g. to point package.cpath at a folder).
  std::string prelude;
};

// One Lua state with the standard libraries and "Quorvane" required as the
// global "Q".
class LuaSession {
 public:
  explicit LuaSession(const SessionOptions& options = SessionOptions());
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

}  // namespace qv_lua

#endif
