# Shared by the maintainer scripts (copied in front of each one).
# Under a chrootless "dpkg --root" every path carries $DPKG_ROOT.
ROOT="${DPKG_ROOT:-}/opt/tessaron"
KORD_SETUP="$ROOT/bin/kord-setup"
PACKAGE_DIR="${DPKG_ROOT:-}/usr/share/tessaron/package"
INSTALL_SOURCE="${DPKG_ROOT:-}/var/cache/tessaron/source"
: "${TESSARON_REGISTRY:=${DPKG_ROOT:-}/var/lib/tessaron/registry}"
export TESSARON_REGISTRY
if [ -n "${DPKG_ROOT:-}" ] && [ -z "${TESSARON_UNIT_DIR:-}" ]; then
    # A staged system's units go into its own tree, never the host's.
    TESSARON_UNIT_DIR="$DPKG_ROOT/etc/systemd/system"
    mkdir -p "$TESSARON_UNIT_DIR"
    export TESSARON_UNIT_DIR
fi
kord_setup() {
    "$KORD_SETUP" "$@" || echo "tessaron: kord-setup $1 failed" >&2
}
