// The fuzz targets share one Lua state between inputs, so ResetLua must
// catch whatever an input leaves changed in it. Each case acts on the state
// as a faulty module function could, in a child process of its own: a change
// must stop the child with the check's message, a state only used (results
// and garbage left behind) must pass, input after input.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "fuzz_support.h"

namespace {

// What an input does with the state: a module call, a table, results left
// on the stack.
void Use(lua_State* L) {
  lua_getglobal(L, "Q");
  lua_getfield(L, -1, "GetAddress");
  lua_pushliteral(L, "C:\\missing.ini");
  lua_pcall(L, 1, LUA_MULTRET, 0);
  lua_newtable(L);
  lua_pushliteral(L, "garbage");
  lua_setfield(L, -2, "left");
}

void SetField(lua_State* L, const char* global, const char* field) {
  lua_getglobal(L, global);
  lua_insert(L, -2);
  lua_setfield(L, -2, field);
}

struct Case {
  const char* name;
  bool changes;
  void (*act)(lua_State* L);
};

const Case kCases[] = {
    {"used, results and garbage left behind", false, Use},
    {"a global set", true,
     [](lua_State* L) {
       lua_pushnumber(L, 1);
       lua_setglobal(L, "left");
     }},
    {"a module function replaced", true,
     [](lua_State* L) {
       lua_getglobal(L, "print");
       SetField(L, "Q", "GetAddress");
     }},
    {"a library function removed", true,
     [](lua_State* L) {
       lua_pushnil(L);
       SetField(L, "string", "format");
     }},
    {"a number changed", true,
     [](lua_State* L) {
       lua_pushnumber(L, 3);
       SetField(L, "math", "pi");
     }},
    {"a reference left in the registry", true,
     [](lua_State* L) {
       lua_newtable(L);
       luaL_ref(L, LUA_REGISTRYINDEX);
     }},
    {"a metatable given to the globals", true,
     [](lua_State* L) {
       lua_newtable(L);
       lua_setmetatable(L, LUA_GLOBALSINDEX);
     }},
    {"a field added to the strings' metatable", true,
     [](lua_State* L) {
       lua_pushliteral(L, "");
       lua_getmetatable(L, -1);
       lua_pushboolean(L, 1);
       lua_setfield(L, -2, "left");
     }},
    {"a module function's environment replaced", true,
     [](lua_State* L) {
       lua_getglobal(L, "Q");
       lua_getfield(L, -1, "GetObjectData");
       lua_newtable(L);
       lua_setfenv(L, -2);
     }},
    {"an upvalue changed", true,
     [](lua_State* L) {
       lua_getglobal(L, "ipairs");
       lua_getglobal(L, "print");
       lua_setupvalue(L, -2, 1);
     }},
};

// Runs the case in a child: three inputs that only use the state, then one
// that acts; gives what the child wrote and whether the check stopped it.
bool Stopped(const Case& c, std::string* output) {
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 2);
    close(out[0]);
    lua_State* L = fuzz::Lua();
    for (int i = 0; i < 3; ++i) {
      Use(L);
      fuzz::ResetLua(L);
    }
    c.act(L);
    fuzz::ResetLua(L);
    _exit(0);
  }
  close(out[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output->append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT &&
         output->find("the input left the Lua state changed") != std::string::npos;
}

}  // namespace

int main() {
  int failed = 0;
  for (const Case& c : kCases) {
    std::string output;
    const bool stopped = Stopped(c, &output);
    const bool ok = stopped == c.changes;
    std::printf("%s: %s, %s\n", ok ? "ok" : "FAILED", c.name, stopped ? "caught" : "passed");
    if (!ok || stopped) std::printf("%s\n", output.c_str());
    failed += ok ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}
