#!/usr/bin/env bash
# Builds qv_find_bench.exe and runs it under Wine against the sample host
# with a ballast of committed heap (1024 MiB unless --ballast=MIB is given):
# quorvane-probe's find against one bare ReadProcessMemory pass over the same
# memory. Arguments go to qv_find_bench.exe (--ballast=MIB, --runs=N).
# bench/README.md says what the figures mean.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$qv_root/tools/build.sh" win32 --target qv_find_bench
qv_say_if_emulated_figures
cd "$qv_root/build/win32/puc"
"$qv_root/tools/wine.sh" ../qv_find_bench.exe --host=sample_host.exe "$@"
