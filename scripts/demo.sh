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
    "$SRC/scripts/install-deps.sh"

    cmake -S "$SRC" -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target kord kordstat sorvan-agent

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

# The port of group web on 127.0.0.1 and 127.0.0.2: a listener that
# accepts and closes connections.
python3 - <<'PY' &
import select, socket
socks = []
for addr in ("127.0.0.1", "127.0.0.2"):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, 18080))
    s.listen(64)
    socks.append(s)
while True:
    ready, _, _ = select.select(socks, [], [])
    for s in ready:
        c, _ = s.accept()
        c.close()
PY
pids="$pids $!"

# The agent of group load (method load): its password is the group's.
"$BUILD/bin/sorvan-agent" -l 127.0.0.1 -p 10000 -k demopw >/dev/null &
pids="$pids $!"

"$KORD" &
kord_pid=$!
pids="$kord_pid $pids"

start=$(date +%s)
limit=${DEMO_SECONDS:-0}
edited=""
while kill -0 "$kord_pid" 2>/dev/null; do
    sleep 2
    kill -0 "$kord_pid" 2>/dev/null || break
    # A node-file edit while kord runs: kordstat shows the new min_vm.
    if [ -z "$edited" ] && [ $(( $(date +%s) - start )) -ge 6 ]; then
        edited=1
        echo "---- editing nodes/127.0.0.1.cfg: min_vm 1024 ----"
        sed -i 's/^min_vm.*/min_vm = 1024/' "$ROOT/nodes/127.0.0.1.cfg"
    fi
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
