#!/usr/bin/env bash
# Runs mgmt-sim on the default board and on every shipped scenario and writes
# what each run produced into OUT/<case>/: the transcript, the exit status,
# the JSON report, the pcap capture of the management link, the timeline
# picture and the documents the controller received; and a checksum of the
# transcript with the register trace of the last boot (megabytes of text).
# Usage: produce.sh MGMT_SIM OUT
set -euo pipefail
sim=$(realpath "$1")
out=$(realpath -m "$2")
cd "$(dirname "$0")/../.."

run_case() {
  local name=$1
  shift
  local dir="$out/$name"
  mkdir -p "$dir/documents"
  local status=0
  "$sim" boot --report "$dir/report.json" --pcap "$dir/link.pcap" --timeline "$dir/timeline.svg" \
    --documents "$dir/documents" "$@" >"$dir/transcript.txt" || status=$?
  echo "$status" >"$dir/exit-status"
  # A run that received no document leaves no folder: git keeps no empty
  # folders, so a stored one would be missing from a fresh clone.
  rmdir "$dir/documents" 2>/dev/null || true
  { "$sim" boot -v "$@" || true; } | sha256sum | cut -d' ' -f1 >"$dir/transcript-trace.sha256"
}

run_case default
for scenario in scenarios/*.toml; do
  run_case "$(basename "$scenario" .toml)" --scenario "$scenario"
done
