#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
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
                      NumberCase{-std::numeric_limits<double>::infinity(), 0},
                      // Halves, which rounding to the nearest would take away from zero,
                      // and the edges of the short way (magnitudes below about 2^51).
                      NumberCase{2.5, 2}, NumberCase{-2.5, 0xFFFFFFFEu}, NumberCase{-0.0, 0},
                      NumberCase{4294967295.5, 0xFFFFFFFFu}, NumberCase{-4294967295.5, 1},
                      NumberCase{2251799813685247.5, 0xFFFFFFFFu},
                      NumberCase{-2251799813685247.5, 1}, NumberCase{2251799813685248.0, 0},
                      NumberCase{-2251799813685248.0, 0}, NumberCase{2251799813685249.0, 1},
                      NumberCase{-2251799813685250.0, 0xFFFFFFFEu},
                      NumberCase{4503599627370496.0 + 7, 7}, NumberCase{1e-300, 0},
                      NumberCase{-1e-300, 0}));

// The 32-bit pattern by plain arithmetic on exact values.
std::uint32_t PlainPattern(double value) {
  if (!std::isfinite(value)) return 0;
  double wrapped = std::fmod(std::trunc(value), 4294967296.0);
  if (wrapped < 0) wrapped += 4294967296.0;
  return static_cast<std::uint32_t>(wrapped);
}

TEST(HostAddressSweepTest, AgreesWithPlainArithmeticAtEveryMagnitude) {
  std::mt19937_64 random(20261210);
  int mismatches = 0;
  auto check = [&](double value) {
    if (HostAddressFromNumber(value) != PlainPattern(value) && ++mismatches <= 10) {
      ADD_FAILURE() << std::hexfloat << value << std::defaultfloat << " (" << value << ") gave "
                    << HostAddressFromNumber(value) << ", not " << PlainPattern(value);
    }
  };
  const double fractions[] = {0, 0.25, 0.5, 0.75, 0.999999, 1e-9};
  for (int exponent = -2; exponent <= 64; ++exponent) {
    for (int i = 0; i < 200; ++i) {
      const double magnitude = std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52, exponent);
      const double whole = std::trunc(magnitude);
      for (double fraction : fractions) {
        for (double sign : {1.0, -1.0}) {
          check(sign * (whole + fraction));
          check(std::nextafter(sign * (whole + fraction), 0.0));
          check(std::nextafter(sign * (whole + fraction), sign * 1e300));
        }
      }
    }
  }
  for (int i = 0; i < 200000; ++i) {  // any bit pattern: subnormals, NaNs, huge numbers
    const std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    check(value);
  }
  EXPECT_EQ(mismatches, 0);
}

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

// Runs the chunk in global "call" (a call of one of the readers).
int CallReader(lua_State* L) {
  lua_getglobal(L, "call");
  lua_call(L, 0, 1);
  return 1;
}

// Texts and strings longer than the stack buffers are collected in a heap
// buffer and converted through another; running out of memory at any
// allocation on the way must raise or succeed, never leak (LeakSanitizer
// checks at exit) and never crash.
TEST(PushAnsiFromWideTest, LongTextsAndStringsSurviveRunningOutOfMemoryAnywhere) {
  fake::Reset();
  fake::WriteWide(0x10001000, std::u16string(3000, u'w'));
  fake::WriteU32(0x10002000 + 4 * 4, 0x10003000);  // slot of type 4
  fake::WriteU32(0x10003000 + 8, 0x10004000);      // its record pointer
  fake::Write(0x10004000, "\1\0\0\0\2\0\0\0", 8);
  const std::string name(20000, 'n');
  fake::Write(0x10004000 + 8, name.c_str(), name.size() + 1);
  for (const char* call :
       {"return Q.GetTextbufferString(A)", "return Q.GetObjectData(A, 4).name"}) {
    SCOPED_TRACE(call);
    int ok = 0, failed = 0;
    for (long budget_size = 0; budget_size < 400; ++budget_size) {
      Budget budget{1 << 30};
      lua_State* L = lua_newstate(LimitedAlloc, &budget);
      ASSERT_NE(L, nullptr);
      luaL_openlibs(L);
      lua_pushcfunction(L, luaopen_Quorvane);
      lua_call(L, 0, 1);
      lua_setglobal(L, "Q");
      luaL_dostring(L, "A = {ModuleAddress=0x10000000, TextBufferAddress=0x1000,"
                       " ObjectAddressList=0x2000, ObjectDataOffset=8}");
      luaL_loadstring(L, call);
      lua_setglobal(L, "call");
      lua_gc(L, LUA_GCSTOP, 0);
      budget.remaining = budget_size;
      const int status = lua_cpcall(L, CallReader, nullptr);
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
