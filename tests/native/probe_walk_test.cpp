// The probe's walks over the fake platform: a walk that meets memory it
// cannot read stops at that hop and names what the memory map says of it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/fake_platform.h"
#include "probe/walk/walk.h"

extern "C" {
#include <lauxlib.h>
}

namespace probe {
namespace {

namespace fake = quorvane::fake;
using quorvane::PageState;

constexpr std::uint32_t kBase = 0x10000000;
constexpr std::uint32_t kList = 0x1040;
constexpr std::uint32_t kDataOffset = 0x24;
constexpr std::uint32_t kBuffer = 0x1B60;
constexpr std::uint32_t kStructure = 0x00A10000;
constexpr std::uint32_t kRecord = 0x00B00000;
constexpr std::int32_t kType = 7;  // one field: scene_id, 4 bytes at 0
constexpr std::uint32_t kHighest = 0x7FFEFFFF;

// Where the walk is sent into the trap.
enum class Into { kSlot, kRecordPointer, kRecordItself, kTextBuffer };

struct TrapCase {
  const char* name;
  PageState state;
  const char* cause;
};

struct HopCase {
  const char* hop;
  Into into;
};

// A host whose walks reach their data, and a page `trap` in `state` that
// held the values a whole walk would read next. Returns the walk's context,
// sent into the trap at `into`.
WalkContext BuildHost(std::uint32_t trap, PageState state, Into into) {
  fake::Reset();
  fake::SetModuleBase("host.dll", kBase);
  fake::SetHighestApplicationAddress(kHighest);
  fake::WriteU32(kBase + kList + 4u * kType, kStructure);
  fake::WriteU32(kStructure + kDataOffset, kRecord);
  fake::WriteU32(kRecord, 3);
  fake::WriteWide(kBase + kBuffer, u"Hello");

  WalkContext context;
  context.module = "host.dll";
  context.table = {kBase, kList, kDataOffset, kBuffer};
  switch (into) {
    case Into::kSlot:
      context.table.object_address_list = trap - kBase - 4u * kType;
      fake::WriteU32(trap, kStructure);
      break;
    case Into::kRecordPointer:
      fake::WriteU32(kBase + kList + 4u * kType, trap - kDataOffset);
      fake::WriteU32(trap, kRecord);
      break;
    case Into::kRecordItself:
      fake::WriteU32(kStructure + kDataOffset, trap);
      fake::WriteU32(trap, 3);
      break;
    case Into::kTextBuffer:
      context.table.text_buffer_address = trap - kBase;
      fake::WriteWide(trap, u"Hello");
      break;
  }
  if (state != PageState::kPastApplicationRange) fake::SetPageState(trap, 1, state);
  return context;
}

TEST(WalkTest, NamesWhyMemoryCannotBeRead) {
  const TrapCase traps[] = {
      {"reserved", PageState::kReserved, "reserved"},
      {"free", PageState::kFree, "free"},
      {"guard page", PageState::kGuard, "guard_page"},
      {"no access", PageState::kNoAccess, "no_access"},
      {"past the application range", PageState::kPastApplicationRange, "past_application_range"},
  };
  const HopCase hops[] = {{"slot", Into::kSlot},
                          {"record_pointer", Into::kRecordPointer},
                          {"record", Into::kRecordItself},
                          {"text_buffer", Into::kTextBuffer}};
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  for (const TrapCase& t : traps) {
    const std::uint32_t trap =
        t.state == PageState::kPastApplicationRange ? kHighest + 1 + 0x1000 : 0x00C00000;
    for (const HopCase& h : hops) {
      SCOPED_TRACE(std::string(t.name) + " at the " + h.hop);
      const WalkContext context = BuildHost(trap, t.state, h.into);
      const Walk walk = h.into == Into::kTextBuffer ? WalkTextBuffer(L, context)
                                                    : WalkObject(L, context, kType);
      EXPECT_FALSE(walk.ok);
      EXPECT_STREQ(HopCode(walk.stop.hop), h.hop);
      EXPECT_EQ(walk.stop.reason, StopReason::kUnreadable);
      EXPECT_EQ(walk.stop.cause, t.cause) << walk.stop.message;
      EXPECT_TRUE(walk.stop.has_address);
      EXPECT_EQ(walk.stop.address, trap);
      EXPECT_NE(walk.stop.message.find("cannot be read ("), std::string::npos)
          << walk.stop.message;
    }
  }
  // The same host with the trap readable: every walk reaches its data.
  for (const HopCase& h : hops) {
    const WalkContext context = BuildHost(0x00C00000, PageState::kReadable, h.into);
    const Walk walk = h.into == Into::kTextBuffer ? WalkTextBuffer(L, context)
                                                  : WalkObject(L, context, kType);
    EXPECT_TRUE(walk.ok) << h.hop << ": " << walk.stop.message;
    EXPECT_EQ(walk.stop.cause, "") << h.hop;
  }
  lua_close(L);
}

// A read that starts two bytes before a page without access: the first
// byte that cannot be read is the page's first, not where the read starts,
// and the memory map's word for that byte is the cause. The slot and the
// record pointer stop where they were read; a record field and the text
// buffer name the byte too.
TEST(WalkTest, NamesTheFirstUnreadableByteOfAReadIntoABadPage) {
  constexpr std::uint32_t kTrap = 0x00C00000;
  struct Case {
    const char* hop;
    Into into;
    std::uint32_t stop_address;
    const char* says;  // the message, after where the read started
  };
  const Case cases[] = {
      {"slot", Into::kSlot, kTrap - 2, "cannot be read (a page without read access)"},
      {"record_pointer", Into::kRecordPointer, kTrap - 2,
       "cannot be read (a page without read access)"},
      {"record", Into::kRecordItself, kTrap,
       "(record + 0): 0x00C00000 cannot be read (a page without read access)"},
      {"text_buffer", Into::kTextBuffer, kTrap,
       "): 0x00C00000 cannot be read (a page without read access)"},
  };
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hop);
    WalkContext context = BuildHost(kTrap - 2, PageState::kReadable, c.into);
    fake::SetPageState(kTrap, 1, PageState::kNoAccess);
    const Walk walk = c.into == Into::kTextBuffer ? WalkTextBuffer(L, context)
                                                  : WalkObject(L, context, kType);
    ASSERT_FALSE(walk.ok);
    EXPECT_STREQ(HopCode(walk.stop.hop), c.hop);
    EXPECT_EQ(walk.stop.reason, StopReason::kUnreadable);
    EXPECT_EQ(walk.stop.cause, "no_access") << walk.stop.message;
    EXPECT_EQ(walk.stop.address, c.stop_address);
    EXPECT_NE(walk.stop.message.find(c.says), std::string::npos) << walk.stop.message;
  }
  lua_close(L);
}

// A walk that reaches a record is judged as the finder judges records: a
// value no host would hold is marked (an offset off by four still reaches
// data, the wrong data), and a plausible record is not.
TEST(WalkTest, MarksARecordWithImplausibleValues) {
  constexpr std::uint32_t kTextRecord = 0x00B10000;
  struct Case {
    const char* name;
    std::uint32_t color;
    const char* says;  // the mark on "color", or null for none
  };
  const Case cases[] = {
      {"a colour", 0x00FF8040, nullptr},
      {"text read as a colour", 0x6E756F52, "0x6E756F52 has a top byte: not a colour"},
  };
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WalkContext context = BuildHost(0x00D00000, PageState::kReadable, Into::kTextBuffer);
    fake::WriteU32(kBase + kList + 4u * 3, kStructure + 0x100);
    fake::WriteU32(kStructure + 0x100 + kDataOffset, kTextRecord);
    fake::WriteU32(kTextRecord + 8, c.color);
    fake::Write(kTextRecord + 16, "Arial", 6);
    fake::WriteWide(kTextRecord + 48, u"Hi");
    const Walk walk = WalkObject(L, context, 3);
    ASSERT_TRUE(walk.ok) << walk.stop.message;
    if (c.says == nullptr) {
      EXPECT_TRUE(walk.implausible.empty()) << walk.implausible.front().what;
      continue;
    }
    ASSERT_EQ(walk.implausible.size(), 1u);
    EXPECT_EQ(walk.implausible[0].field, "color");
    EXPECT_EQ(walk.implausible[0].offset, 8u);
    EXPECT_EQ(walk.implausible[0].what, c.says);
  }
  lua_close(L);
}

// The walk's diagnoses of a text the module's reader gives nil for: a record's
// wide text or the text buffer that has no ANSI form, and a record's text
// that runs into memory that cannot be read.
TEST(WalkTest, NamesWhyATextGivesNil) {
  constexpr std::uint32_t kPageEnd = 0x00C00000;
  struct Case {
    const char* name;
    bool text_buffer;  // else GetObjectData for type 3, whose "text" is at 48
    bool conversion_fails;
    bool runs_into_no_access;
    Hop hop;
    StopReason reason;
    const char* says;
  };
  const Case cases[] = {
      {"record text not convertible", false, true, false, Hop::kRecord,
       StopReason::kNotConvertible, "the wide text cannot be converted to the ANSI code page"},
      {"text buffer not convertible", true, true, false, Hop::kTextBuffer,
       StopReason::kNotConvertible, "cannot be converted to the ANSI code page"},
      {"record text unreadable", false, false, true, Hop::kRecord, StopReason::kUnreadable,
       "0x00C00000 cannot be read (a page without read access)"},
  };
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WalkContext context = BuildHost(0x00D00000, PageState::kReadable, Into::kTextBuffer);
    // Type 3's record ends 4 bytes into its text at the end of a page: "Hi"
    // with its terminator on the next page.
    const std::uint32_t record = kPageEnd - 48 - 4;
    fake::WriteU32(kBase + kList + 4u * 3, kStructure + 0x100);
    fake::WriteU32(kStructure + 0x100 + kDataOffset, record);
    fake::Write(record + 16, "Arial", 6);
    fake::Write(record + 48, "H\0i\0", 4);
    fake::WriteWide(kPageEnd, u"");
    if (c.runs_into_no_access) fake::SetPageState(kPageEnd, 1, PageState::kNoAccess);
    fake::SetWideConversionFails(c.conversion_fails);
    const Walk walk = c.text_buffer ? WalkTextBuffer(L, context) : WalkObject(L, context, 3);
    fake::SetWideConversionFails(false);
    ASSERT_FALSE(walk.ok);
    EXPECT_EQ(walk.stop.hop, c.hop);
    EXPECT_EQ(walk.stop.reason, c.reason);
    if (!c.text_buffer) {
      EXPECT_EQ(walk.stop.field, "text");
    }
    EXPECT_NE(walk.stop.message.find(c.says), std::string::npos) << walk.stop.message;
  }
  lua_close(L);
}

// A text buffer address that is off still reads text, from inside the
// buffer: the walk marks it, as the finder judges a buffer place, by what
// lies right before it. A NUL unit, or memory that cannot be read, is where
// a buffer may start.
TEST(WalkTest, MarksATextBufferThatStartsInsideRunningText) {
  struct Case {
    const char* name;
    std::uint32_t offset;     // added to the buffer's true address
    bool page_before_unread;  // the page before the buffer cannot be read
    const char* says;         // a part of the mark, or null for none
  };
  const Case cases[] = {
      {"where it starts", 0, false, nullptr},
      {"off by two", 2, false, "U+0048 'H' right before it, not a NUL unit"},
      {"off by four", 4, false, "U+0065 'e' right before it"},
      {"at a page start after a page that cannot be read", 0, true, nullptr},
  };
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WalkContext context = BuildHost(0x00C00000, PageState::kReadable, Into::kSlot);
    if (c.page_before_unread) {
      context.table.text_buffer_address = 0x3000;
      fake::WriteU32(kBase + 0x3000 - 4, 0x00410041);  // "AA", then no access
      fake::SetPageState(kBase + 0x2000, 1, PageState::kNoAccess);
      fake::WriteWide(kBase + 0x3000, u"Hello");
    }
    context.table.text_buffer_address += c.offset;
    const Walk walk = WalkTextBuffer(L, context);
    ASSERT_TRUE(walk.ok) << walk.stop.message;
    if (c.says == nullptr) {
      EXPECT_TRUE(walk.implausible.empty()) << walk.implausible.front().what;
    } else {
      ASSERT_EQ(walk.implausible.size(), 1u);
      EXPECT_NE(walk.implausible[0].what.find(c.says), std::string::npos)
          << walk.implausible[0].what;
    }
  }
  lua_close(L);
}

// Lua's allocator, refusing every allocation that grows a block once told
// to (shrinking must never fail in Lua 5.1).
bool g_refuse_growth = false;
void* RefusingAllocator(void*, void* block, std::size_t old_size, std::size_t size) {
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  if (g_refuse_growth && size > old_size) return nullptr;
  return std::realloc(block, size);
}

// Memory the walk can read, decoded by a Lua state that has run out of
// memory: the walk stops at the record's first string and says what Lua said.
TEST(WalkTest, NamesALuaErrorAtTheFieldItHitAndNotTheMemory) {
  lua_State* L = lua_newstate(RefusingAllocator, nullptr);
  ASSERT_NE(L, nullptr);
  WalkContext context = BuildHost(0x00D00000, PageState::kReadable, Into::kTextBuffer);
  constexpr std::uint32_t kTextRecord = 0x00B10000;
  fake::WriteU32(kBase + kList + 4u * 3, kStructure + 0x100);
  fake::WriteU32(kStructure + 0x100 + kDataOffset, kTextRecord);
  fake::Write(kTextRecord + 16, "Arial", 6);
  fake::WriteWide(kTextRecord + 48, u"Hi");
  g_refuse_growth = true;
  const Walk walk = WalkObject(L, context, 3);
  g_refuse_growth = false;
  ASSERT_FALSE(walk.ok);
  EXPECT_EQ(walk.stop.hop, Hop::kRecord);
  EXPECT_EQ(walk.stop.reason, StopReason::kLuaError);
  EXPECT_EQ(walk.stop.field, "font");
  EXPECT_NE(walk.stop.message.find("not enough memory"), std::string::npos) << walk.stop.message;
  // With memory again, the same walk reaches its data.
  EXPECT_TRUE(WalkObject(L, context, 3).ok);
  lua_close(L);
}

}  // namespace
}  // namespace probe
