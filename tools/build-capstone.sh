#!/usr/bin/env bash
# Fetches the Capstone 4.0.2 source package from Debian, checks the upstream
# tarball against a pinned checksum and builds the x86 disassembler as a
# static library twice, into the cache outside the work tree:
#
#   $CACHE/capstone-4.0.2/win32/    i686 MinGW, for quorvane-probe.exe
#   $CACHE/capstone-4.0.2/native/   the build machine's, for the native tests
#                                   and the fuzz targets
#
# each with include/capstone/*.h and lib/libcapstone.a. x86 only, with
# instruction details (operands, displacement and immediate positions): no
# diet build, no reduced instruction set, no shared library, no tools.
# Prints the cache directory. Says in one line that the build starts, with
# its output in build/logs/capstone.log; quick and silent when both are
# already built.
set -euo pipefail

. "$(dirname "$0")/common.sh"
CACHE=$qv_cache
TAR=capstone_4.0.2.orig.tar.gz
SHA=7c81d798022f81e7507f1a60d6817f63aa76e489aa4e7055255f21a22f5e526a
DEST=$CACHE/capstone-4.0.2
STAMP=v1
toolchain=$qv_root/cmake/i686-w64-mingw32.cmake

if [ -f "$DEST/.done-$STAMP" ]; then echo "$CACHE"; exit 0; fi
qv_stage capstone "building Capstone 4.0.2 from Debian's capstone source package (into $CACHE)"
qv_fetch_source build-capstone capstone "$TAR" "$SHA"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$CACHE/src/$TAR" -C "$work"

build() {  # variant [cmake arguments...]
  local variant=$1
  shift
  rm -rf "${DEST:?}/$variant"
  qv_run cmake -S "$work/capstone-4.0.2" -B "$work/build-$variant" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEST/$variant" \
    -DCAPSTONE_ARCHITECTURE_DEFAULT=OFF -DCAPSTONE_X86_SUPPORT=ON \
    -DCAPSTONE_BUILD_SHARED=OFF -DCAPSTONE_BUILD_STATIC=ON \
    -DCAPSTONE_BUILD_TESTS=OFF -DCAPSTONE_BUILD_CSTOOL=OFF \
    -DCAPSTONE_BUILD_DIET=OFF -DCAPSTONE_X86_REDUCE=OFF "$@"
  qv_run cmake --build "$work/build-$variant" -j2
  qv_run cmake --install "$work/build-$variant"
}
# The probe's build: no build machine paths in the library.
build win32 -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_C_FLAGS="-ffile-prefix-map=$work=capstone"
build native -DCMAKE_POSITION_INDEPENDENT_CODE=ON
touch "$DEST/.done-$STAMP"
echo "$CACHE"
