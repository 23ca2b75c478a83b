#!/usr/bin/env bash
# Shows that the firmware build is reproducible: builds the firmware tree
# again from nothing, in another directory and without the compiler cache,
# and compares every file of images/ (images, dependency expressions,
# firmware files, module descriptions, the volume) byte for byte with the
# first build's. Needs that first build (cmake --build --preset firmware).
#   scripts/check-reproducible.sh [first-build-dir]   (default: build/firmware)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
first=$(cd "${1:-$root/build/firmware}" && pwd)
second=$root/build/firmware-again

if ! ls "$first"/images/*.efi >/dev/null 2>&1; then
  echo "check-reproducible: no images in $first/images; build the firmware preset first" >&2
  exit 1
fi

# The same cJSON source as the first build, without fetching it again.
cjson=$second-cjson
rm -rf "$second" "$cjson"
mkdir -p "$cjson"
cp "$first/firmware/cjson/source/cJSON.c" "$first/firmware/cjson/source/cjson/cJSON.h" "$cjson/"

export CCACHE_DISABLE=1
cmake -S "$root" -B "$second" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMGMT_FIRMWARE=ON -DMGMT_CJSON_SOURCE_DIR="$cjson" >/dev/null
cmake --build "$second" -j 2 >/dev/null

failures=0
count=0
for file in "$first"/images/*; do
  name=$(basename "$file")
  count=$((count + 1))
  if ! cmp -s "$file" "$second/images/$name"; then
    echo "FAIL $name differs between two builds"
    failures=$((failures + 1))
  fi
done
for file in "$second"/images/*; do
  if [ ! -e "$first/images/$(basename "$file")" ]; then
    echo "FAIL $(basename "$file") comes out of the second build only"
    failures=$((failures + 1))
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "check-reproducible: $failures of $count files differ" >&2
  exit 1
fi
echo "ok   $count files of images/ identical in two builds ($first, $second)"
rm -rf "$second" "$cjson"
