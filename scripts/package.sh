#!/usr/bin/env bash
# Builds the Debian package (qtxflash_VERSION_ARCH.deb) into $BUILD_DIR/package/
# (default build/package/): builds the programs, then cpack -G DEB, whose
# dependencies dpkg-shlibdeps takes from the installed programs' libraries.
# An existing build directory is used as it is configured; a new one is
# configured without tests. Prints the package's path.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
BUILD_DIR=${BUILD_DIR:-build}
"$ROOT/scripts/setup.sh"
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQTX_WERROR=ON -DQTX_GUI=ON \
    -DBUILD_TESTING=OFF "$@" >/dev/null
fi
cmake --build "$BUILD_DIR" -j"$(nproc)" >&2
rm -f "$BUILD_DIR"/package/*.deb
(cd "$BUILD_DIR" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
deb=$(ls "$BUILD_DIR"/package/*.deb)
[ "$(echo "$deb" | wc -l)" -eq 1 ] || { echo "package: expected one .deb, found: $deb" >&2; exit 1; }
realpath "$deb"
