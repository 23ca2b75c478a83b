#!/usr/bin/env bash
# Stores the current outputs of mgmt-sim (default board and every shipped
# scenario: transcripts, reports, pcap captures, documents) as the expected
# ones of the golden-output test (tests/golden/outputs). Run it when a change
# legitimately alters what the simulator produces, review the diff, and
# commit it with the change, saying why the outputs moved.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset host >/dev/null
cmake --build --preset host --target mgmt-sim
rm -rf tests/golden/outputs
bash tests/golden/produce.sh build/host/tools/mgmt-sim/mgmt-sim tests/golden/outputs
git status --short tests/golden/outputs
