// Fault campaign for Quorvane.dll under Wine: what a run shares (its seed and
// scratch folder) and what the readers must give for each type index, written
// down from the documented layouts. The Lua state with the module required
// and direct calls of its C functions come from lua_session.h (tests/e2e).
#ifndef QV_FAULTS_CAMPAIGN_H
#define QV_FAULTS_CAMPAIGN_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fixture.h"
#include "lua_session.h"

namespace qv_faults {

using namespace qv_lua;

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

// ------------------------------------------------------------------ checks

// Empty when `v` is a table whose fields are exactly those of the layout of
// `type_index`, each of the right type and within its kind's range;
// otherwise what is wrong.
std::string LayoutProblem(const LuaValue& v, std::int32_t type_index);

// Empty when the call ended cleanly: no error, 0 or 1 result that it pushed
// itself, nothing left over, arguments untouched.
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
