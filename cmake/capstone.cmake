# The Capstone x86 disassembler that tools/build-capstone.sh puts in the
# cache, as the imported target `capstone`: its i686 MinGW build for the win32
# tree, the build machine's for the native and fuzz trees.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(_qv_capstone_variant win32)
else()
  set(_qv_capstone_variant native)
endif()
set(CAPSTONE_DIR "${QUORVANE_LUA_CACHE}/capstone-4.0.2/${_qv_capstone_variant}")
if(NOT EXISTS "${CAPSTONE_DIR}/lib/libcapstone.a")
  message(FATAL_ERROR "Capstone not found in ${CAPSTONE_DIR}; run tools/build-capstone.sh")
endif()
if(NOT TARGET capstone)
  add_library(capstone STATIC IMPORTED)
  set_target_properties(capstone PROPERTIES
    IMPORTED_LOCATION "${CAPSTONE_DIR}/lib/libcapstone.a"
    INTERFACE_INCLUDE_DIRECTORIES "${CAPSTONE_DIR}/include")
endif()
