#!/usr/bin/env bash
# Runs a command and checks both its outcome and what it says: every pattern
# (extended regular expression) must match a line of its output, and no line
# may match a pattern written as !pattern.
#   expect-outcome.sh pass|fail [pattern...] -- <command> [args...]
set -uo pipefail
want=$1
shift
patterns=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  patterns+=("$1")
  shift
done
if [ $# -lt 2 ]; then
  echo "usage: expect-outcome.sh pass|fail [pattern...] -- <command> [args...]" >&2
  exit 2
fi
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if [ "$want" = pass ] && [ "$status" -ne 0 ]; then
  echo "expect-outcome: expected success, got exit status $status"
  exit 1
fi
if [ "$want" = fail ] && [ "$status" -eq 0 ]; then
  echo "expect-outcome: expected failure, got success"
  exit 1
fi
for pattern in "${patterns[@]}"; do
  if [ "${pattern:0:1}" = "!" ]; then
    if grep -q -E -- "${pattern:1}" <<<"$output"; then
      echo "expect-outcome: output has a line matching /${pattern:1}/"
      exit 1
    fi
  elif ! grep -q -E -- "$pattern" <<<"$output"; then
    echo "expect-outcome: output has no line matching /$pattern/"
    exit 1
  fi
done
