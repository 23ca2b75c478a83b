#!/usr/bin/env bash
# Everything a change must pass: installs what is missing, builds the host
# tree (simulator, tests) and the firmware tree (EFI images), runs the test
# suites, checks the EFI images, then boots the DXE drivers in OVMF under
# QEMU. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake --preset host
cmake --build --preset host
cmake --preset firmware
cmake --build --preset firmware

ctest --preset host --no-tests=error
bash scripts/check-images.sh build/firmware/images
bash scripts/ovmf.sh
