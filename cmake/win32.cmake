# Win32 build: the product DLL and everything that runs it under Wine.
enable_language(ASM)
set(LUA_WIN32_DIR "${QUORVANE_LUA_CACHE}/win32")
# Import from PUC's lua51.dll; LuaJIT's has the same name and ABI.
set(LUA_IMPORT_DLL "${LUA_WIN32_DIR}/puc/lua51.dll")
set(QUORVANE_RUNTIMES puc luajit)

# No MinGW runtime DLLs on a user's machine: everything links statically, and
# nothing of the build machine's paths ends up in a binary.
add_compile_options(-O2 -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
add_link_options(-static -static-libgcc -static-libstdc++ -s -Wl,--no-insert-timestamp)

# Code placement, for the benchmark (tools/bench.sh builds several, each in a
# build folder of its own): bytes of padding linked ahead of the code of
# Quorvane.dll and qv_bench.exe, which moves all of it, and the function
# alignment of everything compiled here. The defaults are the shipped build.
set(QUORVANE_CODE_PAD 0 CACHE STRING "Bytes of code padding linked first (benchmark placements)")
set(QUORVANE_ALIGN_FUNCTIONS "" CACHE STRING
    "-falign-functions value; empty for the compiler's default (benchmark placements)")
if(QUORVANE_ALIGN_FUNCTIONS)
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-falign-functions=${QUORVANE_ALIGN_FUNCTIONS}>)
endif()
set(QUORVANE_CODE_PAD_SOURCE "")
if(QUORVANE_CODE_PAD GREATER 0)
  set(QUORVANE_CODE_PAD_SOURCE ${CMAKE_BINARY_DIR}/generated/code_pad.S)
  file(WRITE ${QUORVANE_CODE_PAD_SOURCE}
       "        .text\n        .space ${QUORVANE_CODE_PAD}, 0xCC\n")
endif()

add_library(lua51 INTERFACE)
target_include_directories(lua51 SYSTEM INTERFACE ${LUA_SOURCE_DIR})
target_link_libraries(lua51 INTERFACE ${LUA_IMPORT_DLL})

set(QUORVANE_WIN32_PLATFORM_SOURCES
  ${CMAKE_SOURCE_DIR}/platform/win32_system.cpp
  ${CMAKE_SOURCE_DIR}/platform/win32_local_process.cpp
  ${CMAKE_SOURCE_DIR}/platform/guarded_copy_i386.S)

add_library(Quorvane SHARED ${QUORVANE_CODE_PAD_SOURCE} ${QUORVANE_LOGIC_SOURCES} ${QUORVANE_WIN32_PLATFORM_SOURCES}
  ${CMAKE_SOURCE_DIR}/platform/win32_dll_entry.cpp
  ${CMAKE_SOURCE_DIR}/module/version.rc)
set_target_properties(Quorvane PROPERTIES PREFIX "" OUTPUT_NAME Quorvane
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(Quorvane PRIVATE ${CMAKE_SOURCE_DIR})
configure_file(${CMAKE_SOURCE_DIR}/module/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
# The resource compiler reports no header dependencies: a new version must
# still rebuild the version resource.
set_source_files_properties(${CMAKE_SOURCE_DIR}/module/version.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/version.h)
target_include_directories(Quorvane PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_compile_options(Quorvane PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QUORVANE_WARNINGS} -Werror -fno-exceptions -fno-rtti>)
target_link_libraries(Quorvane PRIVATE lua51)

# Each Lua runtime gets a folder laid out as a user's would be: the host's
# lua51.dll with Quorvane.dll and the programs that load it beside it.
foreach(rt IN LISTS QUORVANE_RUNTIMES)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/${rt})
  configure_file(${LUA_WIN32_DIR}/${rt}/lua51.dll ${CMAKE_BINARY_DIR}/${rt}/lua51.dll COPYONLY)
endforeach()

# Copies a built target into every runtime folder after each build. A
# program is linked straight into the first runtime folder: every program
# here loads lua51.dll, and one left where no lua51.dll lies beside it would
# end at once, silently (status 53, from the loader).
function(quorvane_stage target)
  set(runtimes ${QUORVANE_RUNTIMES})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    list(POP_FRONT runtimes first)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${first})
    # Where an older build linked it.
    file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  endif()
  foreach(rt IN LISTS runtimes)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/${rt}/
      VERBATIM)
  endforeach()
endfunction()
quorvane_stage(Quorvane)
add_test(NAME layout.programs_beside_lua51
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DOBJDUMP=${CMAKE_OBJDUMP}
          -P ${CMAKE_SOURCE_DIR}/tests/programs_beside_lua.cmake)

find_program(WINE_PROGRAM wine REQUIRED)

# Runs test `test` in ANSI code page `code_page` (1252 or 932), which Wine
# takes from LC_ALL, and tells the test program which one it is made for
# (QV_EXPECT_ACP, tests/expected_code_page.h): a run in another code page
# fails at its start rather than skip the cases written for its own.
function(quorvane_test_code_page test code_page)
  if(code_page EQUAL 1252)
    set(locale C.UTF-8)
  elseif(code_page EQUAL 932)
    set(locale ja_JP.UTF-8)
  else()
    message(FATAL_ERROR "no locale known for ANSI code page ${code_page}")
  endif()
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT LC_ALL=${locale} QV_EXPECT_ACP=${code_page})
endfunction()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(dir tests/e2e tests/faults demo bench probe tests/examples)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
