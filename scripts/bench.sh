#!/usr/bin/env bash
# Builds the optimised tree (release preset) and runs the benchmarks: host
# time of a default boot with and without the transcript and of a boot
# against a silent controller, each with its bus accesses, host time per
# access and virtual against host time; a whole `mgmt-sim boot -q` process
# with its peak memory; virtual time per module against the delays the
# modules must spend; and the EFI image sizes (build the firmware preset
# first to see them). Extra arguments go to the benchmark program (e.g.
# --benchmark_filter=DefaultBoot).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake --preset release
cmake --build --preset release --target mgmt_bench mgmt-sim

exec build/release/bench/mgmt_bench "$@"
