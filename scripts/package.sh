#!/bin/sh
# package.sh [BUILD_DIR] [OUT_DIR]
# Builds OUT_DIR/tessaron_<version>_amd64.deb (default OUT_DIR: BUILD_DIR,
# default BUILD_DIR: build) from the programs and libraries in BUILD_DIR.
# Prints the path of the package on its last line.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
out=${2:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

command -v dpkg-deb >/dev/null || { echo "package.sh: dpkg-deb is missing" >&2; exit 1; }
[ -x "$build/bin/kord" ] || { echo "package.sh: $build/bin/kord is not built" >&2; exit 1; }
[ -x "$build/bin/kord-setup" ] || { echo "package.sh: $build/bin/kord-setup is not built" >&2; exit 1; }

version=$(sed -n 's/^project(tessaron VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }

stage=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-deb.XXXXXX")
trap 'rm -rf "$stage"' EXIT INT TERM
root="$stage/opt/tessaron"
mkdir -p "$root/bin" "$root/lib/setup" "$root/include" "$root/data" "$root/nodes" \
         "$root/ports" "$root/nsdb/cn" "$root/share/examples/nodes" "$root/share/examples/ports" \
         "$stage/lib/systemd/system" "$stage/usr/share/doc/tessaron" \
         "$stage/usr/share/tessaron/package" "$stage/var/cache/tessaron" "$stage/DEBIAN"

# Programs (whichever are built) and libraries.
for p in kord kord-setup sorvan-agent kordstat sorvan-sync flowgate; do
    [ -x "$build/bin/$p" ] && install -m 0755 "$build/bin/$p" "$root/bin/$p"
done
cp -P "$build"/lib/libsorvan.so* "$build"/lib/libvarro.so* "$root/lib/"
install -m 0644 "$build/lib/libkord_setup.so" "$root/lib/libkord_setup.so"
# Headers for programs built against the libraries: libsorvan and the
# porting layer it works with (event library, memory pool).
install -m 0644 "$src/util/sorvan.h" "$root/include/sorvan.h"
install -m 0644 "$src/port/varro.h" "$root/include/varro.h"
install -m 0644 "$src/setup/kord_setup.h" "$root/include/kord_setup.h"
strip --strip-unneeded "$root"/bin/* "$root"/lib/*.so* 2>/dev/null || true

# The administrator's files start as these examples (the demo's group,
# node and port files, an agent environment without password): the first
# configuration copies them into the root, where they are never the
# package's again, so no upgrade or removal touches them.
demo="$src/examples/demo"
examples="$root/share/examples"
[ -f "$demo/gpfile" ] && install -m 0644 "$demo/gpfile" "$examples/gpfile"
[ -f "$demo/flowgate.conf" ] && install -m 0644 "$demo/flowgate.conf" "$examples/flowgate.conf"
for d in nodes ports; do
    [ -d "$demo/$d" ] && cp -R "$demo/$d/." "$examples/$d/"
done
install -m 0600 "$src/packaging/agent.env" "$examples/agent.env"
install -D -m 0644 "$src/packaging/prometheus/tessaron-rules.yml" "$root/share/prometheus/tessaron-rules.yml"

# The node agent's unit, not enabled.
install -m 0644 "$src/packaging/tessaron-agent.service" "$stage/lib/systemd/system/"

# Man pages.
for page in "$src"/docs/man/*.[158]; do
    [ -f "$page" ] || continue
    mkdir -p "$root/share/man/man${page##*.}"
    install -m 0644 "$page" "$root/share/man/man${page##*.}/"
done

# Documentation.
for f in "$src"/docs/*.md "$src/packaging/README.md"; do
    [ -f "$f" ] && install -m 0644 "$f" "$stage/usr/share/doc/tessaron/"
done

# The installation package the installer actions keep and restore: here a
# manifest of the installed files with their checksums.
manifest="$stage/usr/share/tessaron/package/Tessaron(tm) Master Server.msi"
{
    echo "Tessaron(tm) Master Server $version"
    (cd "$stage" && find opt usr/share/doc -type f | LC_ALL=C sort | xargs -d '\n' sha256sum)
} > "$manifest"

# Control files.
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" \
    "$src/packaging/control" > "$stage/DEBIAN/control"
for s in postinst prerm postrm; do
    sed -e "/@COMMON@/{r $src/packaging/common.sh" -e "d}" "$src/packaging/$s" \
        > "$stage/DEBIAN/$s"
    chmod 0755 "$stage/DEBIAN/$s"
done
find "$stage" -type d -exec chmod 0755 {} +

deb="$out/tessaron_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
