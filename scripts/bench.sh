#!/usr/bin/env bash
# Builds the host tree and runs the benchmarks: host time of a default boot
# and of a boot against a silent controller, virtual time per module against
# the delays the modules must spend, and the EFI image sizes (build the
# firmware preset first to see them). Extra arguments go to the benchmark
# program (e.g. --benchmark_filter=DefaultBoot).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake --preset host
cmake --build --preset host --target mgmt_bench

exec build/host/bench/mgmt_bench "$@"
