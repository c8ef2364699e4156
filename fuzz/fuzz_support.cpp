#include "fuzz_support.h"

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

lua_State* NewLua() {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_pushcfunction(L, luaopen_Quorvane);
  lua_call(L, 0, 1);
  lua_setglobal(L, "Q");
  return L;
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
    Put(base_ + offset, std::string(length, static_cast<char>(in.ConsumeIntegral<std::uint8_t>())));
  } else {
    Put(base_ + offset, in.ConsumeRandomLengthString(512));
  }
  return true;
}

void Image::Put(std::uint32_t address, const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    if (at < base_ || at >= std::uint64_t{base_} + size()) continue;
    bytes_[at - base_] = static_cast<std::uint8_t>(bytes[i]);
  }
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
    // The fake maps a zero-filled page with its first byte; only runs of
    // other bytes need storing (byte by byte, they would cost most of a run).
    const std::uint8_t* page = bytes_.data() + p * 4096;
    quorvane::fake::Write(at, page, 1);
    for (std::uint32_t i = 1; i < 4096;) {
      if (page[i] == 0) {
        ++i;
        continue;
      }
      std::uint32_t end = i;
      while (end < 4096 && page[end] != 0) ++end;
      quorvane::fake::Write(at + i, page + i, end - i);
      i = end;
    }
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
