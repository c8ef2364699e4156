#include "readers/host_strings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "module/lua_helpers.h"
#include "platform/platform.h"
#include "readers/host_runs.h"

namespace quorvane {

namespace {

// Most strings and texts fit in this much stack; longer ones are collected
// in a heap buffer.
constexpr std::uint32_t kStackRunBytes = 512;
// The first heap buffer of a long string; it doubles as needed.
constexpr std::uint32_t kFirstHeapBytes = 16384;

enum class Run { kComplete, kMore, kUnreadable };

// Copies into `out` the `unit`-byte elements at `address` that come before
// the first all-zero element, taking no more than `max_bytes` bytes of host
// memory nor `capacity` bytes of `out`. *length receives the bytes copied.
// kComplete: the terminator or `max_bytes` was reached; kMore: `out` is full
// and the run may go on. Reads page by page, so a terminator just before an
// unreadable page is still found.
Run CopyHostRun(std::uint32_t address, std::uint32_t unit, std::uint32_t max_bytes,
                char* out, std::uint32_t capacity, std::uint32_t* length) {
  const RunExtent run = FindRunEnd(
      address, unit, std::min(max_bytes, capacity),
      [out](std::uint32_t at, std::uint32_t offset, std::uint32_t size) -> const std::uint8_t* {
        char* into = out + offset;
        return ReadHostMemory(at, into, size) ? reinterpret_cast<const std::uint8_t*>(into)
                                              : nullptr;
      });
  *length = run.length;
  switch (run.end) {
    case RunEnd::kUnreadable: return Run::kUnreadable;
    case RunEnd::kTerminator: return Run::kComplete;
    case RunEnd::kBound: break;
  }
  // The limit came first: `out` is full when the bound is not yet reached.
  return max_bytes - run.length >= unit ? Run::kMore : Run::kComplete;
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
    lua_pushlstring(L, length > 0 ? copy : "", length);  // nothing copied for a bound of 0
    return true;
  }
  return PushAnsiFromWide(L, reinterpret_cast<const std::uint16_t*>(copy), length / 2);
}

}  // namespace

bool PushHostRun(lua_State* L, std::uint32_t address, std::uint32_t unit,
                 std::uint32_t max_bytes, const char* copy, std::uint32_t copied) {
  copied = std::min(copied, max_bytes);
  copied -= copied % unit;
  const std::uint32_t length =
      FindTerminator(reinterpret_cast<const std::uint8_t*>(copy), unit, copied);
  // A wide text is pushed from the copy only with its terminator in it.
  if (length < copied || (unit == 1 && copied == max_bytes)) {
    return PushCopiedRun(L, unit, copy, length);
  }
  if (copied >= kStackRunBytes) return PushLongRun(L, address, unit, max_bytes, copy, copied);
  // Read on, on the stack as far as it holds, then in a heap buffer.
  alignas(4) char run[kStackRunBytes + 2];
  if (copied > 0) std::memcpy(run, copy, copied);
  std::uint32_t more;
  switch (CopyHostRun(address + copied, unit, max_bytes - copied, run + copied,
                      kStackRunBytes - copied, &more)) {
    case Run::kComplete:
      run[copied + more] = '\0';  // the terminator, when the bound came first
      run[copied + more + 1] = '\0';
      return PushCopiedRun(L, unit, run, copied + more);
    case Run::kMore:
      return PushLongRun(L, address, unit, max_bytes, run, copied + more);
    case Run::kUnreadable:
      break;
  }
  return false;
}

bool PushHostString(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  return PushHostRun(L, address, 1, max_bytes, nullptr, 0);
}

bool PushHostWideText(lua_State* L, std::uint32_t address, std::uint32_t max_bytes) {
  return PushHostRun(L, address, 2, max_bytes, nullptr, 0);
}

}  // namespace quorvane
