# The PUC Lua 5.1.5 sources that tools/build-lua.sh puts in the cache: where
# they are, and the core library's files (no interpreter, compiler or dump).
set(QUORVANE_LUA_CACHE "$ENV{HOME}/.cache/quorvane" CACHE PATH
    "Directory filled by tools/build-lua.sh")
set(LUA_SOURCE_DIR "${QUORVANE_LUA_CACHE}/lua-5.1.5/src")
if(NOT EXISTS "${LUA_SOURCE_DIR}/lua.h")
  message(FATAL_ERROR "Lua sources not found in ${QUORVANE_LUA_CACHE}; run tools/build-lua.sh")
endif()
file(GLOB LUA_CORE_SOURCES ${LUA_SOURCE_DIR}/*.c)
list(FILTER LUA_CORE_SOURCES EXCLUDE REGEX "/(lua|luac|print)\\.c$")
