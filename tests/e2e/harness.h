// Test bench for Quorvane.dll under Wine: the process-wide settings of the
// run, the fixture's address table, checks of what a call gave, and the test
// base. The Lua state, direct calls and values come from lua_session.h.
#ifndef QV_E2E_HARNESS_H
#define QV_E2E_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixture/fixture.h"
#include "lua_session.h"

namespace qv_e2e {

using namespace qv_lua;

// ---------------------------------------------------------------- the run

struct RunSettings {
  std::string runtime;      // "puc" or "luajit", from --runtime=
  std::string exe_dir;      // folder of the test program, without a trailing backslash
  std::string temp_dir;     // scratch folder for profiles, with a trailing backslash
};
const RunSettings& Settings();
RunSettings& MutableSettings();

// Absolute path of a new scratch file (the name gets the run's own folder).
std::string TempPath(const std::string& name);

constexpr double kTwo31 = 2147483648.0;
constexpr std::uint32_t kCap = 1048576;  // longest string or wide text taken

// ---------------------------------------------------------------- calls

// The settings a session of this run opens with: the module and its Lua files
// are taken from the program's folder only, and the globals exe_dir and
// runtime hold the run's settings.
SessionOptions E2ESessionOptions();

// The address table for the fixture as loaded.
Arg FixtureTable();

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

}  // namespace qv_e2e

#endif
