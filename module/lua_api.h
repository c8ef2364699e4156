// The Lua 5.1 C API, with C linkage for this C++ code.
#ifndef QUORVANE_MODULE_LUA_API_H
#define QUORVANE_MODULE_LUA_API_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#endif
