#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan, UBSan) and runs each
# for SECONDS seconds, starting from its checked-in seed corpus and dictionary
# (fuzz/corpus/<Target>/, fuzz/<Target>.dict). New inputs go to a work corpus
# under build/fuzz/corpus/<Target>/, never into the checked-in seeds. Prints
# one line per target: executions, coverage (edges), corpus size. Exits
# non-zero if any target finds a crash, a leak or undefined behaviour; the
# input is left in build/fuzz/findings/<Target>/ and the log beside it.
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
failed=0
printf '%-14s %12s %8s %10s %8s  %s\n' target executions seconds coverage corpus result
for name in "${targets[@]}"; do
  work=$build/corpus/$name
  findings=$build/findings/$name
  log=$build/findings/$name.log
  mkdir -p "$work" "$findings"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  dict=()
  [ -f "fuzz/$name.dict" ] && dict+=("-dict=fuzz/$name.dict")
  result=ok
  start=$SECONDS
  if [ ! -x "$build/fuzz/fuzz_$name" ]; then
    printf '%-14s %12s %8s %10s %8s  %s\n' "$name" - - - - "FAILED (no $build/fuzz/fuzz_$name)"
    failed=1
    continue
  fi
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/" "${dict[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result="FAILED (see $log)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(find "$work" -type f | wc -l)
  printf '%-14s %12s %8s %10s %8s  %s\n' "$name" "${runs:-?}" "$((SECONDS - start))" \
    "${cov:-?}" "$corpus" "$result"
done
exit $failed
