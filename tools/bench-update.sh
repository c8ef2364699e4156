#!/usr/bin/env bash
# Builds qv_update_bench.exe and runs it under Wine against the sample host
# running the benchmark's module (SampleApp 1.7 with 32 MiB more code):
# quorvane-probe update against one bare read of that code, and sign.
# Arguments go to qv_update_bench.exe (--runs=N). bench/README.md says what
# the figures mean.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$qv_root/tools/build.sh" win32 --target qv_update_bench
qv_say_if_emulated_figures
cd "$qv_root/build/win32/puc"
"$qv_root/tools/wine.sh" ../qv_update_bench.exe --host=sample_host.exe \
  --probe=../quorvane-probe.exe --profile="$qv_root/demo/example-profile-1.7.ini" "$@"
