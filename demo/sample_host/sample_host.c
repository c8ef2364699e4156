/*
 * sample_host.exe: a small program that embeds Lua 5.1 the way the host
 * application does. It loads its own module, sample_app.dll, into the
 * process and runs user scripts in a Lua state of the lua51.dll beside it,
 * with Lua's search paths set to its own folder, so that a script finds
 * Quorvane.dll there with require "Quorvane".
 *
 *   sample_host.exe SCRIPT [ARGS...]
 *       Runs SCRIPT. Like the stand-alone interpreter it sets the global
 *       table arg (arg[0] the script, arg[1..] ARGS) and passes ARGS to the
 *       script as "...". arg[0] is the script's full path, so a script can
 *       find the files beside it. A Lua error goes to stderr with a
 *       traceback, and the exit code is 1.
 *
 *   sample_host.exe --serve SECONDS
 *       Loads sample_app.dll, prints "pid <process id>" on a line of its own
 *       and waits SECONDS seconds (or until it is ended), for tools that look
 *       at the process from outside.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

#define HOST_MODULE "sample_app.dll"

/* This program's folder, ending in a backslash. */
static char g_dir[MAX_PATH];

typedef struct ScriptRun {
  const char *exe;
  const char *script; /* full path */
  int argc;           /* ARGS */
  char **argv;
} ScriptRun;

static int find_own_folder(void) {
  DWORD n = GetModuleFileNameA(NULL, g_dir, (DWORD)sizeof g_dir);
  char *slash;
  if (n == 0 || n >= sizeof g_dir) return 0;
  slash = strrchr(g_dir, '\\');
  if (slash == NULL) return 0;
  slash[1] = '\0';
  return 1;
}

static int load_host_module(void) {
  char path[MAX_PATH];
  if (snprintf(path, sizeof path, "%s%s", g_dir, HOST_MODULE) >= (int)sizeof path) return 0;
  if (LoadLibraryA(path) == NULL) {
    fprintf(stderr, "sample_host: cannot load %s (error %lu)\n", path,
            (unsigned long)GetLastError());
    return 0;
  }
  return 1;
}

/* Message handler for lua_pcall: appends a traceback to a string message. */
static int add_traceback(lua_State *L) {
  if (!lua_isstring(L, 1)) return 1;
  lua_getfield(L, LUA_GLOBALSINDEX, "debug");
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return 1;
  }
  lua_getfield(L, -1, "traceback");
  if (!lua_isfunction(L, -1)) {
    lua_pop(L, 2);
    return 1;
  }
  lua_pushvalue(L, 1);
  lua_pushinteger(L, 2);
  lua_call(L, 2, 1);
  return 1;
}

/* Runs under lua_cpcall, so that every error, including one while the state
 * is being set up, ends up in main's report. */
static int run_script(lua_State *L) {
  const ScriptRun *run = (const ScriptRun *)lua_touserdata(L, 1);
  int handler, i;

  luaL_openlibs(L);

  lua_getfield(L, LUA_GLOBALSINDEX, "package");
  lua_pushfstring(L, "%s?.lua;%s?\\init.lua", g_dir, g_dir);
  lua_setfield(L, -2, "path");
  lua_pushfstring(L, "%s?.dll", g_dir);
  lua_setfield(L, -2, "cpath");
  lua_pop(L, 1);

  lua_createtable(L, run->argc, 2);
  lua_pushstring(L, run->exe);
  lua_rawseti(L, -2, -1);
  lua_pushstring(L, run->script);
  lua_rawseti(L, -2, 0);
  for (i = 0; i < run->argc; i++) {
    lua_pushstring(L, run->argv[i]);
    lua_rawseti(L, -2, i + 1);
  }
  lua_setfield(L, LUA_GLOBALSINDEX, "arg");

  lua_pushcfunction(L, add_traceback);
  handler = lua_gettop(L);
  if (luaL_loadfile(L, run->script) != 0) lua_error(L);
  for (i = 0; i < run->argc; i++) lua_pushstring(L, run->argv[i]);
  if (lua_pcall(L, run->argc, 0, handler) != 0) lua_error(L);
  return 0;
}

static int script_mode(char *exe, char *script, int argc, char **argv) {
  char full[MAX_PATH];
  ScriptRun run;
  lua_State *L;
  int status;
  DWORD n = GetFullPathNameA(script, (DWORD)sizeof full, full, NULL);
  if (n == 0 || n >= sizeof full) {
    fprintf(stderr, "sample_host: bad script path %s\n", script);
    return 1;
  }
  run.exe = exe;
  run.script = full;
  run.argc = argc;
  run.argv = argv;

  L = luaL_newstate();
  if (L == NULL) {
    fprintf(stderr, "sample_host: cannot create a Lua state\n");
    return 1;
  }
  status = lua_cpcall(L, run_script, &run);
  fflush(stdout);
  if (status != 0) {
    const char *msg = lua_tostring(L, -1);
    fprintf(stderr, "sample_host: %s\n", msg != NULL ? msg : "(error object is not a string)");
  }
  lua_close(L);
  return status != 0 ? 1 : 0;
}

static int serve_mode(const char *seconds_text) {
  char *end;
  long seconds = strtol(seconds_text, &end, 10);
  if (*seconds_text == '\0' || *end != '\0' || seconds < 0) {
    fprintf(stderr, "sample_host: --serve needs a number of seconds, not \"%s\"\n", seconds_text);
    return 2;
  }
  printf("pid %lu\n", (unsigned long)GetCurrentProcessId());
  fflush(stdout);
  for (; seconds > 0; seconds--) Sleep(1000);
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2 || (strcmp(argv[1], "--serve") == 0 && argc != 3)) {
    fprintf(stderr,
            "usage: sample_host SCRIPT [ARGS...]\n"
            "       sample_host --serve SECONDS\n");
    return 2;
  }
  if (!find_own_folder()) {
    fprintf(stderr, "sample_host: cannot find the program's folder\n");
    return 1;
  }
  if (!load_host_module()) return 1;
  if (strcmp(argv[1], "--serve") == 0) return serve_mode(argv[2]);
  return script_mode(argv[0], argv[1], argc - 2, argv + 2);
}
