#!/usr/bin/env bash
# Installs what is missing, builds the optimised simulator (release preset)
# and boots the simulated board with mgmt-sim. Extra arguments go to
# `mgmt-sim boot`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake --preset release
cmake --build --preset release --target mgmt-sim

sim=build/release/tools/mgmt-sim/mgmt-sim
if [ -x "$sim" ]; then
  exec "$sim" boot "$@"
fi
echo "run-sim: the simulator ($sim) is not there yet; the release build succeeded."
