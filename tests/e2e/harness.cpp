#include "harness.h"

namespace qv_e2e {

namespace {
RunSettings g_settings;
}

const RunSettings& Settings() {
  return g_settings;
}
RunSettings& MutableSettings() {
  return g_settings;
}

std::string TempPath(const std::string& name) {
  return g_settings.temp_dir + name;
}

// ---------------------------------------------------------------- calls

SessionOptions E2ESessionOptions() {
  SessionOptions options;
  options.globals = {{"exe_dir", g_settings.exe_dir}, {"runtime", g_settings.runtime}};
  options.prelude =
      "package.cpath = exe_dir .. '\\\\?.dll'\n"
      "package.path = exe_dir .. '\\\\?.lua'\n";
  return options;
}

Arg FixtureTable() {
  QvfOffsets o;
  qvf_get_offsets(&o);
  return AddressTable(o.base, o.object_address_list, o.object_data_offset, o.text_buffer_address);
}

::testing::AssertionResult GaveNil(const Outcome& o) {
  if (o.ok && o.values.empty() && o.left_over == 0 && o.args_intact && o.count_sane)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected no values and an unchanged stack, got " << Describe(o);
}

::testing::AssertionResult Gave(const Outcome& o, const LuaValue& expected) {
  if (o.ok && o.values.size() == 1 && o.values[0] == expected && o.left_over == 0 && o.args_intact &&
      o.count_sane)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << Describe(expected) << ", got " << Describe(o);
}

::testing::AssertionResult Raised(const Outcome& o, const std::string& part) {
  if (!o.ok && o.error.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "expected an error containing '" << part << "', got " << Describe(o);
}

// ---------------------------------------------------------------- test base

void E2ETest::SetUp() {
  qvf_reset();
  qvf_get_offsets(&offsets_);
  session_ = new LuaSession(E2ESessionOptions());
  ASSERT_TRUE(session_->ready()) << session_->open_error();
}

void E2ETest::TearDown() {
  delete session_;
  session_ = nullptr;
  qvf_reset();
}

std::vector<std::uint16_t> Wide(const std::u16string& s) {
  std::vector<std::uint16_t> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

}  // namespace qv_e2e
