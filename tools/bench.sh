#!/usr/bin/env bash
# Builds Quorvane.dll and the benchmark in several code placements and runs
# it under Wine, once per placement and Lua runtime (PUC Lua 5.1.5, then
# LuaJIT 2.1); then sums up every ratio as min-max across the placements.
# bench/README.md says what the figures mean.
#
#   tools/bench.sh [--placements=NAME,...] [qv_bench options]
#
# Placements (the same options for the module and the benchmark):
#   default        the shipped build (build/win32)
#   pad16          16 bytes of padding linked ahead of the code
#   pad48-align32  48 bytes of padding, functions aligned to 32 bytes
#   align1         functions not aligned (packed), no padding
# The default is default,pad16,pad48-align32. Each placement other than
# default is built in build/bench-<name>. Other options go to qv_bench.exe
# (--runs=N, --calls=N, --address-calls=N, --run-ms=N); GetAddress, which is
# all file reading, is measured in the first placement only.
set -euo pipefail
. "$(dirname "$0")/common.sh"
placements=default,pad16,pad48-align32
args=()
for a in "$@"; do
  case $a in
    --placements=*) placements=${a#--placements=} ;;
    *) args+=("$a") ;;
  esac
done

placement_flags() {
  case $1 in
    default) echo "" ;;
    pad16) echo "-DQUORVANE_CODE_PAD=16 -DQUORVANE_ALIGN_FUNCTIONS=" ;;
    pad48-align32) echo "-DQUORVANE_CODE_PAD=48 -DQUORVANE_ALIGN_FUNCTIONS=32" ;;
    align1) echo "-DQUORVANE_CODE_PAD=0 -DQUORVANE_ALIGN_FUNCTIONS=1" ;;
    *) echo "bench.sh: unknown placement $1" >&2; return 1 ;;
  esac
}

IFS=, read -r -a names <<<"$placements"
for p in "${names[@]}"; do placement_flags "$p" >/dev/null; done

"$qv_root/tools/build.sh" win32 --target qv_bench
qv_say_if_emulated_figures

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
first=1
for p in "${names[@]}"; do
  dir=$qv_root/build/win32
  if [ "$p" != default ]; then
    dir=$qv_root/build/bench-$p
    # shellcheck disable=SC2046
    if ! log=$(qv_configure_win32 "$dir" $(placement_flags "$p") 2>&1 &&
               cmake --build "$dir" -j2 --target qv_bench 2>&1); then
      printf '%s\n' "$log" >&2
      echo "bench.sh: building placement $p failed" >&2
      exit 1
    fi
  fi
  extra=()
  [ "$first" = 1 ] || extra=(--skip-address)
  for rt in puc luajit; do
    echo
    echo "=== placement $p, runtime $rt"
    (cd "$dir/$rt" && "$qv_root/tools/wine.sh" ./qv_bench.exe ${extra[@]+"${extra[@]}"} ${args[@]+"${args[@]}"}) |
      tee "$results/$p.$rt" | grep -v '^\(ratio\|ns\|memory\) '
  done
  first=0
done

echo
echo "=== ratios, module's median / the other's, min-max across placements: ${names[*]}"
for rt in puc luajit; do
  cat "$results"/*."$rt" | awk -v rt="$rt" -f "$qv_root/tools/bench-ratios.awk"
done
# quorvane-probe's find against a bare pass over a 1 GiB host.
"$qv_root/tools/bench-find.sh"
