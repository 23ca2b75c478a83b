#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with.
# Idempotent: when all packages are present it changes nothing and does not
# touch the network.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang lld llvm libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcjson-dev libcli11-dev libtomlplusplus-dev libpng-dev libfmt-dev
  python3 tshark dpkg-dev uefitool-cli librsvg2-bin
  qemu-system-x86 ovmf mtools
  libunicorn-dev pkg-config
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: missing packages (${missing[*]}) and not root; install them as root" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the answer is no.
echo "wireshark-common wireshark-common/install-setuid boolean false" |
  "${as_root[@]}" debconf-set-selections
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
