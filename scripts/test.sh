#!/usr/bin/env bash
# Everything a change must pass: installs what is missing, builds the host
# tree (simulator, tests), the firmware tree (EFI images, firmware files,
# the volume) and the optimised simulator with both compilers (release
# presets: warnings are errors there too), runs the test suites, checks the
# EFI images, reads the volume and every firmware file back with UEFIExtract,
# builds the firmware a second time to show the same bytes come out, runs
# every fuzz target for a few seconds under AddressSanitizer and
# UndefinedBehaviorSanitizer, then boots the DXE drivers in OVMF under QEMU.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake --preset host
cmake --build --preset host
cmake --preset firmware
cmake --build --preset firmware
cmake --preset release
cmake --build --preset release
cmake --preset release-clang
cmake --build --preset release-clang

# The image-boot comparison must not be skipped here: the images exist.
MGMT_REQUIRE_IMAGES=1 ctest --preset host --no-tests=error
bash scripts/check-images.sh build/firmware/images
python3 tools/fwimage/fwcheck.py --modules firmware/Modules.toml \
  build/firmware/images/MgmtModules.fv build/firmware/images/*.ffs
bash scripts/check-reproducible.sh build/firmware
# The libFuzzer targets from their checked-in corpora, 3 s each (builds the
# fuzz preset; scripts/fuzz.sh SECONDS for real fuzzing).
bash scripts/fuzz.sh 3
bash scripts/ovmf.sh
