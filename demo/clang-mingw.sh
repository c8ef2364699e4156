#!/bin/sh
# A compiler launcher (demo/CMakeLists.txt): compiles with clang for 32-bit
# MinGW where the build calls MinGW's gcc. $1 is clang, $2 that gcc, the
# rest its arguments, which clang takes as they are.
clang=$1
shift 2
exec "$clang" --target=i686-w64-windows-gnu "$@"
