#!/usr/bin/env bash
# The OVMF stage of the test command: boots Debian's OVMF under QEMU with the
# DXE drivers of the firmware build (build/firmware/images) and the test-only
# images of tests/ovmf, and checks what they report on the debug port (see
# tests/ovmf/ovmf_stage.py). Needs qemu-system-x86, ovmf and mtools; installs
# them when missing. Exits non-zero with the reason and the logs on failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v qemu-system-x86_64 >/dev/null || ! command -v mformat >/dev/null ||
  [ ! -f /usr/share/OVMF/OVMF_CODE_4M.fd ]; then
  # What is still missing after this is named by the stage itself.
  bash scripts/setup-deps.sh || true
fi

# With a simulator built, its documents are compared too.
simulator=()
for tree in release host sanitize; do
  if [ -x "build/$tree/tools/mgmt-sim/mgmt-sim" ]; then
    simulator=(--mgmt-sim "build/$tree/tools/mgmt-sim/mgmt-sim")
    break
  fi
done

exec python3 -B tests/ovmf/ovmf_stage.py \
  --images build/firmware/images \
  --test-images build/firmware/tests/ovmf/images \
  --work build/ovmf "${simulator[@]}" "$@"
