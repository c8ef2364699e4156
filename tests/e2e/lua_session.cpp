#include "lua_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace qv_lua {

namespace {

// A value or argument of one plain kind: `member` set to `x`.
template <typename V, typename T>
V Make(typename V::Kind kind, T V::*member, T x) {
  V v;
  v.kind = kind;
  v.*member = std::move(x);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- values

const LuaValue* LuaValue::Field(const std::string& name) const {
  for (const auto& f : fields)
    if (f.first == name) return &f.second;
  return nullptr;
}

bool LuaValue::operator==(const LuaValue& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case kNil: return true;
    case kBoolean: return boolean == o.boolean;
    case kNumber: return number == o.number || (std::isnan(number) && std::isnan(o.number));
    case kString: return str == o.str;
    case kTable: return fields == o.fields && other_keys == o.other_keys;
    default: return true;
  }
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

namespace {
std::string QuoteString(const std::string& s) {
  std::string out = "\"";
  size_t shown = std::min<size_t>(s.size(), 80);
  bool printable = true;
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c > 0x7E) printable = false;
  }
  out += printable ? s.substr(0, shown) : "<" + Hex(s.substr(0, shown)) + ">";
  if (shown < s.size()) out += "...";
  out += "\"";
  if (s.size() > 80 || !printable) out += "(" + std::to_string(s.size()) + " bytes)";
  return out;
}

std::string NumberText(double n) {
  char buf[64];
  if (n == std::floor(n) && std::fabs(n) < 1e17)
    std::snprintf(buf, sizeof buf, "%.0f", n);
  else
    std::snprintf(buf, sizeof buf, "%.17g", n);
  return buf;
}
}  // namespace

std::string Describe(const LuaValue& v) {
  switch (v.kind) {
    case LuaValue::kNil: return "nil";
    case LuaValue::kBoolean: return v.boolean ? "true" : "false";
    case LuaValue::kNumber: return NumberText(v.number);
    case LuaValue::kString: return QuoteString(v.str);
    case LuaValue::kFunction: return "function";
    case LuaValue::kOther: return "<other>";
    case LuaValue::kTable: {
      std::string out = "{";
      for (size_t i = 0; i < v.fields.size(); ++i) {
        if (i) out += ", ";
        out += v.fields[i].first + "=" + Describe(v.fields[i].second);
      }
      if (v.other_keys) out += " +" + std::to_string(v.other_keys) + " other keys";
      return out + "}";
    }
  }
  return "?";
}

void PrintTo(const LuaValue& v, std::ostream* os) {
  *os << Describe(v);
}

LuaValue Nil() {
  return LuaValue();
}
LuaValue Bool(bool b) {
  return Make(LuaValue::kBoolean, &LuaValue::boolean, b);
}
LuaValue Num(double n) {
  return Make(LuaValue::kNumber, &LuaValue::number, n);
}
LuaValue Str(const std::string& s) {
  return Make(LuaValue::kString, &LuaValue::str, s);
}
LuaValue Table(std::vector<std::pair<std::string, LuaValue>> fields) {
  LuaValue v;
  v.kind = LuaValue::kTable;
  std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  v.fields = std::move(fields);
  return v;
}

LuaValue ToValue(lua_State* L, int index) {
  LuaValue v;
  switch (lua_type(L, index)) {
    case LUA_TNIL:
    case LUA_TNONE: break;
    case LUA_TBOOLEAN:
      v.kind = LuaValue::kBoolean;
      v.boolean = lua_toboolean(L, index) != 0;
      break;
    case LUA_TNUMBER:
      v.kind = LuaValue::kNumber;
      v.number = lua_tonumber(L, index);
      break;
    case LUA_TSTRING: {
      v.kind = LuaValue::kString;
      size_t len = 0;
      const char* s = lua_tolstring(L, index, &len);
      v.str.assign(s, len);
      break;
    }
    case LUA_TFUNCTION: v.kind = LuaValue::kFunction; break;
    case LUA_TTABLE: {
      v.kind = LuaValue::kTable;
      int t = index > 0 ? index : lua_gettop(L) + index + 1;
      lua_pushnil(L);
      while (lua_next(L, t) != 0) {
        if (lua_type(L, -2) == LUA_TSTRING) {
          size_t len = 0;
          const char* k = lua_tolstring(L, -2, &len);
          v.fields.emplace_back(std::string(k, len), ToValue(L, -1));
        } else {
          ++v.other_keys;
        }
        lua_pop(L, 1);
      }
      std::sort(v.fields.begin(), v.fields.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      break;
    }
    default: v.kind = LuaValue::kOther; break;
  }
  return v;
}

// ---------------------------------------------------------------- arguments

Arg ArgNil() {
  return Arg();
}
Arg ArgNum(double n) {
  return Make(Arg::kNumber, &Arg::number, n);
}
Arg ArgStr(const std::string& s) {
  return Make(Arg::kString, &Arg::str, s);
}
Arg ArgBool(bool b) {
  return Make(Arg::kBoolean, &Arg::boolean, b);
}
Arg ArgTable(std::vector<std::pair<std::string, Arg>> fields) {
  Arg a;
  a.kind = Arg::kTable;
  a.fields = std::move(fields);
  return a;
}

Arg AddressTable(double module, double list, double data, double text) {
  return ArgTable({{"ModuleAddress", ArgNum(module)},
                   {"ObjectAddressList", ArgNum(list)},
                   {"ObjectDataOffset", ArgNum(data)},
                   {"TextBufferAddress", ArgNum(text)}});
}

Arg WithField(Arg table, const std::string& name, Arg value) {
  auto& f = table.fields;
  f.erase(std::remove_if(f.begin(), f.end(), [&](const auto& p) { return p.first == name; }), f.end());
  if (value.kind != Arg::kNil) f.emplace_back(name, std::move(value));
  return table;
}

// ---------------------------------------------------------------- outcome

std::string Describe(const Outcome& o) {
  std::ostringstream s;
  if (!o.ok) {
    s << "error: " << o.error;
    return s.str();
  }
  s << o.values.size() << " value(s)";
  for (const auto& v : o.values) s << " " << Describe(v);
  if (o.returned != static_cast<int>(o.values.size())) s << " [returned " << o.returned << "]";
  if (o.left_over) s << " [" << o.left_over << " value(s) left on the stack]";
  if (!o.args_intact) s << " [arguments changed]";
  if (!o.count_sane) s << " [returned count reaches into the arguments]";
  return s.str();
}
// ---------------------------------------------------------------- session

namespace {

struct DirectCall {
  lua_CFunction fn = nullptr;
  int nargs = 0;
  int returned = -1;
  int top_after = -1;
};

// Runs the function under test as if Lua had called it: its arguments are
// the whole stack. Everything it leaves goes back to the caller, so the
// caller can see the arguments, anything left over and the results.
int DirectTrampoline(lua_State* L) {
  DirectCall* call = static_cast<DirectCall*>(lua_touserdata(L, lua_upvalueindex(1)));
  call->nargs = lua_gettop(L);
  call->returned = call->fn(L);
  call->top_after = lua_gettop(L);
  return call->top_after;
}

// The error object on top of the stack as text.
void TakeError(lua_State* L, std::string* out) {
  if (lua_isstring(L, -1)) {
    size_t len = 0;
    const char* msg = lua_tolstring(L, -1, &len);
    out->assign(msg, len);
  } else {
    *out = "(error object is not a string)";
  }
}

// Whether the argument in slot `now` is still the one in slot `original`:
// numbers bit for bit (so -0 is not 0, and NaN is itself), other values by
// identity.
bool SameArgument(lua_State* L, int original, int now) {
  if (lua_type(L, original) != lua_type(L, now)) return false;
  if (lua_type(L, now) == LUA_TNUMBER) {
    const double a = lua_tonumber(L, original);
    const double b = lua_tonumber(L, now);
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
  return lua_rawequal(L, original, now) != 0;
}

}  // namespace

LuaSession::LuaSession(const SessionOptions& options) {
  L_ = luaL_newstate();
  if (L_ == nullptr) {
    open_error_ = "luaL_newstate failed";
    return;
  }
  luaL_openlibs(L_);
  for (const auto& g : options.globals) {
    lua_pushlstring(L_, g.second.data(), g.second.size());
    lua_setfield(L_, LUA_GLOBALSINDEX, g.first.c_str());
  }
  Outcome o = Run(options.prelude + "\nQ = require 'Quorvane'\nreturn type(Q)");
  if (!o.ok) {
    open_error_ = "require 'Quorvane' failed: " + o.error;
    return;
  }
  if (o.values.size() != 1 || o.values[0] != Str("table")) {
    open_error_ = "require 'Quorvane' gave " + Describe(o);
    return;
  }
  ready_ = true;
}

LuaSession::~LuaSession() {
  if (L_) lua_close(L_);
}

void LuaSession::Push(const Arg& a) {
  switch (a.kind) {
    case Arg::kNil: lua_pushnil(L_); break;
    case Arg::kNumber: lua_pushnumber(L_, a.number); break;
    case Arg::kString: lua_pushlstring(L_, a.str.data(), a.str.size()); break;
    case Arg::kBoolean: lua_pushboolean(L_, a.boolean ? 1 : 0); break;
    case Arg::kTable:
      lua_createtable(L_, 0, static_cast<int>(a.fields.size()));
      for (const auto& f : a.fields) {
        Push(f.second);
        lua_setfield(L_, -2, f.first.c_str());
      }
      break;
  }
}

void LuaSession::SetGlobal(const char* name, const Arg& value) {
  Push(value);
  lua_setfield(L_, LUA_GLOBALSINDEX, name);
}

Outcome LuaSession::Run(const std::string& chunk) {
  Outcome o;
  int base = lua_gettop(L_);
  int status = luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test");
  if (status == 0) status = lua_pcall(L_, 0, LUA_MULTRET, 0);
  if (status != 0) {
    o.ok = false;
    TakeError(L_, &o.error);
    lua_settop(L_, base);
    return o;
  }
  o.ok = true;
  int top = lua_gettop(L_);
  for (int i = base + 1; i <= top; ++i) o.values.push_back(ToValue(L_, i));
  o.returned = top - base;
  lua_settop(L_, base);
  return o;
}

Outcome LuaSession::Call(const char* name, const std::vector<Arg>& args) {
  lua_getfield(L_, LUA_GLOBALSINDEX, "Q");
  lua_getfield(L_, -1, name);
  lua_CFunction fn = lua_tocfunction(L_, -1);
  lua_pop(L_, 2);
  if (fn == nullptr) {
    Outcome o;
    o.error = std::string("Q.") + name + " is not a C function";
    return o;
  }
  return CallFunction(fn, args);
}

Outcome LuaSession::CallFunction(lua_CFunction fn, const std::vector<Arg>& args) {
  const int base = lua_gettop(L_);
  const int nargs = static_cast<int>(args.size());
  // The originals, the trampoline and the copies.
  if (!lua_checkstack(L_, 2 * nargs + 1)) {
    Outcome o;
    o.error = "no stack room for " + std::to_string(nargs) + " arguments";
    return o;
  }
  Outcome o;
  // The originals stay below, so the arguments can be compared afterwards.
  for (const Arg& a : args) Push(a);
  DirectCall call;
  call.fn = fn;
  lua_pushlightuserdata(L_, &call);
  lua_pushcclosure(L_, DirectTrampoline, 1);
  for (int i = 1; i <= nargs; ++i) lua_pushvalue(L_, base + i);
  int status = lua_pcall(L_, nargs, LUA_MULTRET, 0);
  if (status != 0) {
    TakeError(L_, &o.error);
    lua_settop(L_, base);
    return o;
  }
  o.ok = true;
  o.returned = call.returned;
  const int results_base = base + nargs;  // the trampoline's slot 1 lies at results_base + 1
  const int got = lua_gettop(L_) - results_base;
  for (int i = 1; i <= nargs && i <= got; ++i) {
    if (!SameArgument(L_, base + i, results_base + i)) o.args_intact = false;
  }
  if (got < nargs) o.args_intact = false;
  if (call.returned < 0 || call.returned > got - nargs) {
    o.count_sane = false;
  } else {
    o.left_over = got - nargs - call.returned;
    for (int i = got - call.returned + 1; i <= got; ++i) o.values.push_back(ToValue(L_, results_base + i));
  }
  lua_settop(L_, base);
  return o;
}

}  // namespace qv_lua
