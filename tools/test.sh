#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (sanitizers),
# the fuzz targets over their corpora and the end-to-end tests under Wine
# with both Lua runtimes. Says each stage in one line as it starts; what the
# install and build stages print is kept in build/logs/.
set -euo pipefail
. "$(dirname "$0")/common.sh"
start=$(date +%s)
"$qv_root/tools/build.sh" all
# The benchmarks are no tests, but they must go on building.
qv_stage build-bench "building the benchmark programs"
qv_run cmake --build "$qv_root/build/win32" -j2 --target qv_bench qv_find_bench qv_update_bench
# Wine takes the ANSI code page and the encoding of file names from the
# locale: the same one for every run (each test sets its code page's own),
# with UTF-8 file names so non-ASCII paths work. glibc has C.UTF-8 built in.
export LC_ALL=C.UTF-8
"$qv_root/tools/wine.sh" --prepare
qv_say "running the native tests"
ctest --test-dir "$qv_root/build/native" -j2 --timeout 300 --output-on-failure
# Each fuzz target over its corpus: every input that ever found a fault.
qv_say "building the fuzz targets (build/fuzz) and running each over its corpus"
"$qv_root/tools/fuzz.sh" all 0
qv_say "running the Wine tests (the builds and the tests so far took $(( $(date +%s) - start )) s)"
ctest --test-dir "$qv_root/build/win32" --timeout 300 --output-on-failure
# The Wine programs run many cases each, and ctest shows their output only on
# failure: name the cases that were skipped, with each one's reason.
awk '/: Skipped$/ { getline reason; next }
     /^\[  SKIPPED \] [A-Za-z]/ && reason != "" { print "  " $4 ": " reason; reason = "" }' \
  "$qv_root/build/win32/Testing/Temporary/LastTest.log" | sort -u |
  sed '1i skipped in the Wine runs, with the reason:'
