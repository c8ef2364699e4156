# shellcheck shell=bash
# Sourced by tools/fuzz.sh, which builds the targets and sets root, build,
# fuzz_target and the sanitizers' options: the campaign and the merge into
# the kept corpus.

# A target runs at least this many inputs, and on until its coverage (cov)
# has not grown over the last half of its inputs. It runs in segments (each
# a libFuzzer run of -runs inputs, resuming from the corpus), each as long
# as the run must still go: to the minimum, and to twice the input at which
# coverage last grew. A target still growing at ten times the minimum stops
# there, marked so. An input that runs longer than 60 s is a finding (a
# hang). A libFuzzer run stopped by hand (SIGINT to its process: it exits
# with its final stats) ends its target's run there, recorded as stopped,
# not as a finding, and can be resumed: its record keeps how far it went
# (state), and a resumed run goes on from there, its inputs, time and
# coverage counted on from the inputs before, from the corpus it grew.
campaign_inputs=${QUORVANE_FUZZ_INPUTS:-10000000}
campaign_most=$((campaign_inputs * 10))
# Targets side by side: as many as there are cores.
campaign_jobs=${QUORVANE_FUZZ_JOBS:-$(nproc)}

# 1234567 as 1,234,567.
commas() {
  awk -v n="$1" 'BEGIN { s = sprintf("%d", n)
    while (match(s, /[0-9][0-9][0-9][0-9]($|,)/)) s = substr(s, 1, RSTART) "," substr(s, RSTART + 1)
    print s }'
}

# What the status lines of a segment's log say: for each, its input counted
# from the start of the target's run (the inputs of the segments before are
# `from`) and cov.
coverage_of() {
  awk -v from="$2" '/^#[0-9]+\t/ {
    for (i = 2; i < NF; ++i) if ($i == "cov:") print from + substr($1, 2), $(i + 1) }' "$1"
}

# The cov of a run at an input: the last status line's at or before it.
coverage_at() {
  awk -v at="$2" '$1 <= at && $2 > most { most = $2 } END { print most + 0 }' "$1"
}

# What a failed segment found: the first line that says what broke, and the
# input libFuzzer kept.
finding_of() {
  local what input
  what=$(grep -m1 -E '^(property broken: |==[0-9]+== ?ERROR: |SUMMARY: |ALARM: )' "$1" || echo "exit status $2")
  input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$1" | head -n 1)
  echo "${what}${input:+ (input ${input#"$root"/})}"
}

# The input at which a run's coverage last grew.
last_growth() {
  awk '$2 > most { most = $2; at = $1 } END { print at + 0 }' "$1/coverage"
}

# The inputs of a run's next segment, after `total`: as many as it must
# still go, to the minimum and to twice the input at which coverage last
# grew, and at least a tenth of the minimum.
next_segment() {
  local total=$2 growth segment
  growth=$(last_growth "$1")
  segment=$((campaign_inputs - total))
  [ $((2 * growth - total)) -gt "$segment" ] && segment=$((2 * growth - total))
  [ $((campaign_inputs / 10)) -gt "$segment" ] && segment=$((campaign_inputs / 10))
  echo "$segment"
}

# One target's run, recorded in DIR (and resumed from there when it was
# stopped by hand): its segments' logs, its coverage by
# input (coverage), its row of the table (row) and what it found (fault,
# only when it found something).
campaign_target() {
  local t=$1 dir=$2 total=0 seconds=0 segment=$campaign_inputs k=0 start status ran growth
  local found=nothing
  mkdir -p "$dir"
  if [ -f "$dir/stopped" ]; then
    read -r total seconds k <"$dir/state"
    rm "$dir/stopped"
    segment=$(next_segment "$dir" "$total")
  else
    : >"$dir/coverage"
  fi
  while :; do
    k=$((k + 1))
    start=$(date +%s)
    status=0
    fuzz_target "$t" -runs="$segment" -timeout=60 -print_final_stats=1 \
      >"$dir/segment-$k.log" 2>&1 || status=$?
    seconds=$((seconds + $(date +%s) - start))
    ran=$(awk '/^stat::number_of_executed_units:/ { print $2 }' "$dir/segment-$k.log")
    coverage_of "$dir/segment-$k.log" "$total" >>"$dir/coverage"
    total=$((total + ${ran:-0}))
    growth=$(last_growth "$dir")
    echo "$total $seconds $k" >"$dir/state"
    if grep -q 'libFuzzer: run interrupted' "$dir/segment-$k.log"; then
      found="nothing; stopped by hand, coverage last grew at input $(commas "$growth")"
      : >"$dir/stopped"
      break
    fi
    if [ "$status" -ne 0 ]; then
      found=$(finding_of "$dir/segment-$k.log" "$status")
      echo "$found" >"$dir/fault"
      break
    fi
    [ "$total" -ge "$campaign_inputs" ] && [ $((2 * growth)) -le "$total" ] && break
    if [ "$total" -ge "$campaign_most" ]; then
      found="nothing; coverage still grew at input $(commas "$growth")"
      break
    fi
    segment=$(next_segment "$dir" "$total")
  done
  local half end
  half=$(coverage_at "$dir/coverage" $((total / 2)))
  end=$(coverage_at "$dir/coverage" "$total")
  echo "| \`$t\` | $(commas "$seconds") s | $(commas "$total") | $half | $end | $found |" >"$dir/row"
  echo "== $t: $(commas "$total") inputs in $(commas "$seconds") s ($k segments), edges $half at the half, $end at the end; found: $found"
}

# The targets side by side (campaign_jobs at a time), recorded in DIR, then
# the table of every target DIR records; fails when one found something.
run_campaign() {
  local out=$1 running=0 t
  shift
  for t in "$@"; do
    campaign_target "$t" "$out/$t" &
    running=$((running + 1))
    if [ "$running" -ge "$campaign_jobs" ]; then
      wait -n || true
      running=$((running - 1))
    fi
  done
  wait
  {
    echo "| target | time | inputs | edges at the half | edges at the end | found |"
    echo "|---|---|---|---|---|---|"
    while read -r t; do cat "$out/$t/row"; done <"$out/targets"
  } | tee "$out/table.md"
  while read -r t; do [ ! -e "$out/$t/fault" ] || return 1; done <"$out/targets"
}

campaign() {
  local out
  out=$build/campaign/$(date +%Y%m%d-%H%M%S)
  mkdir -p "$out"
  printf '%s\n' "$@" >"$out/targets"
  echo "campaign of $*: at least $(commas "$campaign_inputs") inputs a target, $campaign_jobs side by side; records in $out"
  run_campaign "$out" "$@"
}

# The campaign recorded in DIR (the newest when none is given): where it
# keeps its records, and the targets in it that were stopped by hand.
campaign_dir() {
  if [ -n "${1:-}" ]; then
    [ -f "$1/targets" ] || { echo "no campaign recorded in $1" >&2; return 2; }
    echo "$1"
  else
    local newest
    newest=$(find "$build/campaign" -mindepth 2 -maxdepth 2 -name targets -printf '%h\n' 2>/dev/null | sort | tail -n 1)
    [ -n "$newest" ] || { echo "no campaign recorded in $build/campaign" >&2; return 2; }
    echo "$newest"
  fi
}
stopped_targets() {
  local t
  while read -r t; do [ ! -f "$1/$t/stopped" ] || echo "$t"; done <"$1/targets"
}

# Goes on with the targets of campaign DIR that were stopped by hand.
resume() {
  local out=$1
  shift
  echo "campaign in $out resumed: $*"
  run_campaign "$out" "$@"
}

# libFuzzer names an input it keeps by its content's SHA-1; an input named
# by hand is a seed or one that once found a fault.
named_by_hand() {
  ! [[ $(basename "$1") =~ ^[0-9a-f]{40}$ ]]
}

# Each target's kept corpus anew: its inputs named by hand, and a few
# inputs of the old kept corpus and of build/fuzz/corpus that reach whatever
# else either reaches (libFuzzer -merge=1). Then the time of the regression
# run over it.
merge() {
  local t kept work f start
  for t in "$@"; do
    kept=$root/fuzz/corpus/$t
    work=$(mktemp -d)
    mkdir -p "$work/kept" "$build/corpus/$t"
    for f in "$kept"/*; do
      if named_by_hand "$f"; then cp "$f" "$work/kept/"; fi
    done
    if ! "$build/fuzz_$t" -merge=1 "$work/kept" "$kept" "$build/corpus/$t" >"$work/merge.log" 2>&1; then
      tail -n 20 "$work/merge.log" >&2
      echo "the merge of $t failed; fuzz/corpus/$t is as it was" >&2
      rm -rf "$work"
      return 1
    fi
    for f in "$kept"/*; do
      if ! named_by_hand "$f"; then rm "$f"; fi
    done
    for f in "$work/kept"/*; do
      if ! named_by_hand "$f"; then cp "$f" "$kept/"; fi
    done
    rm -rf "$work"
    start=$(date +%s%N)
    if ! "$build/fuzz_$t" -runs=0 "$kept" >/dev/null 2>&1; then
      echo "an input of fuzz/corpus/$t now fails: tools/fuzz.sh $t 0 says which" >&2
      return 1
    fi
    echo "== $t: fuzz/corpus/$t holds $(find "$kept" -type f | wc -l) inputs; the regression run over them takes $(((($(date +%s%N) - start) / 1000000))) ms"
  done
}
