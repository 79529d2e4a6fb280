#!/usr/bin/env bash
# Runs every fuzz target of a BRIO_FUZZ build for FUZZ_SECONDS seconds each,
# FUZZ_JOBS of them at a time, over a working corpus in the build directory
# (seeded from the target's seed folder in the tree, kept between runs).
# A target that finds a crash stops; its input is left in the build
# directory's fuzz/artifacts/<target>/ and the script fails at the end.
#   scripts/run-fuzz.sh BUILD_DIR [target...]
set -euo pipefail

build="${1:?build directory}"
shift
seconds="${FUZZ_SECONDS:-10}"
jobs="${FUZZ_JOBS:-1}"
list="$build/fuzzers.txt"
[ -f "$list" ] || { echo "run-fuzz: $list missing (configure with -DBRIO_FUZZ=ON)" >&2; exit 2; }

work="$build/fuzz"
mkdir -p "$work"
failed=()
running=0
declare -A pids=()

run_one() {
  local name="$1" program="$2" seeds="$3"
  local corpus="$work/corpus/$name" artifacts="$work/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  local dirs=("$corpus")
  if [ "$seeds" != "-" ] && [ -d "$seeds" ]; then dirs+=("$seeds"); fi
  "$program" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${dirs[@]}" > "$work/$name.log" 2>&1
}

while read -r name program seeds; do
  [ -n "$name" ] || continue
  if [ $# -gt 0 ] && [[ ! " $* " =~ " $name " ]]; then continue; fi
  echo "run-fuzz: $name for ${seconds}s (log: $work/$name.log)"
  run_one "$name" "$program" "$seeds" &
  pids[$!]="$name"
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    if ! wait -n -p done_pid; then failed+=("${pids[$done_pid]}"); fi
    running=$((running - 1))
  fi
done < "$list"
while [ "$running" -gt 0 ]; do
  if ! wait -n -p done_pid; then failed+=("${pids[$done_pid]}"); fi
  running=$((running - 1))
done

# One line per target: executions, speed and coverage at the end of its run.
while read -r name _ _; do
  log="$work/$name.log"
  [ -f "$log" ] || continue
  if [ $# -gt 0 ] && [[ ! " $* " =~ " $name " ]]; then continue; fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
  echo "run-fuzz: $name: ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-no coverage line}"
done < "$list"

if [ ${#failed[@]} -gt 0 ]; then
  for name in "${failed[@]}"; do
    echo "run-fuzz: $name FAILED; its log: $work/$name.log; input: $work/artifacts/$name/" >&2
    grep -m1 -E 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' "$work/$name.log" >&2 || true
  done
  exit 1
fi
echo "run-fuzz: every target ran ${seconds}s without a finding"
