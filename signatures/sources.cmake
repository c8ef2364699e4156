# The signature core's sources, for every tree that builds them (the main
# one, through signatures/CMakeLists.txt, and fuzz/).
set(QUORVANE_SIGNATURE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/pe_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x86.cpp
  ${CMAKE_CURRENT_LIST_DIR}/code_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/data_flow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/references.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signature.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scanner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sign.cpp
  ${CMAKE_CURRENT_LIST_DIR}/match.cpp
  ${CMAKE_CURRENT_LIST_DIR}/judge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signature_file.cpp
)
