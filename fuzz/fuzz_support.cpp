#include "fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/fake_platform.h"
#include "platform/platform.h"

extern "C" {
#include <lualib.h>
}

extern "C" int luaopen_Quorvane(lua_State* L);

namespace fuzz {

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\nproperty broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

namespace {

CodePage code_page = CodePage::kLatin1;

bool Lead932(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool Trail932(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

std::set<std::uint32_t> pages_read;

void OnRead(std::uint32_t address, std::uint32_t size) {
  if (size == 0) return;
  const std::uint64_t last = std::uint64_t{address} + size - 1;
  for (std::uint64_t page = address / 4096; page <= last / 4096 && page <= 0xFFFFF; ++page) {
    pages_read.insert(static_cast<std::uint32_t>(page));
  }
}

}  // namespace

void SetCodePage(CodePage page) { code_page = page; }

std::u16string DecodeAnsi(const std::string& ansi) {
  std::u16string wide;
  wide.reserve(ansi.size());
  for (std::size_t i = 0; i < ansi.size(); ++i) {
    const auto b = static_cast<unsigned char>(ansi[i]);
    if (code_page == CodePage::kLatin1 || b < 0x80) {
      wide += static_cast<char16_t>(b);
    } else if (Lead932(b)) {
      if (i + 1 == ansi.size()) {
        wide += u'\u30FB';
        continue;
      }
      const auto t = static_cast<unsigned char>(ansi[++i]);
      wide += Trail932(t) ? static_cast<char16_t>(0x4E00 + ((b << 8 | t) % 0x5000)) : u'\u30FB';
    } else if (b >= 0xA1 && b <= 0xDF) {
      wide += static_cast<char16_t>(0xFF61 + (b - 0xA1));  // half-width katakana
    } else {
      wide += static_cast<char16_t>(0xF8F0 + (b & 0x0F));  // 0x80, 0xA0, 0xFD-0xFF
    }
  }
  return wide;
}

bool IsValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t n;
    unsigned code;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1, code = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2, code = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3, code = b & 0x07u;
    } else {
      return false;
    }
    if (i + n >= text.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      code = code << 6 | (c & 0x3Fu);
    }
    if ((n == 2 && code < 0x800) || (n == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code < 0xE000)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

// --- the Lua state -----------------------------------------------------------

namespace {

std::uint64_t Avalanche(std::uint64_t z) {  // splitmix64's finish
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

std::uint64_t Mix(std::uint64_t h, std::uint64_t v) { return Avalanche(h + 0x9E3779B97F4A7C15u * (v + 1)); }

std::uint64_t Pointer(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint64_t HashBytes(const char* s, std::size_t length) {
  std::uint64_t h = length;
  for (std::size_t i = 0; i < length; ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001B3u;
  return Avalanche(h);
}

// A value as the check tells values apart: its type and its number, its
// bytes or its identity.
std::uint64_t HashValue(lua_State* L, int index) {
  const int type = lua_type(L, index);
  switch (type) {
    case LUA_TNIL: return Mix(type, 0);
    case LUA_TBOOLEAN: return Mix(type, static_cast<std::uint64_t>(lua_toboolean(L, index)));
    case LUA_TNUMBER: {
      const lua_Number n = lua_tonumber(L, index);
      std::uint64_t bits;
      std::memcpy(&bits, &n, sizeof bits);
      return Mix(type, bits);
    }
    case LUA_TSTRING: {
      std::size_t length = 0;
      const char* s = lua_tolstring(L, index, &length);
      return Mix(type, HashBytes(s, length));
    }
    default: return Mix(type, Pointer(lua_topointer(L, index)));
  }
}

std::string ValueText(lua_State* L, int index) {
  char text[64];
  switch (lua_type(L, index)) {
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return lua_toboolean(L, index) ? "true" : "false";
    case LUA_TNUMBER: std::snprintf(text, sizeof text, "%.17g", lua_tonumber(L, index)); return text;
    case LUA_TSTRING: {
      std::size_t length = 0;
      const char* s = lua_tolstring(L, index, &length);
      std::string quoted = "\"";
      for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
          quoted += static_cast<char>(c);
        } else {
          std::snprintf(text, sizeof text, "\\x%02X", c);
          quoted += text;
        }
      }
      return quoted + "\"";
    }
    default:
      std::snprintf(text, sizeof text, "%s %p", luaL_typename(L, index), lua_topointer(L, index));
      return text;
  }
}

// Walks what ResetLua checks and sums a hash of each entry (its owner, key
// and value), so that the order of the walk does not matter. Describing, it
// also writes each entry as a line, named by the path first taken to its
// owner (slow: only to say what differs; the paths are null otherwise).
class StateWalk {
 public:
  explicit StateWalk(std::vector<std::string>* lines) : lines_(lines), seen_(1024, nullptr) {}
  void Run(lua_State* L);
  std::uint64_t digest() const { return digest_; }
  std::uint64_t entries() const { return entries_; }

 private:
  bool FirstVisit(const void* p);
  void Visit(lua_State* L, const std::string* path);
  void Entry(lua_State* L, const std::string* path, const void* owner, std::uint64_t key,
             const std::string& key_text, int value);
  // The value on top of the stack as an entry that is no table key (a root,
  // a metatable, an environment, an upvalue), visited, then popped.
  void Attached(lua_State* L, const std::string* path, const void* owner, const char* what, int n);

  std::vector<std::string>* lines_;
  std::vector<const void*> seen_;  // open addressing, never more than half full
  std::size_t seen_count_ = 0;
  std::uint64_t digest_ = 0, entries_ = 0;
};

bool StateWalk::FirstVisit(const void* p) {
  if (2 * (seen_count_ + 1) > seen_.size()) {
    std::vector<const void*> old(seen_.size() * 2, nullptr);
    old.swap(seen_);
    seen_count_ = 0;
    for (const void* q : old) {
      if (q != nullptr) FirstVisit(q);
    }
  }
  const std::size_t mask = seen_.size() - 1;
  for (std::size_t i = Avalanche(Pointer(p)) & mask;; i = (i + 1) & mask) {
    if (seen_[i] == p) return false;
    if (seen_[i] == nullptr) {
      seen_[i] = p;
      ++seen_count_;
      return true;
    }
  }
}

void StateWalk::Entry(lua_State* L, const std::string* path, const void* owner,
                      std::uint64_t key, const std::string& key_text, int value) {
  digest_ += Mix(Mix(Pointer(owner), key), HashValue(L, value));
  ++entries_;
  if (path != nullptr) lines_->push_back(*path + key_text + " = " + ValueText(L, value));
}

void StateWalk::Attached(lua_State* L, const std::string* path, const void* owner,
                         const char* what, int n) {
  const std::uint64_t key = Mix(HashBytes(what, std::strlen(what)), static_cast<std::uint64_t>(n));
  if (path == nullptr) {
    Entry(L, nullptr, owner, key, std::string(), lua_gettop(L));
    Visit(L, nullptr);
  } else {
    const std::string key_text = (path->empty() ? "" : " ") + std::string(what) +
                                 (n == 0 ? "" : " " + std::to_string(n));
    Entry(L, path, owner, key, key_text, lua_gettop(L));
    const std::string inner = *path + key_text;
    Visit(L, &inner);
  }
  lua_pop(L, 1);
}

void StateWalk::Visit(lua_State* L, const std::string* path) {
  const int at = lua_gettop(L);
  const int type = lua_type(L, at);
  if (type != LUA_TTABLE && type != LUA_TFUNCTION && type != LUA_TUSERDATA) return;
  const void* self = lua_topointer(L, at);
  if (!FirstVisit(self)) return;
  FUZZ_CHECK(lua_checkstack(L, 4), "the Lua state's check ran out of stack");
  if (type == LUA_TTABLE) {
    lua_pushnil(L);
    while (lua_next(L, at) != 0) {
      std::string key_text, inner;
      if (path != nullptr) {
        key_text = "[" + ValueText(L, at + 1) + "]";
        inner = *path + key_text;
      }
      Entry(L, path, self, HashValue(L, at + 1), key_text, at + 2);
      for (const int index : {at + 1, at + 2}) {
        if (lua_type(L, index) < LUA_TTABLE) continue;  // nothing inside
        lua_pushvalue(L, index);
        Visit(L, path == nullptr ? nullptr : &inner);
        lua_pop(L, 1);
      }
      lua_pop(L, 1);
    }
  }
  if (lua_getmetatable(L, at)) Attached(L, path, self, "metatable", 0);
  if (type != LUA_TTABLE) {
    lua_getfenv(L, at);
    Attached(L, path, self, "environment", 0);
  }
  for (int n = 1; type == LUA_TFUNCTION && lua_getupvalue(L, at, n) != nullptr; ++n) {
    Attached(L, path, self, "upvalue", n);
  }
}

void StateWalk::Run(lua_State* L) {
  const std::string top;
  const std::string* path = lines_ == nullptr ? nullptr : &top;
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  Attached(L, path, nullptr, "_G", 0);
  lua_pushvalue(L, LUA_REGISTRYINDEX);
  Attached(L, path, nullptr, "registry", 0);
  lua_pushthread(L);
  lua_getfenv(L, -1);
  Attached(L, path, nullptr, "main thread's environment", 0);
  // The metatables that all values of a basic type share (the thread stays
  // on the stack for its type's).
  static const char* const kShared[] = {"nil's metatable",    "boolean's metatable",
                                        "light userdata's metatable", "number's metatable",
                                        "string's metatable", "",
                                        "function's metatable", "",
                                        "thread's metatable"};
  lua_pushnil(L);
  lua_pushboolean(L, 0);
  lua_pushlightuserdata(L, nullptr);
  lua_pushnumber(L, 0);
  lua_pushliteral(L, "");
  lua_pushcfunction(L, luaopen_Quorvane);
  for (int index = lua_gettop(L) - 6; index <= lua_gettop(L); ++index) {
    if (lua_getmetatable(L, index)) Attached(L, path, nullptr, kShared[lua_type(L, index)], 0);
  }
  lua_pop(L, 7);
  FUZZ_CHECK(lua_gethook(L) == nullptr && lua_gethookmask(L) == 0, "a debug hook is set");
}

struct Snapshot {
  std::uint64_t digest = 0, entries = 0;
  std::vector<std::string> lines;  // sorted
};

Snapshot TakeSnapshot(lua_State* L, bool with_lines) {
  Snapshot s;
  StateWalk walk(with_lines ? &s.lines : nullptr);
  walk.Run(L);
  s.digest = walk.digest();
  s.entries = walk.entries();
  std::sort(s.lines.begin(), s.lines.end());
  return s;
}

// The lines of one snapshot that the other lacks.
std::string Missing(const Snapshot& from, const Snapshot& in, const char* label) {
  std::vector<std::string> lines;
  std::set_difference(from.lines.begin(), from.lines.end(), in.lines.begin(), in.lines.end(),
                      std::back_inserter(lines));
  std::string text;
  for (const std::string& line : lines) text += std::string(label) + line + "\n";
  return text;
}

Snapshot made;  // the state as Lua() made it

}  // namespace

lua_State* Lua() {
  static lua_State* const L = [] {
    lua_State* state = luaL_newstate();
    luaL_openlibs(state);
    lua_pushcfunction(state, luaopen_Quorvane);
    lua_call(state, 0, 1);
    lua_setglobal(state, "Q");
    lua_gc(state, LUA_GCCOLLECT, 0);
    made = TakeSnapshot(state, true);
    return state;
  }();
  return L;
}

void ResetLua(lua_State* L) {
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  const Snapshot now = TakeSnapshot(L, false);
  if (now.digest == made.digest && now.entries == made.entries) return;
  const Snapshot described = TakeSnapshot(L, true);
  Fail("the input left the Lua state changed",
       std::to_string(made.entries) + " entries made, " + std::to_string(now.entries) + " now\n" +
           Missing(made, described, "  gone: ") + Missing(described, made, "  new:  "));
}

int CallModule(lua_State* L, const char* function,
               const std::vector<std::pair<const char*, std::uint32_t>>& fields,
               const std::int32_t* type) {
  const int top = lua_gettop(L);
  lua_getglobal(L, "Q");
  lua_getfield(L, -1, function);
  lua_remove(L, -2);
  lua_createtable(L, 0, static_cast<int>(fields.size()));
  for (const auto& f : fields) {
    lua_pushnumber(L, f.second);
    lua_setfield(L, -2, f.first);
  }
  if (type != nullptr) lua_pushinteger(L, *type);
  FUZZ_CHECK(lua_pcall(L, type != nullptr ? 2 : 1, LUA_MULTRET, 0) == 0, lua_tostring(L, -1));
  return lua_gettop(L) - top;
}

void Image::TakeStates(FuzzedDataProvider& in) {
  for (PageState& s : states_) s = static_cast<PageState>(in.ConsumeIntegralInRange(0, 3));
}

bool Image::TakeWrite(FuzzedDataProvider& in) {
  if (in.remaining_bytes() == 0) return false;
  const auto offset = in.ConsumeIntegralInRange<std::uint32_t>(0, size() - 1);
  if (in.ConsumeBool()) {
    // A long run of one byte: strings and texts longer than a page.
    const auto length = in.ConsumeIntegralInRange<std::uint32_t>(0, 3 * 4096);
    PutRun(base_ + offset, length, in.ConsumeIntegral<std::uint8_t>());
  } else {
    Put(base_ + offset, in.ConsumeRandomLengthString(512));
  }
  return true;
}

std::size_t Image::Clip(std::uint32_t address, std::size_t length, std::size_t* skipped,
                        std::size_t* offset) const {
  const std::uint64_t from = std::max<std::uint64_t>(address, base_);
  const std::uint64_t to =
      std::min<std::uint64_t>(std::uint64_t{address} + length, std::uint64_t{base_} + size());
  if (from >= to) return 0;
  *skipped = static_cast<std::size_t>(from - address);
  *offset = static_cast<std::size_t>(from - base_);
  return static_cast<std::size_t>(to - from);
}

void Image::Put(std::uint32_t address, const std::string& bytes) {
  std::size_t skipped = 0, offset = 0;
  const std::size_t n = Clip(address, bytes.size(), &skipped, &offset);
  if (n != 0) std::memcpy(bytes_.data() + offset, bytes.data() + skipped, n);
}

void Image::PutRun(std::uint32_t address, std::size_t length, std::uint8_t byte) {
  std::size_t skipped = 0, offset = 0;
  const std::size_t n = Clip(address, length, &skipped, &offset);
  if (n != 0) std::memset(bytes_.data() + offset, byte, n);
}

void Image::PutU32(std::uint32_t address, std::uint32_t value) {
  const char b[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                     static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  Put(address, std::string(b, 4));
}

void Image::Install() const {
  for (std::size_t p = 0; p < states_.size(); ++p) {
    if (states_[p] == PageState::kHole) continue;
    const auto at = static_cast<std::uint32_t>(base_ + p * 4096);
    quorvane::fake::Write(at, bytes_.data() + p * 4096, 4096);
    if (states_[p] != PageState::kReadable) quorvane::fake::SetReadable(at, 4096, false);
  }
}

bool Image::Readable(std::uint64_t address) const {
  if (address < base_ || address >= std::uint64_t{base_} + size()) return false;
  return states_[(address - base_) / 4096] == PageState::kReadable;
}

std::uint8_t Image::Byte(std::uint32_t address) const { return bytes_[address - base_]; }

bool Image::U32(std::uint64_t address, std::uint32_t* value) const {
  *value = 0;
  for (int i = 3; i >= 0; --i) {
    if (!Readable(address + static_cast<unsigned>(i))) return false;
    *value = *value << 8 | Byte(static_cast<std::uint32_t>(address + static_cast<unsigned>(i)));
  }
  return true;
}

void WatchReads() { quorvane::fake::SetReadObserver(OnRead); }
void ClearReads() { pages_read.clear(); }
const std::set<std::uint32_t>& PagesRead() { return pages_read; }

}  // namespace fuzz
