#include "campaign.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace qv_faults {

namespace {

std::uint64_t g_seed = 0;
std::string g_scratch;

// Text a wide text may turn into: up to 1,048,576 UTF-16 units, each at most
// two bytes in a double-byte ANSI code page.
constexpr std::uint32_t kTextBytes = 2u * 1048576u;
constexpr std::uint32_t kStringBytes = 1048576u;

using K = Kind;
const std::vector<ExpectedField> kFileAt0 = {{"file", K::kString, kStringBytes}};
const std::vector<ExpectedField> kTextLayout = {
    {"type", K::kU8, 0},       {"autoadjust", K::kU8, 0}, {"soft", K::kU8, 0},
    {"monospace", K::kU8, 0},  {"align", K::kU8, 0},      {"spacing_x", K::kI8, 0},
    {"spacing_y", K::kI8, 0},  {"precision", K::kU8, 0},  {"color", K::kColour, 0},
    {"color2", K::kColour, 0}, {"font", K::kString, 32},  {"text", K::kText, kTextBytes}};
const std::vector<ExpectedField> kFigure = {
    {"type", K::kU32, 0}, {"color", K::kColour, 0}, {"name", K::kString, kStringBytes}};
const std::vector<ExpectedField> kEmpty = {};
const std::vector<ExpectedField> kVideo = {
    {"file", K::kString, 280}, {"type", K::kI16, 0},  {"mode", K::kI16, 0},
    {"res_w", K::kI16, 0},     {"res_h", K::kI16, 0}, {"pad_w", K::kI16, 0},
    {"pad_h", K::kI16, 0},     {"color", K::kColour, 0}, {"sample_n", K::kI32, 0},
    {"mirror", K::kU8, 0}};
const std::vector<ExpectedField> kScene = {{"scene_id", K::kI32, 0}};
const std::vector<ExpectedField> kBlend = {{"blend", K::kI32, 0}};
const std::vector<ExpectedField> kFilter = {
    {"type", K::kI16, 0}, {"filter", K::kI16, 0}, {"name", K::kString, 256},
    {"param", K::kString, kStringBytes}};

const std::map<std::int32_t, const std::vector<ExpectedField>*>& Layouts() {
  static const std::map<std::int32_t, const std::vector<ExpectedField>*> layouts = {
      {0, &kFileAt0}, {1, &kFileAt0}, {2, &kFileAt0}, {3, &kTextLayout}, {4, &kFigure},
      {5, &kEmpty},   {6, &kVideo},   {7, &kScene},   {8, &kEmpty},      {9, &kEmpty},
      {10, &kBlend},  {11, &kBlend},  {12, &kEmpty},  {13, &kBlend},     {80, &kFilter}};
  return layouts;
}

bool InRange(Kind kind, double n) {
  if (n != std::floor(n)) return false;
  switch (kind) {
    case K::kU8: return n >= 0 && n <= 255;
    case K::kI8: return n >= -128 && n <= 127;
    case K::kI16: return n >= -32768 && n <= 32767;
    case K::kI32: return n >= -2147483648.0 && n <= 2147483647.0;
    case K::kU32: return n >= 0 && n <= 4294967295.0;
    case K::kColour: return n >= 0 && n <= 16777215;
    case K::kString:
    case K::kText: break;
  }
  return false;
}

// Copies the value at `index` into *out. Nothing with a destructor lives in
// this frame while it calls into Lua.
void CopyValue(lua_State* L, int index, Value* out, int depth) {
  out->type = lua_type(L, index);
  switch (out->type) {
    case LUA_TNUMBER:
      out->number = lua_tonumber(L, index);
      break;
    case LUA_TSTRING: {
      size_t length = 0;
      const char* s = lua_tolstring(L, index, &length);
      out->str.assign(s, length);
      break;
    }
    case LUA_TTABLE: {
      if (depth > 0) break;
      const int table = index > 0 ? index : lua_gettop(L) + index + 1;
      lua_pushnil(L);
      while (lua_next(L, table) != 0) {
        if (lua_type(L, -2) == LUA_TSTRING) {
          size_t length = 0;
          const char* key = lua_tolstring(L, -2, &length);
          out->fields.emplace_back();
          out->fields.back().first.assign(key, length);
          CopyValue(L, -1, &out->fields.back().second, depth + 1);
        } else {
          ++out->other_keys;
        }
        lua_pop(L, 1);
      }
      std::sort(out->fields.begin(), out->fields.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      break;
    }
    default:
      break;
  }
}

void PushArg(lua_State* L, const Arg& a) {
  static const char* const kFieldNames[4] = {"ModuleAddress", "ObjectAddressList",
                                             "ObjectDataOffset", "TextBufferAddress"};
  switch (a.type) {
    case Arg::kNumber:
      lua_pushnumber(L, a.number);
      break;
    case Arg::kString:
      lua_pushlstring(L, a.str.data(), a.str.size());
      break;
    case Arg::kAddressTable:
      lua_createtable(L, 0, 4);
      for (int i = 0; i < 4; ++i) {
        lua_pushnumber(L, a.fields[i]);
        lua_setfield(L, -2, kFieldNames[i]);
      }
      break;
  }
}

bool ArgIntact(lua_State* L, int index, const Arg& a, const void* table) {
  switch (a.type) {
    case Arg::kNumber: {
      if (lua_type(L, index) != LUA_TNUMBER) return false;
      const double n = lua_tonumber(L, index);
      return std::memcmp(&n, &a.number, sizeof n) == 0;
    }
    case Arg::kString: {
      if (lua_type(L, index) != LUA_TSTRING) return false;
      size_t length = 0;
      const char* s = lua_tolstring(L, index, &length);
      return length == a.str.size() && std::memcmp(s, a.str.data(), length) == 0;
    }
    case Arg::kAddressTable:
      return lua_type(L, index) == LUA_TTABLE && lua_topointer(L, index) == table;
  }
  return false;
}

constexpr int kMaxArgs = 8;

struct DirectCall {
  lua_CFunction fn;
  const std::vector<Arg>* args;
  Outcome* out;
};

// Runs in lua_cpcall: the arguments become the whole stack, the module's
// function is called as Lua would call it, and what it leaves is recorded.
int RunDirect(lua_State* L) {
  const DirectCall* call = static_cast<const DirectCall*>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  const int nargs = static_cast<int>(call->args->size());
  const void* tables[kMaxArgs] = {};
  for (int i = 0; i < nargs; ++i) {
    PushArg(L, (*call->args)[static_cast<size_t>(i)]);
    tables[i] = lua_topointer(L, -1);
  }
  // A function called by Lua finds LUA_MINSTACK free slots; so does this one.
  lua_checkstack(L, LUA_MINSTACK);
  Outcome* out = call->out;
  out->returned = call->fn(L);
  const int top = lua_gettop(L);
  out->left_over = top - nargs - out->returned;
  for (int i = 0; i < nargs; ++i) {
    if (i >= top || !ArgIntact(L, i + 1, (*call->args)[static_cast<size_t>(i)], tables[i])) {
      out->args_intact = false;
    }
  }
  if (out->returned >= 0 && out->returned <= top) {
    out->results.resize(static_cast<size_t>(out->returned));
    for (int i = 0; i < out->returned; ++i) {
      CopyValue(L, top - out->returned + 1 + i, &out->results[static_cast<size_t>(i)], 0);
    }
  }
  return 0;
}

std::string NumberText(double n) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.17g", n);
  return buf;
}

}  // namespace

// ------------------------------------------------------------------ the run

std::uint64_t RunSeed() { return g_seed; }
void SetRunSeed(std::uint64_t seed) { g_seed = seed; }

std::mt19937_64 TestRng(const char* test_name) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (const char* p = test_name; *p != '\0'; ++p) {
    h ^= static_cast<unsigned char>(*p);
    h *= 1099511628211ull;
  }
  std::seed_seq seq{static_cast<std::uint32_t>(g_seed), static_cast<std::uint32_t>(g_seed >> 32),
                    static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(h >> 32)};
  return std::mt19937_64(seq);
}

const std::string& ScratchDir() { return g_scratch; }
void SetScratchDir(const std::string& dir) { g_scratch = dir; }

// ------------------------------------------------------------------ layouts

const std::vector<ExpectedField>* FieldsOf(std::int32_t type_index) {
  const auto found = Layouts().find(type_index);
  return found == Layouts().end() ? nullptr : found->second;
}

const std::vector<std::int32_t>& TypesWithLayout() {
  static const std::vector<std::int32_t> types = [] {
    std::vector<std::int32_t> t;
    for (const auto& entry : Layouts()) t.push_back(entry.first);
    return t;
  }();
  return types;
}

// ------------------------------------------------------------------ calls

Arg Arg::Number(double n) {
  Arg a;
  a.type = kNumber;
  a.number = n;
  return a;
}

Arg Arg::String(std::string s) {
  Arg a;
  a.type = kString;
  a.str = std::move(s);
  return a;
}

Arg Arg::Table(double module, double list, double data, double text) {
  Arg a;
  a.type = kAddressTable;
  a.fields[0] = module;
  a.fields[1] = list;
  a.fields[2] = data;
  a.fields[3] = text;
  return a;
}

bool operator==(const Value& a, const Value& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case LUA_TNUMBER: return a.number == b.number;
    case LUA_TSTRING: return a.str == b.str;
    case LUA_TTABLE: return a.fields == b.fields && a.other_keys == b.other_keys;
    default: return true;
  }
}

std::string Describe(const Value& v) {
  switch (v.type) {
    case LUA_TNIL: return "nil";
    case LUA_TNUMBER: return NumberText(v.number);
    case LUA_TSTRING: {
      std::string out = "\"";
      for (size_t i = 0; i < v.str.size() && i < 60; ++i) {
        const unsigned char c = static_cast<unsigned char>(v.str[i]);
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
      }
      if (v.str.size() > 60) out += "...(" + std::to_string(v.str.size()) + " bytes)";
      return out + "\"";
    }
    case LUA_TTABLE: {
      std::string out = "{";
      for (size_t i = 0; i < v.fields.size(); ++i) {
        if (i > 0) out += ", ";
        out += v.fields[i].first + "=" + Describe(v.fields[i].second);
      }
      if (v.other_keys > 0) out += " +" + std::to_string(v.other_keys) + " other keys";
      return out + "}";
    }
    default:
      return "<Lua type " + std::to_string(v.type) + ">";
  }
}

std::string Describe(const Outcome& o) {
  if (o.raised) return "raised: " + o.error;
  std::string out = "returned " + std::to_string(o.returned) + ", left over " +
                    std::to_string(o.left_over) + (o.args_intact ? "" : ", arguments changed") + ":";
  for (const Value& v : o.results) out += " " + Describe(v);
  return out;
}

LuaSession::LuaSession() {
  L_ = luaL_newstate();
  if (L_ == nullptr) {
    open_error_ = "luaL_newstate failed";
    return;
  }
  luaL_openlibs(L_);
  if (luaL_dostring(L_, "Q = require 'Quorvane'") != 0) {
    const char* message = lua_tostring(L_, -1);
    open_error_ = message != nullptr ? message : "require failed";
  }
  lua_settop(L_, 0);
}

LuaSession::~LuaSession() {
  if (L_ != nullptr) lua_close(L_);
}

Outcome LuaSession::Call(const char* name, const std::vector<Arg>& args) {
  Outcome out;
  if (args.size() > static_cast<size_t>(kMaxArgs)) {
    out.raised = true;
    out.error = "too many arguments for a direct call";
    return out;
  }
  lua_getglobal(L_, "Q");
  lua_getfield(L_, -1, name);
  const lua_CFunction fn = lua_tocfunction(L_, -1);
  lua_settop(L_, 0);
  if (fn == nullptr) {
    out.raised = true;
    out.error = std::string("Q.") + name + " is not a C function";
    return out;
  }
  DirectCall call{fn, &args, &out};
  if (lua_cpcall(L_, RunDirect, &call) != 0) {
    out.raised = true;
    const char* message = lua_tostring(L_, -1);
    out.error = message != nullptr ? message : "(error object is not a string)";
  }
  lua_settop(L_, 0);
  return out;
}

// ------------------------------------------------------------------ checks

std::string LayoutProblem(const Value& v, std::int32_t type_index) {
  const std::vector<ExpectedField>* expected = FieldsOf(type_index);
  if (expected == nullptr) return "a value for type index " + std::to_string(type_index) + ", which has no layout";
  if (v.type != LUA_TTABLE) return "not a table: " + Describe(v);
  std::string problems;
  if (v.other_keys != 0) problems += "keys that are not strings; ";
  if (v.fields.size() != expected->size()) {
    problems += std::to_string(v.fields.size()) + " fields instead of " +
                std::to_string(expected->size()) + "; ";
  }
  for (const ExpectedField& f : *expected) {
    const auto found = std::find_if(v.fields.begin(), v.fields.end(),
                                    [&](const auto& field) { return field.first == f.name; });
    if (found == v.fields.end()) {
      problems += std::string("no \"") + f.name + "\"; ";
      continue;
    }
    const Value& value = found->second;
    if (f.kind == K::kString || f.kind == K::kText) {
      if (value.type != LUA_TSTRING) {
        problems += std::string("\"") + f.name + "\" is not a string; ";
      } else if (value.str.find('\0') != std::string::npos) {
        problems += std::string("\"") + f.name + "\" holds a NUL byte; ";
      } else if (value.str.size() > f.max_bytes) {
        problems += std::string("\"") + f.name + "\" is longer than " + std::to_string(f.max_bytes) + " bytes; ";
      }
    } else if (value.type != LUA_TNUMBER || !InRange(f.kind, value.number)) {
      problems += std::string("\"") + f.name + "\" = " + Describe(value) + " is out of its range; ";
    }
  }
  if (!problems.empty()) problems += "in " + Describe(v);
  return problems;
}

std::string StackProblem(const Outcome& o) {
  if (o.raised) return "raised an error: " + o.error;
  if (o.returned != 0 && o.returned != 1) return "returned " + std::to_string(o.returned) + " values";
  if (o.left_over != 0) return "left " + std::to_string(o.left_over) + " extra values on the stack";
  if (!o.args_intact) return "changed its arguments on the stack";
  return "";
}

// ------------------------------------------------------------------ memory

Blocks::~Blocks() {
  for (void* b : blocks_) qvf_free_pages(b);
}

std::uint8_t* Blocks::Pages(std::uint32_t size, std::uint32_t protect) {
  void* p = qvf_alloc_pages(size, protect);
  if (p != nullptr) blocks_.push_back(p);
  return static_cast<std::uint8_t*>(p);
}

std::uint8_t* Blocks::Fenced(std::uint32_t size, std::uint32_t fence) {
  void* block = nullptr;
  void* p = qvf_alloc_fenced(size, fence, &block);
  if (block != nullptr) blocks_.push_back(block);
  return static_cast<std::uint8_t*>(p);
}

std::uint32_t Blocks::Freed() {
  // Decommitted but still reserved, so that nothing else is put there.
  void* p = VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) return 0;
  blocks_.push_back(p);
  std::memset(p, 0x5A, 65536);
  if (!VirtualFree(p, 65536, MEM_DECOMMIT)) return 0;
  return Addr(p);
}

bool IsGuardPage(std::uint32_t address) {
  return (qvf_page_protect(Ptr(address)) & PAGE_GUARD) != 0;
}

}  // namespace qv_faults
