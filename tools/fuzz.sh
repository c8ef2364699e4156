#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang, ASan + UBSan, over the fake
# platform) in build/fuzz and runs them, one at a time.
# Usage: tools/fuzz.sh [TARGET|all] [SECONDS]
#   SECONDS 0 (the default): each input of the target's corpus once, as a
#   regression check. More: a fuzz run of that many seconds per target, new
#   inputs kept in build/fuzz/corpus/TARGET (the seeds in fuzz/corpus/TARGET
#   are read, never written), a fault's input in build/fuzz/artifacts/.
# Targets: get_address parse_hex profile_report records finder json section_name signatures
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
seconds=${2:-0}
build=$root/build/fuzz

"$root/tools/install-deps.sh"
cache=$("$root/tools/build-lua.sh")
"$root/tools/build-capstone.sh" >/dev/null
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_LUA_CACHE="$cache" >/dev/null
cmake --build "$build" -j2 >/dev/null

targets=$(sed -n 's/^# Targets: //p' "$0")
[ "$which" = all ] || targets=$which
# A small quarantine and no fill of new blocks: twice the executions, the
# same faults found.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:quarantine_size_mb=16:max_malloc_fill_size=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
if [ "$seconds" -eq 0 ]; then
  # The regression check is each target's CTest test (fuzz/CMakeLists.txt).
  filter=.
  [ "$which" = all ] || filter="^fuzz_$which\$"
  exec ctest --test-dir "$build" -R "$filter" --output-on-failure
fi
failed=()
for t in $targets; do
  exe=$build/fuzz_$t
  [ -x "$exe" ] || { echo "no fuzz target $t" >&2; exit 2; }
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  # One process, in the foreground: the machine is shared.
  mkdir -p "$build/corpus/$t" "$build/artifacts"
  echo "== $t: $seconds s"
  "$exe" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "$root/fuzz/corpus/$t" || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
