#!/usr/bin/env bash
# Builds Quorvane and the demo and runs demo/example.lua under Wine, once with
# PUC Lua 5.1.5 and once with LuaJIT 2.1 as the host's lua51.dll.
#
# On a fresh Debian 12 machine this installs the packages, builds both Lua
# runtimes and the win32 build (build/win32) first; when all of that is in
# place it only brings the build up to date and runs the demo.
#
# Extra arguments go to the script (the first one is an address profile to
# use instead of demo/example-profile.ini).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# QUORVANE_BUILD_DIR picks another build directory (default build/win32).
build=${QUORVANE_BUILD_DIR:-$root/build/win32}

"$root/tools/install-deps.sh"
cache=$("$root/tools/build-lua.sh" | tail -n 1)

# Configure when the build is missing, uses other Lua runtimes or predates
# the demo's targets.
if ! grep -qsx "QUORVANE_LUA_CACHE:PATH=$cache" "$build/CMakeCache.txt" ||
   ! grep -qs 'sample_host' "$build/build.ninja"; then
  echo "demo: configuring $build" >&2
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DQUORVANE_LUA_CACHE="$cache" >/dev/null
fi
if ! log=$(cmake --build "$build" -j2 --target Quorvane sample_app sample_host 2>&1); then
  printf '%s\n' "$log" >&2
  echo "demo: the build failed" >&2
  exit 1
fi

export WINEDEBUG=-all
"$root/tools/wine-prefix.sh"

# Run from the work tree, so that the script's path, which the host makes
# absolute, lies on Wine's drive for /.
cd "$root"
status=0
for rt in puc luajit; do
  case $rt in
    puc) title="PUC Lua 5.1.5" ;;
    luajit) title="LuaJIT 2.1" ;;
  esac
  echo "=== $title: sample_host.exe demo/example.lua"
  wine "$build/$rt/sample_host.exe" demo/example.lua "$@" || status=1
  echo
done
exit $status
