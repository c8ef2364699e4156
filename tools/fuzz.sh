#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang, ASan + UBSan, over the fake
# platform) in build/fuzz and runs them.
# Usage: tools/fuzz.sh [TARGET|all] [SECONDS]
#   SECONDS 0 (the default): each input of the target's corpus once, as a
#   regression check. More: a fuzz run of that many seconds per target, one
#   at a time, new inputs kept in build/fuzz/corpus/TARGET (the seeds in
#   fuzz/corpus/TARGET are read, never written), a fault's input in
#   build/fuzz/artifacts/.
# Usage: tools/fuzz.sh campaign [TARGET...]
#   Each target (all when none is named) until it has run at least
#   10,000,000 inputs and its coverage has not grown over the last half of
#   them, as many side by side as there are cores; then the merge below.
#   Its records and table: build/fuzz/campaign/ (tools/fuzz-campaign.sh).
# Usage: tools/fuzz.sh resume [DIR]
#   Goes on with the targets of the campaign recorded in DIR (the newest in
#   build/fuzz/campaign/ when none is given) that were stopped by hand,
#   each counting on from where it stopped; then the merge below.
# Usage: tools/fuzz.sh merge [TARGET...]
#   Merges build/fuzz/corpus/TARGET into the kept corpus fuzz/corpus/TARGET:
#   a few inputs that reach what both reach, plus every input named by
#   hand there (the seeds and each input that once found a fault).
# The targets: all_targets below.
set -euo pipefail
. "$(dirname "$0")/common.sh"
root=$qv_root
# Every target, in the order they run.
all_targets=(get_address parse_hex profile_report records finder change_watch json find_json section_name
  signatures)
mode=run
case ${1:-all} in
  campaign | merge)
    mode=$1
    shift
    which=("${@:-all}")
    ;;
  resume)
    mode=resume
    resumed=${2:-}
    which=(all)
    ;;
  *)
    which=("${1:-all}")
    seconds=${2:-0}
    ;;
esac
build=$root/build/fuzz

"$root/tools/install-deps.sh"
cache=$("$root/tools/build-lua.sh")
"$root/tools/build-capstone.sh" >/dev/null
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_LUA_CACHE="$cache" >/dev/null
cmake --build "$build" -j2 >/dev/null

targets=("${all_targets[@]}")
[ "${which[*]}" = all ] || targets=("${which[@]}")
for t in "${targets[@]}"; do
  [ -x "$build/fuzz_$t" ] || { echo "no fuzz target $t" >&2; exit 2; }
done
# A small quarantine and no fill of new blocks: twice the executions, the
# same faults found. No stack recorded for each block allocated or freed: a
# tenth more executions, the same faults found, but a fault's report does
# not say where its block was allocated or freed. Run the target on the
# fault's input alone (build/fuzz/fuzz_TARGET FILE) for the whole report;
# the regression run (ctest) records them too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:quarantine_size_mb=16:max_malloc_fill_size=0:malloc_context_size=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# Fuzzes TARGET with the options given, its dictionary if it has one, from
# its seeds and what runs before kept, keeping new inputs in
# build/fuzz/corpus/TARGET and a fault's input in build/fuzz/artifacts/.
fuzz_target() {
  local t=$1 dict=()
  shift
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  mkdir -p "$build/corpus/$t" "$build/artifacts"
  "$build/fuzz_$t" "$@" "${dict[@]}" -artifact_prefix="$build/artifacts/$t-" \
    "$build/corpus/$t" "$root/fuzz/corpus/$t"
}

if [ "$mode" != run ]; then
  . "$root/tools/fuzz-campaign.sh"
  found=0
  if [ "$mode" = resume ]; then
    resumed=$(campaign_dir "$resumed") || exit 2
    mapfile -t targets < <(stopped_targets "$resumed")
    [ ${#targets[@]} -gt 0 ] || { echo "no target of $resumed was stopped by hand" >&2; exit 2; }
    resume "$resumed" "${targets[@]}" || found=1
  fi
  if [ "$mode" = campaign ]; then campaign "${targets[@]}" || found=1; fi
  merge "${targets[@]}"
  exit $found
fi
if [ "$seconds" -eq 0 ]; then
  # The regression check is each target's CTest test (fuzz/CMakeLists.txt).
  filter=.
  [ "${which[*]}" = all ] || filter="^fuzz_${which[0]}\$"
  exec ctest --test-dir "$build" -R "$filter" --output-on-failure
fi
failed=()
for t in "${targets[@]}"; do
  # One process, in the foreground: the machine is shared.
  echo "== $t: $seconds s"
  fuzz_target "$t" -max_total_time="$seconds" -print_final_stats=1 || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
