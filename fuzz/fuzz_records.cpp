// The record decoder and the host string and text runs over a host memory
// image that the input lays out: holes, readable pages, guard pages and
// no-access pages, with bytes anywhere. Every result is checked against a
// reading of the image byte by byte, and:
//  - no page is read that the byte-by-byte reading does not need (a guard
//    page past a terminator stays untouched);
//  - every string stops at its bound;
//  - the Lua stack is balanced: one value or none, nothing left behind.
#include <cstring>

#include "fuzz_support.h"
#include "platform/fake_platform.h"
#include "readers/host_strings.h"
#include "readers/layouts.h"
#include "readers/readers.h"

namespace {

using quorvane::FieldKind;

// Where the image lies: low in the address space, or at its very top, where
// a run that goes on would wrap.
constexpr std::uint32_t kPages = 8;
constexpr std::uint32_t kBases[] = {0x00010000u, 0u - kPages * 4096u};

// The byte-by-byte reading. `needed` collects the pages it looks at.
struct Reference {
  const fuzz::Image& image;
  std::set<std::uint32_t> needed;
  std::uint64_t last_needed = UINT64_MAX;  // one lookup a page, not one a byte

  void NeedPage(std::uint32_t page) {
    if (page == last_needed) return;
    needed.insert(page);
    last_needed = page;
  }
  bool Byte(std::uint64_t address, std::uint8_t* b) {
    // Past the top of the address space a run goes on at address 0, where
    // no platform lets anything be read (the first 64 KiB are never
    // mapped): a read there is harmless and comes to nothing.
    if (address > 0xFFFFFFFFu) {
      NeedPage(static_cast<std::uint32_t>((address - 0x100000000u) / 4096));
      return false;
    }
    NeedPage(static_cast<std::uint32_t>(address / 4096));
    if (!image.Readable(address)) return false;
    *b = image.Byte(static_cast<std::uint32_t>(address));
    return true;
  }
  // The module reads a few bytes that it needs all of in one go.
  void Need(std::uint64_t address, std::uint32_t size) {
    for (std::uint64_t a = address; a < address + size; ++a) {
      NeedPage(static_cast<std::uint32_t>((a & 0xFFFFFFFFu) / 4096));
    }
  }
  bool U32(std::uint64_t address, std::uint32_t* v) {
    Need(address, 4);
    std::uint8_t b[4];
    for (int i = 0; i < 4; ++i) {
      if (!Byte(address + static_cast<unsigned>(i), &b[i])) return false;
    }
    *v = static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
  }
  // A string (unit 1) or wide text (unit 2) as the module returns it: the
  // elements before the first zero one, within `bound` bytes; wide texts in
  // the fake ANSI code page (Latin-1, '?' above it).
  bool Run(std::uint32_t address, std::uint32_t unit, std::uint32_t bound, std::string* out) {
    out->clear();
    for (std::uint64_t i = 0; i + unit <= bound; i += unit) {
      std::uint8_t b[2] = {0, 0};
      Need(std::uint64_t{address} + i, unit);
      for (std::uint32_t k = 0; k < unit; ++k) {
        if (!Byte(std::uint64_t{address} + i + k, &b[k])) return false;
      }
      if (b[0] == 0 && (unit == 1 || b[1] == 0)) break;
      if (unit == 1) {
        *out += static_cast<char>(b[0]);
      } else {
        *out += b[1] == 0 ? static_cast<char>(b[0]) : '?';
      }
    }
    return true;
  }
};

double Number(FieldKind kind, const std::uint8_t* b) {
  const std::uint32_t u = static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
                          static_cast<std::uint32_t>(b[3]) << 24;
  switch (kind) {
    case FieldKind::kU8: return b[0];
    case FieldKind::kI8: return static_cast<std::int8_t>(b[0]);
    case FieldKind::kI16: return static_cast<std::int16_t>(b[0] | b[1] << 8);
    case FieldKind::kI32: return static_cast<std::int32_t>(u);
    case FieldKind::kU32: return u;
    case FieldKind::kColour: return ((u & 0xFF) << 16) | (u & 0xFF00) | ((u >> 16) & 0xFF);
    default: return 0;
  }
}

// Checks the table on top of the stack against the record's fields; false
// when the reference cannot read the record.
bool ExpectRecord(lua_State* L, Reference& ref, std::uint32_t record,
                  const quorvane::RecordLayout& layout, bool* readable) {
  *readable = true;
  if (layout.count == 0) return true;
  // Every byte of the record's span is needed: numbers, bounded strings, the
  // first element of a last one.
  ref.Need(std::uint64_t{record} + layout.copy_begin,
           static_cast<std::uint32_t>(layout.copy_end - layout.copy_begin));
  for (std::uint32_t i = layout.copy_begin; i < layout.copy_end; ++i) {
    std::uint8_t b;
    if (!ref.Byte(std::uint64_t{record} + i, &b)) {
      *readable = false;
      return true;
    }
  }
  std::vector<std::string> texts(layout.count);
  for (int i = 0; i < layout.count; ++i) {
    const quorvane::FieldSpec& f = layout.fields[i];
    const std::uint32_t unit = quorvane::TextUnit(f.kind);
    if (unit == 0) continue;
    const std::uint32_t bound = quorvane::TextBound(layout, i, quorvane::kMaxTextElements * unit);
    if (!ref.Run(record + f.offset, unit, bound, &texts[static_cast<std::size_t>(i)])) {
      *readable = false;
      return true;
    }
  }
  if (!lua_istable(L, -1)) return false;
  for (int i = 0; i < layout.count; ++i) {
    const quorvane::FieldSpec& f = layout.fields[i];
    lua_getfield(L, -1, f.name);
    if (quorvane::TextUnit(f.kind) != 0) {
      std::size_t n = 0;
      const char* s = lua_tolstring(L, -1, &n);
      FUZZ_CHECK(lua_type(L, -1) == LUA_TSTRING && std::string(s, n) == texts[static_cast<std::size_t>(i)], f.name);
    } else {
      std::uint8_t b[4] = {};
      for (int k = 0; k < quorvane::FieldWidth(f.kind); ++k) {
        ref.Byte(std::uint64_t{record} + f.offset + static_cast<unsigned>(k), &b[k]);
      }
      FUZZ_CHECK(lua_type(L, -1) == LUA_TNUMBER && lua_tonumber(L, -1) == Number(f.kind, b), f.name);
    }
    lua_pop(L, 1);
  }
  return true;
}

void CheckPagesRead(const Reference& ref, const std::string& call) {
  for (const std::uint32_t page : fuzz::PagesRead()) {
    FUZZ_CHECK(ref.needed.count(page) != 0,
               "page " + std::to_string(page) + " read without need by " + call);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint32_t base = kBases[in.ConsumeBool() ? 1 : 0];
  const int operation = in.ConsumeIntegralInRange(0, 5);
  // Addresses are taken relative to the image, so most land in it.
  const auto address = base + in.ConsumeIntegral<std::uint32_t>() % (kPages * 4096 + 64) - 32;
  const auto max_bytes = in.ConsumeIntegralInRange<std::uint32_t>(0, 3 * 4096);
  const std::int32_t type = quorvane::kTypesWithLayout[in.ConsumeIntegralInRange(0, quorvane::kTypesWithLayoutCount - 1)];
  const auto module = in.ConsumeIntegral<std::uint32_t>();
  // The list (or the text buffer's offset) puts the slot (or the text) at
  // `address`, or anywhere.
  const auto list = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                     : address - module - (operation == 5 ? 0 : 4u * static_cast<std::uint32_t>(type));
  const auto data_offset = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                            : in.ConsumeIntegralInRange<std::uint32_t>(0, 0x400);
  fuzz::Image image(base, kPages);
  image.TakeStates(in);
  // A chain into the image: slot -> structure, structure + offset -> record.
  const auto slot = static_cast<std::uint32_t>(module + list + 4u * static_cast<std::uint32_t>(type));
  const auto structure = base + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096);
  image.PutU32(slot, structure);
  image.PutU32(structure + data_offset, base + in.ConsumeIntegralInRange<std::uint32_t>(0, kPages * 4096));
  while (image.TakeWrite(in)) {
  }
  quorvane::fake::Reset();
  image.Install();
  fuzz::WatchReads();
  fuzz::ClearReads();

  lua_State* L = fuzz::Lua();
  const int top = lua_gettop(L);
  Reference ref{image, {}};
  switch (operation) {
    case 0:
    case 1: {  // a string or a wide text on its own
      const std::uint32_t unit = operation == 0 ? 1 : 2;
      const bool pushed = unit == 1 ? quorvane::PushHostString(L, address, max_bytes)
                                    : quorvane::PushHostWideText(L, address, max_bytes);
      std::string expected;
      const bool readable = ref.Run(address, unit, max_bytes, &expected);
      FUZZ_CHECK(pushed == readable, "");
      FUZZ_CHECK(lua_gettop(L) == top + (pushed ? 1 : 0), "");
      if (pushed) {
        std::size_t n = 0;
        const char* s = lua_tolstring(L, -1, &n);
        FUZZ_CHECK(std::string(s, n) == expected, "");
        FUZZ_CHECK(n <= max_bytes / unit, "past the bound");
      }
      break;
    }
    case 2: {  // a record on its own
      const quorvane::RecordLayout& layout = *quorvane::FindLayout(type);
      const bool pushed = quorvane::PushObjectRecord(L, address, layout);
      FUZZ_CHECK(lua_gettop(L) == top + 1, "a table, whole or half-filled");
      bool readable;
      FUZZ_CHECK(ExpectRecord(L, ref, address, layout, &readable), "");
      FUZZ_CHECK(pushed == readable, "");
      break;
    }
    case 3:
    case 4: {  // GetObjectData as a script calls it
      const int results = fuzz::CallModule(L, "GetObjectData",
                                           {{"ModuleAddress", module},
                                            {"ObjectAddressList", list},
                                            {"ObjectDataOffset", data_offset}},
                                           &type);
      FUZZ_CHECK(results == 0 || results == 1, "");
      std::uint32_t held = 0, record = 0;
      bool readable = false;
      if (module != 0 && list != 0 && data_offset != 0 && ref.U32(slot, &held) &&
          held != 0 && ref.U32(std::uint32_t{held + data_offset}, &record) &&
          record != 0) {
        FUZZ_CHECK(ExpectRecord(L, ref, record, *quorvane::FindLayout(type), &readable), "");
      }
      FUZZ_CHECK(results == (readable ? 1 : 0), "");
      break;
    }
    case 5: {  // GetTextbufferString
      const int results = fuzz::CallModule(
          L, "GetTextbufferString", {{"ModuleAddress", module}, {"TextBufferAddress", list}},
          nullptr);
      std::string expected;
      const bool readable = module != 0 && list != 0 &&
                            ref.Run(module + list, 2, quorvane::kMaxTextElements * 2, &expected);
      FUZZ_CHECK(results == (readable ? 1 : 0), "");
      if (readable) {
        std::size_t n = 0;
        const char* s = lua_tolstring(L, -1, &n);
        FUZZ_CHECK(std::string(s, n) == expected, "");
      }
      break;
    }
  }
  CheckPagesRead(ref, "operation " + std::to_string(operation) + " at " + std::to_string(address) +
                          " bound " + std::to_string(max_bytes) + " type " + std::to_string(type) +
                          " module " + std::to_string(module) + " list " + std::to_string(list) +
                          " offset " + std::to_string(data_offset));
  // Whatever an input allocates goes with it: libFuzzer runs an input
  // again, looking for a leak, when it leaves more allocated than it found.
  fuzz::ClearReads();
  fuzz::ResetLua(L);
  return 0;
}
