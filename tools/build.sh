#!/usr/bin/env bash
# Installs what is missing, builds the Lua runtimes and the probe's x86
# decoder (Capstone) into the cache and
# configures and builds both trees: build/native (logic over the in-memory
# platform, sanitizers) and build/win32 (Quorvane.dll and its Wine programs).
# Usage: tools/build.sh [native|win32|all] [cmake --build args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
shift || true

"$root/tools/install-deps.sh"
cache=$("$root/tools/build-lua.sh")
"$root/tools/build-capstone.sh" >/dev/null

if [ "$which" = native ] || [ "$which" = all ]; then
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUORVANE_LUA_CACHE="$cache" >/dev/null
  cmake --build "$root/build/native" -j2 "$@"
fi
if [ "$which" = win32 ] || [ "$which" = all ]; then
  cmake -S "$root" -B "$root/build/win32" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DQUORVANE_LUA_CACHE="$cache" >/dev/null
  cmake --build "$root/build/win32" -j2 "$@"
fi
