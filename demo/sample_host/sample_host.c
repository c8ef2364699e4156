/*
 * sample_host.exe: a small program that embeds Lua 5.1 the way the host
 * application does. It loads its own module, sample_app.dll, into the
 * process and runs user scripts in a Lua state of the lua51.dll beside it,
 * with Lua's search paths set to its own folder, so that a script finds
 * Quorvane.dll there with require "Quorvane".
 *
 *   sample_host.exe [OPTIONS] SCRIPT [ARGS...]
 *       Runs SCRIPT. Like the stand-alone interpreter it sets the global
 *       table arg (arg[0] the script, arg[1..] ARGS) and passes ARGS to the
 *       script as "...". arg[0] is the script's full path, so a script can
 *       find the files beside it. A Lua error goes to stderr with a
 *       traceback, and the exit code is 1.
 *
 *   sample_host.exe [OPTIONS] --serve SECONDS
 *       Sets everything up, then prints "pid <process id>" on a line of its
 *       own and waits SECONDS seconds (or until it is ended), for tools that
 *       look at the process from outside.
 *
 * Once the module is loaded and the options applied, the module's idle work
 * (SampleAppIdle: its views read the current objects and the text buffer)
 * runs, and again once a second while the program serves.
 *
 * OPTIONS, applied before the script runs or the pid is printed:
 *   --app RELEASE         the release of the module to load: 1.4 (the
 *                         default) is sample_app.dll beside this program,
 *                         any other is sample-app-RELEASE\sample_app.dll
 *                         (1.5, 1.6, ...: demo/CMakeLists.txt lists them)
 *   --text MARKER         the current text object's text becomes MARKER, as
 *                         an edit in the application would leave it; and the
 *                         text a profile author looks for shows up where a
 *                         real host has it too: in the edit's undo copy of
 *                         the record, and in this program's own data (the
 *                         window title)
 *   --buffer-text MARKER  the text buffer holds MARKER
 *   --ballast MIB         MIB MiB of committed memory filled with
 *                         pseudo-random bytes, so that a scan of the process
 *                         has real memory to go through
 *   --list full|recent    how the module keeps its object list: full (the
 *                         default), or recent (build 1.4 only): the list
 *                         keeps the text object alone, and a "recently used"
 *                         array in the module's image leads to the same text
 *                         object and to zero-filled records of every other
 *                         type, a decoy that zeros alone would make win
 *   --exit-code CODE      with --serve, the code to exit with when the time
 *                         is up (259 is also STILL_ACTIVE, which a tool must
 *                         not take for a running process)
 *   --undo-copies all|text  (build 1.4) the module keeps an undo list in its
 *                         image, like its object list, with copies of the
 *                         records of every type (all: one marker alone cannot
 *                         tell the two lists apart) or of the text record alone
 *   --change-to TEXT      the current text object's text becomes TEXT when
 *                         told (--change-on), as an edit would leave it
 *   --change-copy-to TEXT the undo list's copy of the text record gets TEXT
 *                         instead, when told: a host that edits a copy
 *   --change-buffer-to TEXT  the text buffer holds TEXT when told
 *   --change-on stdin|event:NAME  told by a line on standard input, or by the
 *                         named event NAME being set (the program makes it)
 *   --traps               memory that a tool looking in from outside must
 *                         leave alone: a committed page with PAGE_GUARD (as
 *                         below a thread's stack) and a reserved region. With
 *                         --serve, their addresses follow the pid line, as
 *                         "guard 0x%08X" and "reserved 0x%08X"; and each time
 *                         the event named "quorvane-sample-host-<pid>" is
 *                         set, the host asks VirtualQuery about the guard
 *                         page and prints "guard page armed" or "guard page
 *                         disarmed" on a line of its own
 * Exit code 2 for bad arguments.
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

#define HOST_MODULE "sample_app.dll"

/* Characters of the texts at most, terminator included: as the module keeps
 * the text object's text and the text buffer. */
#define TITLE_CHARS 64
#define BUFFER_CHARS 512

/* This program's folder, ending in a backslash. */
static char g_dir[MAX_PATH];

/* The folder of --app's release under g_dir: "" or "sample-app-X\\". */
static char g_app_folder[64];

/* The module's idle work. */
typedef void (*IdleFunction)(void);
static IdleFunction g_idle;

/* The memory of --traps, or NULL. */
static void *g_guard_page;
static void *g_reserved;

/* The window title, as the application shows the text being edited. */
wchar_t g_window_title[TITLE_CHARS];

typedef struct Options {
  const char *app_folder; /* "" or a subfolder with a trailing backslash */
  const wchar_t *text;
  const wchar_t *buffer_text;
  unsigned long ballast_mib;
  int recent_list;
  unsigned long exit_code;
  const char *undo_copies;       /* "all", "text" or NULL */
  const wchar_t *change_to;      /* the live text's, or NULL */
  const wchar_t *change_copy_to; /* the undo copy's, or NULL */
  const wchar_t *change_buffer_to; /* the text buffer's, or NULL */
  const char *change_on;         /* "stdin", "event:NAME" or NULL */
  int traps;
  const char *serve; /* seconds, or NULL for script mode */
  int next;          /* argv index of SCRIPT */
} Options;

typedef int (*SetTextFunction)(const wchar_t *);

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

static HMODULE load_host_module(const char *folder) {
  char path[MAX_PATH];
  HMODULE module;
  if (snprintf(path, sizeof path, "%s%s%s", g_dir, folder, HOST_MODULE) >= (int)sizeof path) {
    return NULL;
  }
  module = LoadLibraryA(path);
  if (module == NULL) {
    fprintf(stderr, "sample_host: cannot load %s (error %lu)\n", path,
            (unsigned long)GetLastError());
  }
  return module;
}

static int usage(void) {
  fprintf(stderr,
          "usage: sample_host [OPTIONS] SCRIPT [ARGS...]\n"
          "       sample_host [OPTIONS] --serve SECONDS\n"
          "options: --app RELEASE  --text MARKER  --buffer-text MARKER  --ballast MIB\n"
          "         --list full|recent  --exit-code CODE\n"
          "         --undo-copies all|text  --change-to TEXT  --change-copy-to TEXT\n"
          "         --change-buffer-to TEXT  --change-on stdin|event:NAME\n"
          "         --traps\n");
  return 2;
}

/* The arguments as typed, in UTF-16, whatever the ANSI code page can hold. */
static wchar_t **wide_arguments(int argc) {
  int wide_argc = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &wide_argc);
  if (wide != NULL && wide_argc != argc) {
    LocalFree(wide);
    return NULL;
  }
  return wide;
}

/* The release of --app: 1.4, or one whose folder is here (a name of
 * letters, digits, dots and dashes). 0 after a message when there is none. */
static int choose_app(const char *release, Options *o) {
  static const char name_chars[] =
      "0123456789.-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const size_t n = strspn(release, name_chars);
  char path[MAX_PATH];
  if (strcmp(release, "1.4") == 0) {
    o->app_folder = "";
    return 1;
  }
  if (n > 0 && release[n] == '\0' && release[0] != '.' &&
      snprintf(g_app_folder, sizeof g_app_folder, "sample-app-%s\\", release) <
          (int)sizeof g_app_folder &&
      snprintf(path, sizeof path, "%s%s%s", g_dir, g_app_folder, HOST_MODULE) < (int)sizeof path &&
      GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
    o->app_folder = g_app_folder;
    return 1;
  }
  fprintf(stderr, "sample_host: --app takes 1.4 or a release with a folder sample-app-RELEASE "
                  "here, not %s\n", release);
  return 0;
}

static int parse_count(const char *text, unsigned long *out) {
  char *end;
  if (*text < '0' || *text > '9') return 0;
  *out = strtoul(text, &end, 10);
  return *end == '\0';
}

/* 1 when `text`, given with option `name`, has 1 to `limit` characters;
 * otherwise says so and gives 0. */
static int text_fits(const char *name, const wchar_t *text, size_t limit) {
  if (*text != 0 && wcslen(text) <= limit) return 1;
  fprintf(stderr, "sample_host: %s needs a text of 1 to %u characters\n", name, (unsigned)limit);
  return 0;
}

/* The options of the undo list and of a change when told; 0 after a
 * message for an unknown option or a wrong value. */
static int parse_change_option(const char *name, const char *value, const wchar_t *wide,
                               Options *o) {
  if (strcmp(name, "--undo-copies") == 0) {
    if (strcmp(value, "all") != 0 && strcmp(value, "text") != 0) {
      fprintf(stderr, "sample_host: --undo-copies takes all or text, not %s\n", value);
      return 0;
    }
    o->undo_copies = value;
  } else if (strcmp(name, "--change-to") == 0 || strcmp(name, "--change-copy-to") == 0 ||
             strcmp(name, "--change-buffer-to") == 0) {
    const int buffer = strcmp(name, "--change-buffer-to") == 0;
    const size_t limit = (buffer ? BUFFER_CHARS : TITLE_CHARS) - 1;
    if (!text_fits(name, wide, limit)) return 0;
    if (buffer) {
      o->change_buffer_to = wide;
    } else if (strcmp(name, "--change-to") == 0) {
      o->change_to = wide;
    } else {
      o->change_copy_to = wide;
    }
  } else if (strcmp(name, "--change-on") == 0) {
    if (strcmp(value, "stdin") != 0 && (strncmp(value, "event:", 6) != 0 || value[6] == '\0')) {
      fprintf(stderr, "sample_host: --change-on takes stdin or event:NAME, not %s\n", value);
      return 0;
    }
    o->change_on = value;
  } else {
    fprintf(stderr, "sample_host: unknown option %s\n", name);
    return 0;
  }
  return 1;
}

static int check_change_options(const Options *o) {
  const int change =
      o->change_to != NULL || o->change_copy_to != NULL || o->change_buffer_to != NULL;
  if (o->change_to != NULL && o->change_copy_to != NULL) {
    fprintf(stderr, "sample_host: --change-to and --change-copy-to exclude each other\n");
    return 0;
  }
  if (change != (o->change_on != NULL)) {
    fprintf(stderr, "sample_host: a change needs --change-on, and --change-on a change\n");
    return 0;
  }
  if (o->change_copy_to != NULL && o->undo_copies == NULL) {
    fprintf(stderr, "sample_host: --change-copy-to needs --undo-copies\n");
    return 0;
  }
  return 1;
}

/* Reads OPTIONS; 0 after a message when they are wrong. */
static int parse_options(int argc, char **argv, wchar_t **wide, Options *o) {
  int i = 1;
  memset(o, 0, sizeof *o);
  o->app_folder = "";
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    const char *name = argv[i];
    if (strcmp(name, "--serve") == 0) {
      if (i + 2 != argc) return 0;
      o->serve = argv[i + 1];
      o->next = argc;
      return 1;
    }
    if (strcmp(name, "--traps") == 0) {
      o->traps = 1;
      i--; /* takes no value */
      continue;
    }
    if (i + 1 == argc) {
      fprintf(stderr, "sample_host: %s needs a value\n", name);
      return 0;
    }
    if (strcmp(name, "--app") == 0) {
      if (!choose_app(argv[i + 1], o)) return 0;
    } else if (strcmp(name, "--text") == 0 || strcmp(name, "--buffer-text") == 0) {
      const wchar_t *text = wide[i + 1];
      const int is_text = strcmp(name, "--text") == 0;
      const size_t limit = (is_text ? TITLE_CHARS : BUFFER_CHARS) - 1;
      if (!text_fits(name, text, limit)) return 0;
      if (is_text) o->text = text; else o->buffer_text = text;
    } else if (strcmp(name, "--ballast") == 0) {
      if (!parse_count(argv[i + 1], &o->ballast_mib) || o->ballast_mib > 1800ul) {
        fprintf(stderr, "sample_host: --ballast takes MiB from 0 to 1800, not %s\n",
                argv[i + 1]);
        return 0;
      }
    } else if (strcmp(name, "--list") == 0) {
      if (strcmp(argv[i + 1], "full") != 0 && strcmp(argv[i + 1], "recent") != 0) {
        fprintf(stderr, "sample_host: --list takes full or recent, not %s\n", argv[i + 1]);
        return 0;
      }
      o->recent_list = strcmp(argv[i + 1], "recent") == 0;
    } else if (strcmp(name, "--exit-code") == 0) {
      if (!parse_count(argv[i + 1], &o->exit_code)) {
        fprintf(stderr, "sample_host: --exit-code takes a number, not %s\n", argv[i + 1]);
        return 0;
      }
    } else if (!parse_change_option(name, argv[i + 1], wide[i + 1], o)) {
      return 0;
    }
  }
  if (i == argc) return 0;
  o->next = i;
  return 1;
}

/* Hands the texts, and the shape of its object list, to the module. */
static int set_texts(HMODULE module, const Options *o) {
  struct {
    const char *option, *function;
    const wchar_t *text;
  } calls[2] = {{"--text", "SampleAppSetText", o->text},
                {"--buffer-text", "SampleAppSetBufferText", o->buffer_text}};
  int i;
  for (i = 0; i < 2; i++) {
    SetTextFunction set;
    if (calls[i].text == NULL) continue;
    set = (SetTextFunction)(void (*)(void))GetProcAddress(module, calls[i].function);
    if (set == NULL || !set(calls[i].text)) {
      fprintf(stderr, "sample_host: the module does not take the %s text (too long?)\n",
              calls[i].option);
      return 0;
    }
  }
  if (o->recent_list) {
    int (*use_recent)(void) =
        (int (*)(void))(void (*)(void))GetProcAddress(module, "SampleAppUseRecentArray");
    if (use_recent == NULL || !use_recent()) {
      fprintf(stderr, "sample_host: this build of the module has no \"recently used\" array\n");
      return 0;
    }
  }
  if (o->text != NULL) {
    /* The marker in another module's memory: this program's own data. */
    wcsncpy(g_window_title, o->text, TITLE_CHARS - 1);
  }
  return 1;
}

/* The changes made when told, in this order: the text's (the live
 * record's or the undo copy's) and the text buffer's, each by a function of
 * the module (none: no such change). The event tells (NULL: a line on
 * standard input). */
typedef struct Change {
  SetTextFunction set;
  wchar_t text[BUFFER_CHARS];
} Change;
static Change g_changes[2];
static HANDLE g_change_event;

static DWORD WINAPI change_when_told(LPVOID unused) {
  (void)unused;
  if (g_change_event != NULL) {
    if (WaitForSingleObject(g_change_event, INFINITE) != WAIT_OBJECT_0) return 1;
  } else {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD got = 0;
    while (c != '\n') {
      if (!ReadFile(in, &c, 1, &got, NULL) || got == 0) return 1; /* no line: no change */
    }
  }
  {
    int i, failed = 0;
    for (i = 0; i < 2; i++) {
      if (g_changes[i].set != NULL && !g_changes[i].set(g_changes[i].text)) failed = 1;
    }
    return (DWORD)failed;
  }
}

/* Keeps the undo copies, and starts waiting to be told to change. */
static int prepare_change(HMODULE module, const Options *o) {
  const struct {
    const wchar_t *text;
    const char *function;
  } wanted[2] = {
      {o->change_to != NULL ? o->change_to : o->change_copy_to,
       o->change_to != NULL ? "SampleAppSetText" : "SampleAppSetUndoCopyText"},
      {o->change_buffer_to, "SampleAppSetBufferText"},
  };
  HANDLE thread;
  int i;
  if (o->undo_copies != NULL) {
    typedef int (*KeepFunction)(int);
    KeepFunction keep =
        (KeepFunction)(void (*)(void))GetProcAddress(module, "SampleAppKeepUndoCopies");
    if (keep == NULL || !keep(strcmp(o->undo_copies, "all") == 0)) {
      fprintf(stderr, "sample_host: the module keeps no undo copies (build 1.4 does)\n");
      return 0;
    }
  }
  if (o->change_on == NULL) return 1;
  for (i = 0; i < 2; i++) {
    if (wanted[i].text == NULL) continue;
    g_changes[i].set =
        (SetTextFunction)(void (*)(void))GetProcAddress(module, wanted[i].function);
    if (g_changes[i].set == NULL) {
      fprintf(stderr, "sample_host: the module has no %s\n", wanted[i].function);
      return 0;
    }
    wcsncpy(g_changes[i].text, wanted[i].text, BUFFER_CHARS - 1);
  }
  if (strcmp(o->change_on, "stdin") != 0) {
    g_change_event = CreateEventA(NULL, TRUE, FALSE, o->change_on + 6);
    if (g_change_event == NULL) {
      fprintf(stderr, "sample_host: cannot make the event %s (error %lu)\n", o->change_on + 6,
              (unsigned long)GetLastError());
      return 0;
    }
  }
  thread = CreateThread(NULL, 0, change_when_told, NULL, 0, NULL);
  if (thread == NULL) {
    fprintf(stderr, "sample_host: cannot start a thread (error %lu)\n",
            (unsigned long)GetLastError());
    return 0;
  }
  CloseHandle(thread);
  return 1;
}

/* Finds the module's idle work and does it once. */
static int start_idle_work(HMODULE module) {
  g_idle = (IdleFunction)(void (*)(void))GetProcAddress(module, "SampleAppIdle");
  if (g_idle == NULL) {
    fprintf(stderr, "sample_host: the module has no SampleAppIdle\n");
    return 0;
  }
  g_idle();
  return 1;
}

/* Commits `mib` MiB in blocks of up to 16 MiB and fills them with a fixed
 * pseudo-random sequence that has no zero bytes. The blocks stay until the
 * process ends. */
static int lay_ballast(unsigned long mib) {
  uint32_t state = 0x9E3779B9u;
  unsigned long done = 0;
  while (done < mib) {
    const unsigned long take = mib - done < 16ul ? mib - done : 16ul;
    const SIZE_T size = (SIZE_T)take << 20;
    uint32_t *words = VirtualAlloc(NULL, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    SIZE_T i;
    if (words == NULL) {
      fprintf(stderr, "sample_host: cannot commit %lu MiB of ballast (error %lu after %lu MiB)\n",
              mib, (unsigned long)GetLastError(), done);
      return 0;
    }
    for (i = 0; i < size / 4; i++) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      words[i] = state | 0x01010101u;
    }
    done += take;
  }
  return 1;
}

/* The memory of --traps: a guard page, committed, and a reserved region
 * of 64 KiB. */
static int lay_traps(void) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  g_guard_page = VirtualAlloc(NULL, info.dwPageSize, MEM_RESERVE | MEM_COMMIT,
                              PAGE_READWRITE | PAGE_GUARD);
  g_reserved = VirtualAlloc(NULL, 65536, MEM_RESERVE, PAGE_READWRITE);
  if (g_guard_page == NULL || g_reserved == NULL) {
    fprintf(stderr, "sample_host: cannot lay the traps (error %lu)\n",
            (unsigned long)GetLastError());
    return 0;
  }
  return 1;
}

/* Whether the guard page is still one, as VirtualQuery says. */
static const char *guard_page_state(void) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(g_guard_page, &info, sizeof info) == 0) return "guard page unknown";
  return (info.Protect & PAGE_GUARD) != 0 ? "guard page armed" : "guard page disarmed";
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

static int serve_mode(const char *seconds_text, unsigned long exit_code) {
  char *end;
  long seconds = strtol(seconds_text, &end, 10);
  char event_name[64];
  HANDLE asked = NULL;
  if (*seconds_text == '\0' || *end != '\0' || seconds < 0) {
    fprintf(stderr, "sample_host: --serve needs a number of seconds, not \"%s\"\n", seconds_text);
    return 2;
  }
  if (g_guard_page != NULL) {
    /* Made before the pid line, so that it is there once the pid is known. */
    snprintf(event_name, sizeof event_name, "quorvane-sample-host-%lu",
             (unsigned long)GetCurrentProcessId());
    asked = CreateEventA(NULL, FALSE, FALSE, event_name);
  }
  printf("pid %lu\n", (unsigned long)GetCurrentProcessId());
  if (g_guard_page != NULL) {
    printf("guard 0x%08lX\nreserved 0x%08lX\n", (unsigned long)(uintptr_t)g_guard_page,
           (unsigned long)(uintptr_t)g_reserved);
  }
  fflush(stdout);
  for (; seconds > 0; seconds--) {
    g_idle();
    if (asked == NULL) {
      Sleep(1000);
    } else if (WaitForSingleObject(asked, 1000) == WAIT_OBJECT_0) {
      printf("%s\n", guard_page_state());
      fflush(stdout);
      seconds++; /* an answer takes no time off the serving */
    }
  }
  if (asked != NULL) CloseHandle(asked);
  return (int)exit_code;
}

int main(int argc, char **argv) {
  Options options;
  wchar_t **wide = wide_arguments(argc);
  HMODULE module;
  int ok;
  if (wide == NULL) {
    fprintf(stderr, "sample_host: cannot read the command line\n");
    return 1;
  }
  if (!find_own_folder()) {
    fprintf(stderr, "sample_host: cannot find the program's folder\n");
    return 1;
  }
  ok = parse_options(argc, argv, wide, &options) && check_change_options(&options);
  if (!ok) {
    LocalFree(wide);
    return usage();
  }
  module = load_host_module(options.app_folder);
  ok = module != NULL && set_texts(module, &options) && lay_ballast(options.ballast_mib) &&
       (!options.traps || lay_traps());
  ok = ok && prepare_change(module, &options) && start_idle_work(module);
  LocalFree(wide);
  if (!ok) return 1;
  if (options.serve != NULL) return serve_mode(options.serve, options.exit_code);
  return script_mode(argv[0], argv[options.next], argc - options.next - 1, argv + options.next + 1);
}
