#!/bin/sh
# package.sh [OUT_DIR]
# Builds the Debian packages (debian/) with dpkg-buildpackage in a copy of
# the source below OUT_DIR (default: build/packages) and prints the path of
# each .deb, one a line. The copy keeps the source tree free of debhelper's
# output. TESSARON_PREBUILT=BUILD_DIR packages the programs of an existing
# CMake build instead of building them again; DEB_BUILD_OPTIONS is passed on.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$src/build/packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)

command -v dpkg-buildpackage >/dev/null ||
    { echo "package.sh: dpkg-buildpackage is missing (scripts/install-deps.sh)" >&2; exit 1; }
if [ -n "${TESSARON_PREBUILT:-}" ]; then
    TESSARON_PREBUILT=$(cd "$TESSARON_PREBUILT" && pwd)
    export TESSARON_PREBUILT
fi

work="$out/tessaron"
rm -rf "$work"
mkdir -p "$work"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=./debian/tmp \
    -cf - . | tar -C "$work" -xf -
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
(cd "$work" && dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1) || {
    tail -n 40 "$out/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
rm -rf "$work"
ls "$out"/*.deb
