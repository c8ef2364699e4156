#include "readers/host_strings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "module/lua_helpers.h"
#include "platform/platform.h"

namespace quorvane {

namespace {

// Most strings and texts fit in this much stack; longer ones are collected
// in a heap buffer.
constexpr std::uint32_t kStackRunBytes = 512;
// The first heap buffer of a long string; it doubles as needed.
constexpr std::uint32_t kFirstHeapBytes = 16384;

enum class Run { kComplete, kMore, kUnreadable };

// Offset of the first all-zero `unit`-byte element among the whole elements
// of the `bytes` bytes at `at`, or the bytes of those elements when there is
// none.
std::uint32_t FindTerminator(const char* at, std::uint32_t unit, std::uint32_t bytes) {
  if (unit == 1) {
    const void* nul = std::memchr(at, 0, bytes);
    return nul == nullptr ? bytes : static_cast<std::uint32_t>(static_cast<const char*>(nul) - at);
  }
  const std::uint32_t end = bytes - bytes % 2;
  for (std::uint32_t i = 0; i < end; i += 2) {
    std::uint16_t element;
    std::memcpy(&element, at + i, 2);
    if (element == 0) return i;
  }
  return end;
}

// Copies into `out` the `unit`-byte elements at `address` that come before
// the first all-zero element, taking no more than `max_bytes` bytes of host
// memory nor `capacity` bytes of `out`. *length receives the bytes copied.
// kComplete: the terminator or `max_bytes` was reached; kMore: `out` is full
// and the run may go on. Reads page by page, so a terminator just before an
// unreadable page is still found.
Run CopyHostRun(std::uint32_t address, std::uint32_t unit, std::uint32_t max_bytes,
                char* out, std::uint32_t capacity, std::uint32_t* length) {
  std::uint32_t taken = 0;
  *length = 0;
  while (max_bytes - taken >= unit) {
    if (capacity - taken < unit) return Run::kMore;
    const std::uint32_t at = address + taken;
    std::uint32_t chunk = kHostPageSize - at % kHostPageSize;
    chunk = std::min({chunk, capacity - taken, max_bytes - taken});
    chunk -= chunk % unit;
    if (chunk == 0) chunk = unit;  // one element across a page boundary
    if (!ReadHostMemory(at, out + taken, chunk)) return Run::kUnreadable;
    const std::uint32_t end = FindTerminator(out + taken, unit, chunk);
    if (end < chunk) {
      *length = taken + end;
      return Run::kComplete;
    }
    taken += chunk;
    *length = taken;
  }
  return Run::kComplete;
}

// A long string or text, collected in a heap buffer, for the protected push.
struct LongRun {
  const char* data;     // `length` bytes, then two zero bytes
  std::uint32_t length;
  std::uint32_t unit;
  bool pushed;
};

int PushLongRunProtected(lua_State* L) {
  LongRun* run = static_cast<LongRun*>(lua_touserdata(L, 1));
  if (run->unit == 1) {
    lua_pushlstring(L, run->data, run->length);
    run->pushed = true;
    return 1;
  }
  // A heap buffer from malloc is aligned for any type, so it reads as UTF-16.
  run->pushed =
      PushAnsiFromWide(L, reinterpret_cast<const std::uint16_t*>(run->data), run->length / 2);
  return run->pushed ? 1 : 0;
}

// Pushes, as one Lua string (or the ANSI text of a wide one), the
// `prefix_length` bytes already copied to `prefix` and the rest of the run
// that follows them in host memory. The run is collected in a heap buffer;
// the only Lua call made while it exists is the protected push, whose
// function is pushed before the buffer is taken, so a Lua error (out of
// memory) cannot leak it. No luaL_Buffer: its size is the host lua51.dll's
// business, not this module's.
bool PushLongRun(lua_State* L, std::uint32_t address, std::uint32_t unit,
                 std::uint32_t max_bytes, const char* prefix, std::uint32_t prefix_length) {
  lua_pushcfunction(L, PushLongRunProtected);
  std::uint32_t capacity = std::min(max_bytes, std::max(kFirstHeapBytes, 2 * prefix_length));
  char* data = static_cast<char*>(std::malloc(capacity + 2u));
  if (data == nullptr) {
    lua_pop(L, 1);
    return false;
  }
  std::memcpy(data, prefix, prefix_length);
  std::uint32_t length = prefix_length;
  for (;;) {
    std::uint32_t got;
    const Run state = CopyHostRun(address + length, unit, max_bytes - length, data + length,
                                  capacity - length, &got);
    length += got;
    if (state == Run::kComplete) break;
    char* bigger = nullptr;
    if (state == Run::kMore) {
      capacity = std::min(max_bytes, 2 * capacity);
      bigger = static_cast<char*>(std::realloc(data, capacity + 2u));
    }
    if (bigger == nullptr) {
      std::free(data);
      lua_pop(L, 1);
      return false;
    }
    data = bigger;
  }
  data[length] = '\0';
  data[length + 1] = '\0';
  LongRun run{data, length, unit, false};
  lua_pushlightuserdata(L, &run);
  const int status = lua_pcall(L, 1, 1, 0);
  std::free(data);
  if (status != 0) lua_error(L);
  if (!run.pushed) {
    lua_pop(L, 1);
    return false;
  }
  return true;
}

// Pushes a run that ended (terminator or bound) within its copy.
bool PushCopiedRun(lua_State* L, std::uint32_t unit, const char* copy, std::uint32_t length) {
  if (unit == 1) {
    lua_pushlstring(L, copy, length);
    return true;
  }
  return PushAnsiFromWide(L, reinterpret_cast<const std::uint16_t*>(copy), length / 2);
}

}  // namespace

bool PushHostRun(lua_State* L, std::uint32_t address, std::uint32_t unit,
                 std::uint32_t max_bytes, const char* copy, std::uint32_t copied) {
  copied = std::min(copied, max_bytes);
  copied -= copied % unit;
  const std::uint32_t length = FindTerminator(copy, unit, copied);
  // A wide text is pushed from the copy only with its terminator in it.
  if (length < copied || (unit == 1 && copied == max_bytes)) {
    return PushCopiedRun(L, unit, copy, length);
  }
  return PushLongRun(L, address, unit, max_bytes, copy, copied);
}

bool PushHostString(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  char first[kStackRunBytes];
  std::uint32_t length;
  switch (CopyHostRun(address, 1, max_bytes, first, sizeof first, &length)) {
    case Run::kComplete:
      lua_pushlstring(L, first, length);
      return true;
    case Run::kMore:
      return PushLongRun(L, address, 1, max_bytes, first, length);
    case Run::kUnreadable:
      break;
  }
  return false;
}

bool PushHostWideText(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  std::uint16_t first[kStackRunBytes / 2 + 1];
  std::uint32_t length;
  switch (CopyHostRun(address, 2, max_bytes, reinterpret_cast<char*>(first), kStackRunBytes,
                      &length)) {
    case Run::kComplete:
      first[length / 2] = 0;
      return PushAnsiFromWide(L, first, length / 2);
    case Run::kMore:
      return PushLongRun(L, address, 2, max_bytes, reinterpret_cast<const char*>(first), length);
    case Run::kUnreadable:
      break;
  }
  return false;
}

}  // namespace quorvane
