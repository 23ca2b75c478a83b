#!/usr/bin/env bash
# The golden-output test: produces the outputs of the default board and of
# every shipped scenario afresh and compares them byte for byte with the
# stored ones in tests/golden/outputs. A difference fails with the diff.
# Usage: compare.sh [--without-trace] MGMT_SIM
# --without-trace leaves out the register-trace checksums: a sanitizer build
# lays guest RAM out elsewhere, and the trace holds those addresses (the
# descriptor rings' places); everything else must still be equal.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip=()
if [ "${1:-}" = "--without-trace" ]; then
  skip=(-x transcript-trace.sha256)
  shift
fi
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
bash "$here/produce.sh" "$1" "$fresh"
if ! diff -r -q "${skip[@]}" "$here/outputs" "$fresh" >/dev/null; then
  diff -r -u "${skip[@]}" "$here/outputs" "$fresh" | head -n 200 || true
  echo "golden outputs differ (above). If the change in output is intended, run" >&2
  echo "  bash scripts/update-golden.sh" >&2
  echo "and commit tests/golden/outputs with a message that says why." >&2
  exit 1
fi
