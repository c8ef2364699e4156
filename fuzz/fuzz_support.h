// What the fuzz targets share: a Lua state with the module, a host memory
// image placed by the input over the fake platform, the fake ANSI code page
// and a strict check of UTF-8.
#ifndef QUORVANE_FUZZ_FUZZ_SUPPORT_H
#define QUORVANE_FUZZ_FUZZ_SUPPORT_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "module/lua_api.h"

namespace fuzz {

// Stops the run with a message: libFuzzer keeps the input that did it.
[[noreturn]] void Fail(const char* what, const std::string& detail = "");
#define FUZZ_CHECK(cond, detail) \
  do {                           \
    if (!(cond)) ::fuzz::Fail(#cond, (detail)); \
  } while (0)

// --- the ANSI code page ------------------------------------------------------

enum class CodePage { kLatin1, k932 };
void SetCodePage(CodePage page);

// ANSI bytes as UTF-16 in the current code page. Code page 932 is modelled by
// its structure: bytes 0x81-0x9F and 0xE0-0xFC lead a double-byte character
// and take the next byte with them, whatever it is (as Wine converts); a lead
// byte at the very end, or a pair whose second byte cannot follow a lead
// byte, is U+30FB. No double-byte character is ASCII.
std::u16string DecodeAnsi(const std::string& ansi);

bool IsValidUtf8(const std::string& text);

// --- Lua ----------------------------------------------------------------------

// The process's one Lua state, made at the first call: the standard
// libraries and the module's table as global Q. Each input that uses it ends
// with ResetLua, so that the next one finds the state as it was made.
lua_State* Lua();

// Empties the stack, collects the garbage and checks that nothing the input
// could change was changed: every table reachable from the registry, the
// globals, the main thread and the basic types' metatables, with its
// entries and metatable, every function's environment and upvalues, every
// userdata's metatable and environment. A difference fails the input, with
// the entries that differ.
void ResetLua(lua_State* L);

// Calls Q.<function>(table) or Q.<function>(table, type) as a script would,
// the table holding the given address fields. Returns how many values it
// gave; they are left on the stack. A Lua error breaks the property.
int CallModule(lua_State* L, const char* function,
               const std::vector<std::pair<const char*, std::uint32_t>>& fields,
               const std::int32_t* type);

// --- a host memory image ------------------------------------------------------

// A run of pages the input lays out: each page is a hole (unmapped),
// readable, a guard page or a no-access page (the last two cannot be read).
enum class PageState : std::uint8_t { kHole, kReadable, kGuard, kNoAccess };

class Image {
 public:
  // `pages` pages from `base`; their states and contents come from `in`:
  // the states first, then writes of input bytes at input offsets.
  Image(std::uint32_t base, std::uint32_t pages) : base_(base), states_(pages, PageState::kHole),
                                                   bytes_(std::size_t{pages} * 4096, 0) {}
  void TakeStates(FuzzedDataProvider& in);
  // One write at an input offset, of input bytes or of a long run of one
  // byte; false when the input has nothing left for it.
  bool TakeWrite(FuzzedDataProvider& in);
  // Stores bytes at an address of the image (pages that are holes stay
  // holes: nothing is stored there).
  void Put(std::uint32_t address, const std::string& bytes);
  void PutRun(std::uint32_t address, std::size_t length, std::uint8_t byte);
  void PutU32(std::uint32_t address, std::uint32_t value);
  // Hands the image to the fake platform (after fake::Reset).
  void Install() const;

  std::uint32_t base() const { return base_; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }
  bool Readable(std::uint64_t address) const;
  std::uint8_t Byte(std::uint32_t address) const;  // a readable address
  // A word of 4 readable bytes, or false.
  bool U32(std::uint64_t address, std::uint32_t* value) const;

 private:
  // The part of [address, address + length) in the image: its length, the
  // bytes of the range before it and its offset in the image.
  std::size_t Clip(std::uint32_t address, std::size_t length, std::size_t* skipped,
                   std::size_t* offset) const;

  std::uint32_t base_;
  std::vector<PageState> states_;
  std::vector<std::uint8_t> bytes_;
};

// Pages read through ReadHostMemory since the last ClearReads (by page
// number), for the property that nothing past what is needed is touched.
void WatchReads();
void ClearReads();
const std::set<std::uint32_t>& PagesRead();

}  // namespace fuzz

#endif
