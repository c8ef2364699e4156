#!/usr/bin/env bash
# Installs what is missing, builds the Lua runtimes and the probe's x86
# decoder (Capstone) into the cache and
# configures and builds both trees: build/native (logic over the in-memory
# platform, sanitizers) and build/win32 (Quorvane.dll and its Wine programs).
# Each build says in one line that it starts; what it prints goes to
# build/logs/build-native.log and build-win32.log.
# Usage: tools/build.sh [native|win32|all] [cmake --build args...]
set -euo pipefail
. "$(dirname "$0")/common.sh"
which=${1:-all}
shift || true

"$qv_root/tools/install-deps.sh"
"$qv_root/tools/build-lua.sh" >/dev/null
"$qv_root/tools/build-capstone.sh" >/dev/null

if [ "$which" = native ] || [ "$which" = all ]; then
  qv_stage build-native "building the project: build/native"
  qv_run cmake -S "$qv_root" -B "$qv_root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUORVANE_LUA_CACHE="$qv_cache"
  qv_run cmake --build "$qv_root/build/native" -j2 "$@"
fi
if [ "$which" = win32 ] || [ "$which" = all ]; then
  qv_stage build-win32 "building the project: build/win32"
  qv_run qv_configure_win32 "$qv_root/build/win32"
  qv_run cmake --build "$qv_root/build/win32" -j2 "$@"
fi
