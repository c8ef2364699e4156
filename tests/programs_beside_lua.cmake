# A test of the win32 build's layout: every program in the build tree that
# loads lua51.dll has a lua51.dll beside it. Windows' loader ends a program
# whose DLL it cannot find before the program runs, and under Wine without a
# word (status 53): a user who starts such a program learns nothing.
#
#   cmake -DBUILD_DIR=DIR -DOBJDUMP=i686-w64-mingw32-objdump -P programs_beside_lua.cmake
file(GLOB_RECURSE programs ${BUILD_DIR}/*.exe)
list(FILTER programs EXCLUDE REGEX "/CMakeFiles/")
set(checked 0)
set(stranded)
foreach(program IN LISTS programs)
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${program} failed")
  endif()
  if(NOT headers MATCHES "DLL Name: [Ll][Uu][Aa]51\\.[Dd][Ll][Ll]")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  get_filename_component(dir ${program} DIRECTORY)
  if(NOT EXISTS ${dir}/lua51.dll)
    list(APPEND stranded ${program})
  endif()
endforeach()
if(stranded)
  list(JOIN stranded "\n  " listed)
  message(FATAL_ERROR "programs that load lua51.dll, with none beside them:\n  ${listed}")
endif()
message(STATUS "${checked} programs load lua51.dll, each with one beside it")
