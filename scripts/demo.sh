#!/bin/sh
# The Tessaron demo: kord watches the loopback groups of examples/demo/,
# flowgate publishes them as DNS answers on a Knot DNS primary, and a local
# SMTP sink catches kord's alert mail. It shows kordstat's table next to the
# primary's answers, silences a node (nftables drops its pings) and brings it
# back, then has a web server of group shop answer 503 so that its HTTP check
# takes it out of the answer. Runs until Ctrl-C, or for DEMO_SECONDS seconds.
#
# DEMO_CLUSTER=1: two masters (roots root/ and root-b/, each with kord and
# flowgate) coordinated by a three-member etcd cluster on 127.0.0.11-13;
# the leader's flowgate is killed at 26 s and the other takes over.
#
# Everything happens in private namespaces: a network namespace with only
# loopback (no probe, lookup or mail leaves the machine) and a process
# namespace whose end ends every process the demo started, however it exits.
# The installation root, the logs and the caught mail stay in build/demo/.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/build}
case $BUILD in /*) ;; *) BUILD=$SRC/$BUILD ;; esac
DEMO=$BUILD/demo
ROOT=$DEMO/root

if [ -z "${KORD_DEMO_INSIDE:-}" ]; then
    "$SRC/scripts/install-deps.sh"

    cmake -S "$SRC" -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target kord kordstat sorvan-agent flowgate

    rm -rf "$DEMO"
    mkdir -p "$ROOT" "$DEMO/mail" "$DEMO/knot/db"
    cp -a "$SRC/examples/demo/." "$ROOT/"
    mkdir -p "$ROOT/data" "$ROOT/nsdb/cn" "$ROOT/nodes" "$ROOT/ports"

    # unshare keeps this pid and enters the demo's network namespace itself.
    export KORD_DEMO_INSIDE=1 BUILD_DIR="$BUILD" DEMO_HOST_PID=$$
    # --kill-child: when this script ends, the demo's first process gets
    # SIGKILL, and with it every process of its process namespace.
    ns="--net --pid --fork --mount --mount-proc --kill-child"
    if [ "$(id -u)" = 0 ] && unshare $ns true 2>/dev/null; then
        exec unshare $ns "$0" "$@"
    elif unshare --map-root-user $ns true 2>/dev/null; then
        exec unshare --map-root-user $ns "$0" "$@"
    fi
    echo "demo: cannot make private namespaces (unshare); run it as root" >&2
    exit 1
fi

# ---- inside the demo's namespaces ----
ip link set lo up
# Group dual (examples/demo/gpfile): node6 has 127.0.0.6 and fd00::6, node7
# only fd00::7, named in a hosts file of the demo's own mount namespace.
ip -6 addr add fd00::6/128 dev lo nodad
ip -6 addr add fd00::7/128 dev lo nodad
printf '127.0.0.1 localhost\n::1 localhost\n127.0.0.6 node6\nfd00::6 node6\nfd00::7 node7\n' >"$DEMO/hosts"
mount --bind "$DEMO/hosts" /etc/hosts
grep -q '^dual:' "$ROOT/gpfile" ||
    echo 'dual:demo.test:demopw:1000000:rtt:1:2:800000:10000::ops@demo.test:1:0:node6,node7' >>"$ROOT/gpfile"
BIN=$BUILD/bin
PRIMARY=127.0.0.1
SINK_PORT=2525
export TESSARON_ROOT="$ROOT"
pids=""

cleanup() {
    trap - INT TERM EXIT
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
}
trap 'cleanup; exit 0' INT TERM
trap cleanup EXIT

say() { printf '%s\n' "demo: $*"; }

# wait_for WHAT COMMAND...: until the command succeeds (at most 15 s).
wait_for() {
    what=$1
    shift
    i=0
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        if [ "$i" -ge 75 ]; then
            say "$what did not come up; see the logs in $DEMO"
            exit 1
        fi
        sleep 0.2
    done
}

say "installation root $ROOT (group file gpfile, node files nodes/, port files ports/, zone files nsdb/cn/)"
say "logs in $DEMO: kord.log, flowgate.log, knot.log, agent.log, sink.log"
say "alert mail goes through TESSARON_SMTP_RELAY=127.0.0.1:$SINK_PORT, a local SMTP sink that stores it in $DEMO/mail"

# The mail sink: kord sends every alert through it as its relay.
python3 "$SRC/tests/support/smtp_sink.py" --host 127.0.0.1 --port "$SINK_PORT" --dir "$DEMO/mail" \
    >"$DEMO/sink.log" 2>&1 &
pids="$pids $!"
export TESSARON_SMTP_RELAY=127.0.0.1:$SINK_PORT
wait_for "the mail sink" grep -q ready "$DEMO/sink.log"

# The DNS primary: Knot DNS with the demo's zones, accepting updates signed
# with a key made here, the way an administrator makes one.
key=$(keymgr -t flowgate-demo hmac-sha256 | sed -n 's/^# //p')
secret=${key##*:}
{
    printf 'server:\n    rundir: "%s"\n    listen: %s@53\n' "$DEMO/knot" "$PRIMARY"
    printf 'log:\n  - target: stderr\n    any: info\n'
    printf 'database:\n    storage: "%s"\n' "$DEMO/knot/db"
    printf 'key:\n  - id: flowgate-demo\n    algorithm: hmac-sha256\n    secret: %s\n' "$secret"
    printf 'acl:\n  - id: flowgate\n    key: flowgate-demo\n    action: update\n'
    printf 'template:\n  - id: default\n    storage: "%s"\n    zonefile-sync: -1\n' "$DEMO/knot"
    printf 'zone:\n'
    for z in demo.test mirror.test load.test; do
        printf '$ORIGIN %s.\n$TTL 60\n@ SOA ns.%s. hostmaster.%s. 1 60 60 3600 60\n@ NS ns.%s.\nns A %s\n' \
            "$z" "$z" "$z" "$z" "$PRIMARY" >"$DEMO/knot/$z.zone"
        printf '  - domain: %s\n    file: "%s"\n    acl: flowgate\n' "$z" "$DEMO/knot/$z.zone"
    done
} >"$DEMO/knot/knot.conf"
knotd -c "$DEMO/knot/knot.conf" -s "$DEMO/knot/knot.sock" >"$DEMO/knot.log" 2>&1 &
pids="$pids $!"
wait_for "Knot DNS" sh -c "kdig @$PRIMARY +short +time=1 +retry=0 demo.test SOA | grep -q ."
# flowgate.conf comes from examples/demo; the demo adds the key.
echo "tsig $key" >>"$ROOT/flowgate.conf"
say "Knot DNS is the primary for demo.test, mirror.test and load.test on $PRIMARY:53;"
say "flowgate signs its updates with the key 'flowgate-demo' (made with: keymgr -t flowgate-demo hmac-sha256)"

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
wait_for "the web port listener" sh -c "[ \$(ss -Hltn 'sport = :18080' | wc -l) -eq 2 ]"

# Group shop's web servers on 127.0.0.7 and 127.0.0.8: each answers its
# port file's check (GET /healthz) with the status and body of a state file.
for n in 7 8; do
    printf '200\nok\n' >"$DEMO/shop$n.state"
    python3 "$SRC/tests/support/http_server.py" --host 127.0.0.$n --port 18088 --state "$DEMO/shop$n.state" \
        >"$DEMO/shop$n.log" 2>&1 &
    pids="$pids $!"
done
wait_for "the shop's web servers" sh -c "grep -q ready '$DEMO/shop7.log' && grep -q ready '$DEMO/shop8.log'"

# The agent of group load (method load): its password is the group's,
# given in the environment (ps shows no -k); file requests stay in the root.
TESSARON_AGENT_PASSWORD=demopw TESSARON_LOG="$DEMO/agent.log" \
    "$BIN/sorvan-agent" -l 127.0.0.1 -p 10000 -r "$ROOT" >>"$DEMO/agent.log" 2>&1 &
pids="$pids $!"

TESSARON_LOG="$DEMO/kord.log" "$BIN/kord" >>"$DEMO/kord.log" 2>&1 &
kord_pid=$!
pids="$kord_pid $pids"
cluster=${DEMO_CLUSTER:-0}
if [ "$cluster" = 1 ]; then
    # etcd: three members on loopback addresses of the demo's namespace.
    initial=e0=http://127.0.0.11:2380,e1=http://127.0.0.12:2380,e2=http://127.0.0.13:2380
    for i in 0 1 2; do
        h=127.0.0.1$((i + 1))
        etcd --name e$i --data-dir "$DEMO/etcd/e$i" --listen-client-urls http://$h:2379 \
            --advertise-client-urls http://$h:2379 --listen-peer-urls http://$h:2380 \
            --initial-advertise-peer-urls http://$h:2380 --initial-cluster $initial \
            --initial-cluster-state new --log-level warn >"$DEMO/etcd-e$i.log" 2>&1 &
        pids="$pids $!"
    done
    endpoints=http://127.0.0.11:2379,http://127.0.0.12:2379,http://127.0.0.13:2379
    wait_for "etcd" env ETCDCTL_API=3 etcdctl --endpoints $endpoints endpoint health
    ROOT_B=$DEMO/root-b
    rm -rf "$ROOT_B"
    mkdir -p "$ROOT_B/data" "$ROOT_B/nsdb/cn"
    cp -a "$ROOT/gpfile" "$ROOT/nodes" "$ROOT/ports" "$ROOT/flowgate.conf" "$ROOT_B/"
    printf 'etcd %s\ncluster demo\nlease 3\nname master-a\n' "$endpoints" >"$ROOT/cluster.conf"
    printf 'etcd %s\ncluster demo\nlease 3\nname master-b\n' "$endpoints" >"$ROOT_B/cluster.conf"
    TESSARON_ROOT="$ROOT_B" TESSARON_LOG="$DEMO/kord-b.log" "$BIN/kord" >>"$DEMO/kord-b.log" 2>&1 &
    pids="$pids $!"
    TESSARON_ROOT="$ROOT_B" TESSARON_LOG="$DEMO/flowgate-b.log" "$BIN/flowgate" >>"$DEMO/flowgate-b.log" 2>&1 &
    fg_b=$!
    pids="$pids $fg_b"
    say "cluster mode: master-a (root $ROOT) and master-b (root $ROOT_B), etcd at $endpoints;"
    say "logs of master-b: kord-b.log, flowgate-b.log"
fi
TESSARON_LOG="$DEMO/flowgate.log" "$BIN/flowgate" >>"$DEMO/flowgate.log" 2>&1 &
fg_a=$!
pids="$pids $fg_a"
say "started kord, flowgate, Knot DNS, the agent and the mail sink"
"$BIN/kordstat" --listen 127.0.0.1:9417 >"$DEMO/kordstat.log" 2>&1 &
pids="$pids $!"
say "status page: http://127.0.0.1:9417/ in the demo's network namespace; from another shell:"
say "  nsenter --net=/proc/${DEMO_HOST_PID:-PID}/ns/net curl -s http://127.0.0.1:9417/status.json"
say "  (or run a browser under that nsenter; /metrics has the Prometheus text)"

# New lines of a log since the last look, indented.
seen_kord=0
seen_flowgate=0
seen_flowgate_b=0
new_lines() {
    n=$(wc -l <"$1")
    eval "from=\$seen_$2"
    if [ "$n" -gt "$from" ]; then
        echo "---- new in $2.log ----"
        tail -n +"$((from + 1))" "$1" | head -n "$((n - from))" | cut -c21- | sed 's/^/  /'
    fi
    eval "seen_$2=$n"
}

# show_mail FROM: the caught mails numbered above FROM, one line each.
show_mail() {
    n=$(($1 + 1))
    while [ -e "$DEMO/mail/$n.eml" ]; do
        m=$DEMO/mail/$n.eml
        to=$(sed -n 's/^X-Envelope: .*RCPT TO:\(.*\)/\1/p' "$m" | tr -d '\r')
        subject=$(sed -n 's/^[Ss][Uu][Bb][Jj][Ee][Cc][Tt]: //p' "$m" | head -n 1 | tr -d '\r')
        body=$(awk 'p && NF {print; exit} /^\r?$/ {p=1}' "$m" | tr -d '\r')
        echo "  $n.eml: to $to, \"$subject\": $body"
        n=$((n + 1))
    done
    shown=$((n - 1))
}
seen_mail=0

snapshot() {
    echo
    echo "==== $(date +%T) ================================================================"
    echo "---- kordstat ----"
    "$BIN/kordstat" || true
    echo "---- DNS answers at the primary (kdig @$PRIMARY), kept by flowgate ----"
    "$BIN/flowgate" --once 2>/dev/null | awk 'NR > 1 { print $2 }' | while read -r owner; do
        printf '  %-26s %s %s\n' "$owner" "$(kdig @"$PRIMARY" +short +time=1 +retry=0 "$owner" A | sort | tr '\n' ' ')" \
            "$(kdig @"$PRIMARY" +short +time=1 +retry=0 "$owner" AAAA | sort | tr '\n' ' ')"
    done
    new_lines "$DEMO/kord.log" kord
    new_lines "$DEMO/flowgate.log" flowgate
    if [ "$cluster" = 1 ]; then
        echo "---- the cluster's flowgates (data/flowgate.status) ----"
        for r in "$ROOT" "$ROOT_B"; do
            printf '  %s\n' "$(tr '\n' ' ' <"$r/data/flowgate.status" 2>/dev/null)"
        done
        new_lines "$DEMO/flowgate-b.log" flowgate_b
    fi
    caught=$(ls "$DEMO"/mail/*.eml 2>/dev/null | wc -l)
    echo "---- mail caught by the sink: $caught ----"
    show_mail "$seen_mail"
    seen_mail=$shown
}

start=$(date +%s)
limit=${DEMO_SECONDS:-0}
edited="" silenced="" restored="" failed="" healed="" took_over=""
while kill -0 "$kord_pid" 2>/dev/null; do
    sleep 3
    kill -0 "$kord_pid" 2>/dev/null || break
    t=$(( $(date +%s) - start ))
    # A node-file edit while kord runs: kordstat shows the new min_vm.
    if [ -z "$edited" ] && [ "$t" -ge 6 ]; then
        edited=1
        say "editing nodes/127.0.0.1.cfg: min_vm 1024 (kord reads it again by itself)"
        sed -i 's/^min_vm.*/min_vm = 1024/' "$ROOT/nodes/127.0.0.1.cfg"
    fi
    if [ -z "$silenced" ] && [ "$t" -ge 10 ]; then
        silenced=1
        say "silencing node 127.0.0.2: nftables drops the pings sent to it;"
        say "watch web.demo.test (and its mirror webmirror.mirror.test) lose that node"
        nft add table ip demo 2>/dev/null &&
            nft add chain ip demo in '{ type filter hook input priority 0; }' &&
            nft add rule ip demo in ip daddr 127.0.0.2 icmp type echo-request drop ||
            say "nft is not usable here: the node stays up"
        say "silencing node6 over IPv6 only: dual.demo.test loses its AAAA record fd00::6, keeps its A record"
        nft add table ip6 demo6 2>/dev/null &&
            nft add chain ip6 demo6 in '{ type filter hook input priority 0; }' &&
            nft add rule ip6 demo6 in ip6 daddr fd00::6 icmpv6 type echo-request drop || true
    fi
    if [ -n "$silenced" ] && [ -z "$restored" ] && [ "$t" -ge 20 ]; then
        restored=1
        say "bringing node 127.0.0.2 back, and node6 over IPv6: fd00::6 returns to dual.demo.test's AAAA set"
        nft delete table ip demo 2>/dev/null || true
        nft delete table ip6 demo6 2>/dev/null || true
    fi
    # An application that fails while its port still accepts: the HTTP
    # check takes the node out of shop.demo.test, the bare connect would not.
    if [ -z "$failed" ] && [ "$t" -ge 24 ]; then
        failed=1
        say "the shop's server on 127.0.0.8 starts answering 503 (its port still accepts);"
        say "watch shop.demo.test lose 127.0.0.8 once its HTTP check is down"
        printf '503\nbusy\n' >"$DEMO/shop8.state"
    fi
    if [ -n "$failed" ] && [ -z "$healed" ] && [ "$t" -ge 36 ]; then
        healed=1
        say "the shop's server on 127.0.0.8 answers 200 again"
        printf '200\nok\n' >"$DEMO/shop8.state"
    fi
    if [ "$cluster" = 1 ] && [ -z "$took_over" ] && [ "$t" -ge 26 ]; then
        took_over=1
        if grep -q '^role leader' "$ROOT/data/flowgate.status" 2>/dev/null; then victim=$fg_a name=master-a
        else victim=$fg_b name=master-b; fi
        say "takeover: killing the leader's flowgate ($name) with SIGKILL; the other leads within the lease (3 s)"
        kill -9 "$victim" 2>/dev/null || true
    fi
    snapshot
    if [ "$limit" -gt 0 ] && [ "$t" -ge "$limit" ]; then
        break
    fi
done

if ! kill -0 "$kord_pid" 2>/dev/null; then
    status=0
    wait "$kord_pid" || status=$?
    echo "demo: kord ended by itself (status $status); see $DEMO/kord.log" >&2
    exit "$status"
fi

echo
echo "---- zone files (written by kord at start) ----"
for f in "$ROOT"/nsdb/cn/*.cndb; do
    [ -e "$f" ] && { echo "== $(basename "$f")"; cat "$f"; }
done
echo "---- mail caught by the sink ($DEMO/mail) ----"
show_mail 0
say "done; the root, the logs and the mail stay in $DEMO"
cleanup
exit 0
