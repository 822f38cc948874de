#!/usr/bin/env bash
# Virtual readers registered with the system's port mapper (qdsim --rpcbind)
# side by side on 127.0.0.51 and .52: both reachable while both serve, the
# second still reachable after the first stopped, no registration left after
# both.  Starts its own rpcbind, in a network namespace and a mount
# namespace of its own with a /run of its own (run as root): the rpcbind's
# socket file, which the RPC library of every process would otherwise find
# there, is seen by nothing but this test, so other tests and other test
# runs go on beside it.
set -euo pipefail
prog=536870914

if [[ ${1:-} != --in-namespace ]]; then
    unshare -n -m true 2>/dev/null || { echo "skipped: no namespaces of its own (run as root)"; exit 0; }
    exec unshare -n -m bash -c 'mount --make-rprivate / && mount -t tmpfs qd-run /run &&
        ip link set lo up && exec bash "$0" --in-namespace' "$0"
fi
command -v rpcbind >/dev/null || { echo "FAILED: rpcbind is not installed"; exit 1; }

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
pids=()
# Instead of the shared cleanup: the port mapper and every reader end here.
cleanup() {
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # The RPC library looks for a local rpcbind at this path before it asks
    # a host's port mapper: it must not outlive the test.
    rm -f /run/rpcbind.sock /var/run/rpcbind.sock
    rm -rf "$work"
}

mkdir -p /run/rpcbind
rpcbind -f 2>"$work/rpcbind.log" &
pids+=($!)
for ((i = 0; i < 100; i++)); do rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && break; sleep 0.05; done

serve() {   # serve ADDRESS: a reader registered with rpcbind; its pid in $sim
    "$QDSIM" --rpcbind --address "$1" >"$work/$1.log" 2>&1 &
    sim=$!
    pids+=($sim)
    wait_serving "$work/$1.log" "$sim" "$1" || fail "qdsim on $1: $(cat "$work/$1.log")"
}
answers() { "$QDCTL" "$1" info >/dev/null 2>&1; }

serve 127.0.0.51; first=$sim
serve 127.0.0.52; second=$sim
answers 127.0.0.51 && answers 127.0.0.52 || fail "both readers should answer"
echo "ok: two readers side by side"
kill -TERM "$first"; wait "$first" || true
answers 127.0.0.52 || fail "the second reader lost its registration when the first stopped"
echo "ok: the second reader answers after the first stopped"
kill -TERM "$second"; wait "$second" || true
! rpcinfo -p 127.0.0.1 | grep -q " $prog " || fail "a registration was left behind"
echo "ok: no registration left"
