#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (sanitizers),
# the fuzz targets over their corpora and the end-to-end tests under Wine
# with both Lua runtimes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)
"$root/tools/build.sh" all
# The benchmarks are no tests, but they must go on building.
cmake --build "$root/build/win32" -j2 --target qv_bench qv_find_bench
# Wine takes the ANSI code page and the encoding of file names from the
# locale: the same one for every run (the code-page-932 tests set their own),
# with UTF-8 file names so non-ASCII paths work. glibc has C.UTF-8 built in.
export LC_ALL=C.UTF-8
"$root/tools/wine.sh" --prepare
ctest --test-dir "$root/build/native" -j2 --timeout 300 --output-on-failure
# Each fuzz target over its corpus: every input that ever found a fault.
"$root/tools/fuzz.sh" all 0
echo "build and native tests took $(( $(date +%s) - start )) s; now the Wine tests"
ctest --test-dir "$root/build/win32" --timeout 300 --output-on-failure
# The Wine programs run many cases each, and ctest shows their output only on
# failure: name the cases that were skipped, with each one's reason.
awk '/: Skipped$/ { getline reason; next }
     /^\[  SKIPPED \] [A-Za-z]/ && reason != "" { print "  " $4 ": " reason; reason = "" }' \
  "$root/build/win32/Testing/Temporary/LastTest.log" | sort -u |
  sed '1i skipped in the Wine runs, with the reason:'
