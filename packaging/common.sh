# Shared by the maintainer scripts (copied in front of each one).
# Under a chrootless "dpkg --root" every path carries $DPKG_ROOT.
ROOT="${DPKG_ROOT:-}/opt/tessaron"
KORD_SETUP="$ROOT/bin/kord-setup"
PACKAGE_DIR="${DPKG_ROOT:-}/usr/share/tessaron/package"
INSTALL_SOURCE="${DPKG_ROOT:-}/var/cache/tessaron/source"
SERVICE_USER=tessaron
UNITS="master-server traffic-controller"
: "${TESSARON_REGISTRY:=${DPKG_ROOT:-}/var/lib/tessaron/registry}"
export TESSARON_REGISTRY
if [ -n "${DPKG_ROOT:-}" ] && [ -z "${TESSARON_UNIT_DIR:-}" ]; then
    # A staged system's units go into its own tree, never the host's.
    TESSARON_UNIT_DIR="$DPKG_ROOT/etc/systemd/system"
    mkdir -p "$TESSARON_UNIT_DIR"
    export TESSARON_UNIT_DIR
fi
UNIT_DIR="${TESSARON_UNIT_DIR:-/etc/systemd/system}"
kord_setup() {
    "$KORD_SETUP" "$@" || echo "tessaron: kord-setup $1 failed" >&2
}
# systemctl only for the real system's own units.
systemd_here() {
    [ -z "${DPKG_ROOT:-}" ] && [ -z "${TESSARON_UNIT_DIR:-}" ] && [ -d /run/systemd/system ]
}
# The service user's line in the passwd (or group) file of the system
# being installed.
service_entry() {
    if [ -n "${DPKG_ROOT:-}" ]; then
        grep "^$SERVICE_USER:" "$DPKG_ROOT/etc/$1" 2>/dev/null
    else
        getent "$1" "$SERVICE_USER"
    fi
}
# useradd, userdel, groupdel on that system.
account() {
    cmd=$1
    shift
    if [ -n "${DPKG_ROOT:-}" ]; then
        "$cmd" --prefix "$DPKG_ROOT" "$@"
    else
        "$cmd" "$@"
    fi
}
