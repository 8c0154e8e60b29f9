#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the demo need.
# Idempotent: does nothing when everything is there already.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config python3
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth
  srecord python3-intelhex
  gcc-arm-none-eabi libunicorn-dev sdcc sdcc-ucsim
  libsrecord-dev libboost-dev libelf-dev
  dpkg-dev file desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO="sudo"; else
    echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
