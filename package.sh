#!/usr/bin/env bash
# Builds the two Debian packages, pelvarod (the service, no GUI library) and pelvaro-access (the
# program with its window), for this machine or cross-built for ARM, and leaves them in the build
# folder:
#   ./package.sh          this machine's architecture: build/pelvarod_<version>_<arch>.deb, ...
#   ./package.sh arm64    64-bit ARM (aarch64-linux-gnu): build-arm64/pelvarod_<version>_arm64.deb
#   ./package.sh armhf    32-bit ARMv7 hard float (arm-linux-gnueabihf): build-armhf/...
# Like ./run.sh it first installs the Debian packages it needs; for ARM the cross compiler, the
# target's libraries beside the machine's own (dpkg --add-architecture) and qemu-user-static, with
# which scripts/check-package.sh ARCH runs the result. Only the two programs are built, with
# warnings as errors. The last two lines it prints are the packages' paths.
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")" && pwd)"
source "$PELVARO_ROOT/scripts/common.sh"

native="$(dpkg --print-architecture)"
arch="${1:-$native}"
options=(-DPELVARO_WERROR=ON)
case "$arch" in
    "$native")
        build="$PELVARO_ROOT/build"
        ensure_packages dpkg-dev file
        ;;
    arm64 | armhf)
        build="$PELVARO_ROOT/build-$arch"
        mapfile -t packages < <(cross_packages "$arch")
        ensure_packages "${packages[@]}"
        triplet="$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)"
        options+=(-DCMAKE_TOOLCHAIN_FILE="$PELVARO_ROOT/cmake/cross/$triplet.cmake"
                  -DPELVARO_BUILD_TESTS=OFF -DPELVARO_BUILD_BENCH=OFF)
        ;;
    *)
        echo "Aufruf: ./package.sh [arm64|armhf]   (ohne Angabe: für diese Maschine, $native)" >&2
        exit 2
        ;;
esac

PELVARO_TARGETS="pelvarod pelvaro-access" build_tree "$build" "${options[@]}"
rm -f "$build"/pelvarod_*.deb "$build"/pelvaro-access_*.deb
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log" >&2; exit 1; }
ls "$build"/pelvarod_*_"$arch".deb "$build"/pelvaro-access_*_"$arch".deb
