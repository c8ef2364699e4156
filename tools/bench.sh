#!/usr/bin/env bash
# Builds Quorvane.dll and the benchmark and runs it under Wine, once per Lua
# runtime (PUC Lua 5.1.5, then LuaJIT 2.1). Arguments go to qv_bench.exe
# (--runs=N, --calls=N, --address-calls=N, --run-ms=N). bench/README.md says
# what the figures mean.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" win32 --target qv_bench
export WINEDEBUG=-all
"$root/tools/wine-prefix.sh"
for rt in puc luajit; do
  (cd "$root/build/win32/$rt" && wine ./qv_bench.exe "$@")
done
# quorvane-probe's find against a bare pass over a 1 GiB host.
"$root/tools/bench-find.sh"
