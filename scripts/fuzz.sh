#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan, UBSan) and runs each
# for SECONDS seconds, starting from its checked-in seed corpus and dictionary
# (fuzz/corpus/<Target>/, fuzz/<Target>.dict). New inputs go to a work corpus
# under build/fuzz/corpus/<Target>/, never into the checked-in seeds. Prints
# one line per target: executions, coverage (edges), corpus size. Exits
# non-zero if any target finds a crash, a leak or undefined behaviour; the
# input is left in build/fuzz/findings/<Target>/ and the log beside it. As
# many targets run at once as there are cores.
#
#   bash scripts/fuzz.sh [--preset fuzz|sanitize] SECONDS [TARGET...]
#
# --preset sanitize takes the targets from the sanitized host tree (the test
# command builds that one anyway); the default, fuzz, builds the targets
# alone.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh [--preset fuzz|sanitize] SECONDS [TARGET...]" >&2
  exit 2
}
preset=fuzz
if [ "${1:-}" = "--preset" ]; then
  [ $# -ge 2 ] || usage
  preset=$2
  shift 2
fi
case $preset in
fuzz | sanitize) ;;
*) usage ;;
esac
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  usage
fi
seconds=$1
shift

cmake --preset "$preset" >/dev/null
if [ "$preset" = fuzz ]; then
  cmake --build --preset fuzz
else
  cmake --build --preset sanitize --target fuzz_targets
fi

build=build/$preset
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*.cpp; do
    name=$(basename "$source" .cpp)
    [ "$name" = FuzzSupport ] || targets+=("$name")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# One target per core at a time: each still gets its SECONDS of its own.
jobs=$(nproc 2>/dev/null || echo 1)
results=$build/findings/results
rm -rf "$results"
mkdir -p "$results"

# Runs one target; its line goes to $results/<Target>, exit status 1 on failure.
run_target() {
  local name=$1 work=$build/corpus/$1 findings=$build/findings/$1 log=$build/findings/$1.log
  mkdir -p "$work" "$findings"
  local seeds=() dict=() result=ok start=$SECONDS
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  [ -f "fuzz/$name.dict" ] && dict+=("-dict=fuzz/$name.dict")
  if [ ! -x "$build/fuzz/fuzz_$name" ]; then
    printf '%-14s %12s %8s %10s %8s  %s\n' "$name" - - - - "FAILED (no $build/fuzz/fuzz_$name)" \
      >"$results/$name"
    return 1
  fi
  local status=0
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dict[@]}" "$work" "${seeds[@]}" >"$log" 2>&1 || status=1
  [ $status -eq 0 ] || result="FAILED (see $log)"
  local runs cov corpus
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1) || true
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2) || true
  corpus=$(find "$work" -type f | wc -l)
  printf '%-14s %12s %8s %10s %8s  %s\n' "$name" "${runs:-?}" "$((SECONDS - start))" \
    "${cov:-?}" "$corpus" "$result" >"$results/$name"
  return $status
}

failed=0
running=0
for name in "${targets[@]}"; do
  if [ $running -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$name" &
  running=$((running + 1))
done
while [ $running -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

printf '%-14s %12s %8s %10s %8s  %s\n' target executions seconds coverage corpus result
for name in "${targets[@]}"; do
  cat "$results/$name"
done
exit $failed
