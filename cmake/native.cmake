# Native build: logic + fake platform + native Lua, all with sanitizers.
set(SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_compile_options(-g ${SANITIZE})
add_link_options(${SANITIZE})

add_library(lua_native STATIC ${LUA_CORE_SOURCES})
target_include_directories(lua_native SYSTEM PUBLIC ${LUA_SOURCE_DIR})
target_compile_definitions(lua_native PRIVATE LUA_USE_POSIX)
# Lua 5.1 itself has signed overflows UBSan would stop on; the module is
# what is checked here.
target_compile_options(lua_native PRIVATE -w -fno-sanitize=undefined)

add_library(quorvane_fake STATIC
  ${QUORVANE_LOGIC_SOURCES}
  ${QUORVANE_FINDER_SOURCES}
  ${CMAKE_SOURCE_DIR}/config/hex_notes.cpp
  ${CMAKE_SOURCE_DIR}/platform/fake_platform.cpp)
target_include_directories(quorvane_fake PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(quorvane_fake PUBLIC lua_native)
target_compile_options(quorvane_fake PRIVATE ${QUORVANE_WARNINGS} -Werror)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests/native)
