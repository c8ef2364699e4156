#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "module/lua_helpers.h"
#include "platform/fake_platform.h"
#include "tests/native/lua_harness.h"

namespace quorvane {
namespace {

struct NumberCase {
  double number;
  std::uint32_t address;
};

class HostAddressTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(HostAddressTest, TakesTheNumberModulo2To32) {
  EXPECT_EQ(HostAddressFromNumber(GetParam().number), GetParam().address)
      << GetParam().number;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, HostAddressTest,
    ::testing::Values(NumberCase{0, 0}, NumberCase{1, 1}, NumberCase{2147483647.0, 0x7FFFFFFFu},
                      NumberCase{2147483648.0, 0x80000000u},
                      NumberCase{4294967295.0, 0xFFFFFFFFu}, NumberCase{4294967296.0, 0},
                      NumberCase{4294967296.0 + 5, 5}, NumberCase{-1, 0xFFFFFFFFu},
                      NumberCase{-4, 0xFFFFFFFCu}, NumberCase{-2147483648.0, 0x80000000u},
                      NumberCase{-4294967297.0, 0xFFFFFFFFu}, NumberCase{3.9, 3},
                      NumberCase{-3.9, 0xFFFFFFFDu}, NumberCase{0.5, 0},
                      NumberCase{1e300, 0}, NumberCase{std::nan(""), 0},
                      NumberCase{std::numeric_limits<double>::infinity(), 0},
                      NumberCase{-std::numeric_limits<double>::infinity(), 0}));

// A Lua state whose allocator refuses once a budget of allocations is spent.
struct Budget {
  long remaining;
};

void* LimitedAlloc(void* ud, void* ptr, size_t, size_t size) {
  auto* budget = static_cast<Budget*>(ud);
  if (size == 0) {
    std::free(ptr);
    return nullptr;
  }
  if (budget->remaining <= 0) return nullptr;
  --budget->remaining;
  return std::realloc(ptr, size);
}

int CallTextReader(lua_State* L) {
  lua_getglobal(L, "Q");
  lua_getfield(L, -1, "GetTextbufferString");
  lua_getglobal(L, "A");
  lua_call(L, 1, 1);
  return 1;
}

// Conversions longer than the stack buffer take a heap buffer; running out of
// memory at any allocation on the way must raise or succeed, never leak
// (LeakSanitizer checks at exit) and never crash.
TEST(PushAnsiFromWideTest, LongTextSurvivesRunningOutOfMemoryAnywhere) {
  fake::Reset();
  const std::u16string text(3000, u'w');
  fake::WriteWide(0x10001000, text);
  int ok = 0, failed = 0;
  for (long budget_size = 0; budget_size < 400; ++budget_size) {
    Budget budget{1 << 30};
    lua_State* L = lua_newstate(LimitedAlloc, &budget);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    lua_pushcfunction(L, luaopen_Quorvane);
    lua_call(L, 0, 1);
    lua_setglobal(L, "Q");
    luaL_dostring(L, "A = {ModuleAddress=0x10000000, TextBufferAddress=0x1000}");
    lua_gc(L, LUA_GCSTOP, 0);
    budget.remaining = budget_size;
    const int status = lua_cpcall(L, CallTextReader, nullptr);
    if (status == 0) {
      ++ok;
    } else {
      // A failure inside the protected push is raised again as a runtime
      // error carrying the same message.
      EXPECT_TRUE(status == LUA_ERRMEM || status == LUA_ERRRUN) << status;
      EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
      ++failed;
    }
    budget.remaining = 1 << 30;
    lua_close(L);
  }
  EXPECT_GT(ok, 0);
  EXPECT_GT(failed, 0);
}

class LongTextTest : public testing::LuaTest {};

TEST_F(LongTextTest, LongTextsConvertWhole) {
  std::u16string text(5000, u'a');
  text[4999] = u'\u00fc';
  fake::WriteWide(0x10001000, text);
  EXPECT_EQ(Run("local s = Q.GetTextbufferString{ModuleAddress=0x10000000, TextBufferAddress=0x1000}"
                " return #s, s:byte(-1), s:sub(1, 3)"),
            "5000 252 \"aaa\"");
}

}  // namespace
}  // namespace quorvane
