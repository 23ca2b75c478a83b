#!/usr/bin/env bash
# The golden-output test: produces the outputs of the default board and of
# every shipped scenario afresh and compares them byte for byte with the
# stored ones in tests/golden/outputs. A difference fails with the diff.
# Usage: compare.sh MGMT_SIM
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
bash "$here/produce.sh" "$1" "$fresh"
if ! diff -r -q "$here/outputs" "$fresh" >/dev/null; then
  diff -r -u "$here/outputs" "$fresh" | head -n 200 || true
  echo "golden outputs differ (above). If the change in output is intended, run" >&2
  echo "  bash scripts/update-golden.sh" >&2
  echo "and commit tests/golden/outputs with a message that says why." >&2
  exit 1
fi
