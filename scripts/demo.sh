#!/bin/sh
# Runs kord against a throwaway installation root copied from examples/demo/,
# in the foreground, until Ctrl-C (or for DEMO_SECONDS seconds), printing
# kordstat while it runs. Everything happens on loopback addresses: as root
# the demo runs in a private network namespace, so no probe, DNS lookup or
# alert mail can leave the machine.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/build}
case $BUILD in /*) ;; *) BUILD=$SRC/$BUILD ;; esac
ROOT=$BUILD/demo/root

if [ -z "${KORD_DEMO_INSIDE:-}" ]; then
    # Packages: install only what is missing.
    missing=""
    for p in $(grep -v '^#' "$SRC/scripts/packages.txt"); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        if [ "$(id -u)" = 0 ]; then
            apt-get install -y $missing
        else
            echo "demo: missing packages:$missing (run as root to install them)" >&2
        fi
    fi

    cmake -S "$SRC" -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target kord kordstat

    rm -rf "$BUILD/demo"
    mkdir -p "$ROOT"
    cp -a "$SRC/examples/demo/." "$ROOT/"
    mkdir -p "$ROOT/data" "$ROOT/nsdb/cn" "$ROOT/nodes" "$ROOT/ports"

    export KORD_DEMO_INSIDE=1 BUILD_DIR="$BUILD"
    if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
        exec unshare -n "$0" "$@"
    elif unshare -rn true 2>/dev/null; then
        exec unshare -rn "$0" "$@"
    fi
    echo "demo: no private network namespace: alert mails may query the host's resolver" >&2
    KORD_DEMO_INSIDE=shared exec "$0" "$@"
fi

# ---- inside the demo's network namespace ----
if [ "$KORD_DEMO_INSIDE" = 1 ]; then
    ip link set lo up
fi

export TESSARON_ROOT="$ROOT" TESSARON_LOG=-
KORD=$BUILD/bin/kord
KORDSTAT=$BUILD/bin/kordstat
pids=""

cleanup() {
    trap - INT TERM EXIT
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
}
trap 'cleanup; exit 0' INT TERM
trap cleanup EXIT

# The port of group web: a listener that accepts and closes connections.
python3 - <<'PY' &
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 18080))
s.listen(64)
while True:
    c, _ = s.accept()
    c.close()
PY
pids="$pids $!"
# 127.0.0.2 answers on the same port: bind it for every loopback address.
python3 - <<'PY' &
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.2", 18080))
s.listen(64)
while True:
    c, _ = s.accept()
    c.close()
PY
pids="$pids $!"

"$KORD" &
kord_pid=$!
pids="$kord_pid $pids"

start=$(date +%s)
limit=${DEMO_SECONDS:-0}
while kill -0 "$kord_pid" 2>/dev/null; do
    sleep 2
    kill -0 "$kord_pid" 2>/dev/null || break
    echo "---- kordstat $(date +%T) ----"
    "$KORDSTAT" || true
    if [ "$limit" -gt 0 ] && [ $(( $(date +%s) - start )) -ge "$limit" ]; then
        break
    fi
done

if ! kill -0 "$kord_pid" 2>/dev/null; then
    status=0
    wait "$kord_pid" || status=$?
    echo "demo: kord ended by itself (status $status)" >&2
    exit "$status"
fi

echo "---- zone files ----"
for f in "$ROOT"/nsdb/cn/*.cndb; do
    [ -e "$f" ] && { echo "== $(basename "$f")"; cat "$f"; }
done
cleanup
exit 0
