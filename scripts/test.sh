#!/usr/bin/env bash
# Everything a change must pass: installs what is missing; builds the host
# tree once under AddressSanitizer and UndefinedBehaviorSanitizer (clang:
# simulator, tests and the libFuzzer targets), the firmware tree (EFI
# images, firmware files, the volume) and the optimised simulator with both
# compilers (release presets: warnings are errors there too); runs the whole
# test suite under the sanitizers, the golden outputs once more through the
# release simulator (board memory layout, so the register-trace checksums
# count too), checks the EFI images, reads the volume and every firmware
# file back with UEFIExtract, builds the firmware a second time to show the
# same bytes come out, runs every fuzz target for a few seconds, then boots
# the DXE drivers in OVMF under QEMU. Exits non-zero on any failure; prints
# how long each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

stage setup bash scripts/setup-deps.sh

stage "configure sanitize" cmake --preset sanitize
stage "build sanitize" cmake --build --preset sanitize
stage "configure firmware" cmake --preset firmware
stage "build firmware" cmake --build --preset firmware
stage "configure release" cmake --preset release
stage "build release" cmake --build --preset release
stage "configure release-clang" cmake --preset release-clang
stage "build release-clang" cmake --build --preset release-clang

# The image-boot comparison must not be skipped here: the images exist.
stage "tests (sanitizers)" env MGMT_REQUIRE_IMAGES=1 ctest --preset sanitize --no-tests=error
stage "golden outputs (release)" bash tests/golden/compare.sh build/release/tools/mgmt-sim/mgmt-sim
stage "image checks" bash scripts/check-images.sh build/firmware/images
stage "firmware files" python3 tools/fwimage/fwcheck.py --modules firmware/Modules.toml \
  build/firmware/images/MgmtModules.fv build/firmware/images/*.ffs
stage "reproducible firmware" bash scripts/check-reproducible.sh build/firmware
# The libFuzzer targets of the sanitized tree from their checked-in corpora,
# 3 s each (scripts/fuzz.sh SECONDS for real fuzzing).
stage "fuzz smoke" bash scripts/fuzz.sh --preset sanitize 3
stage "OVMF" bash scripts/ovmf.sh
