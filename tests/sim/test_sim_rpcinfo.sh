#!/bin/bash
# The qdsim daemon seen by the system's own RPC tools: rpcinfo finds the
# reader program through the daemon's port mapper (dump and ping over UDP
# and TCP), and the daemon's command line behaves.
#
# Needs QDSIM (the daemon).  Binds port 111, so it runs in a private network
# namespace: entered here when the script starts in the machine's own.
set -u

if [ "$(readlink /proc/self/ns/net)" = "$(readlink /proc/1/ns/net)" ] && [ "$(id -u)" = 0 ]; then
    exec unshare -n bash -c 'ip link set lo up && exec bash "$0"' "$0"
fi

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM
RPCINFO=$(command -v rpcinfo || echo /usr/sbin/rpcinfo)
address=127.0.0.5
PROG=536870914

check() {   # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then ok "$what"; else echo "FAILED: $what"; failed=$((failed + 1)); fi
}

# --- command line -----------------------------------------------------------
"$QDSIM" --help >"$work/help" 2>&1
check "--help exits 0" test $? -eq 0
check "--help documents the options" grep -q -- "--address" "$work/help"
check "--help documents --latency and --verbose" grep -q -- "--latency MS" "$work/help"
check "--help documents the verbose line" grep -q -- "qdsim ADDR: PROCEDURE TRANSPORT CALLER" "$work/help"
"$QDSIM" --no-such-option >/dev/null 2>"$work/err"
check "an unknown option exits 2" test $? -eq 2
"$QDSIM" --antennas 17 >/dev/null 2>&1
check "an out-of-range value exits 2" test $? -eq 2
"$QDSIM" --address >/dev/null 2>&1
check "a missing value exits 2" test $? -eq 2

# --- serving ------------------------------------------------------------------
"$QDSIM" --address "$address" >"$work/out" 2>"$work/err" &
sim_pid=$!
wait_serving "$work/out" "$sim_pid" "$address"
line=$(head -n 1 "$work/out")
check "prints the ready line" grep -Eq "^qdsim: serving on $address \(udp port [0-9]+, tcp port [0-9]+\)$" "$work/out"
udp_port=$(sed -nE 's/.*udp port ([0-9]+).*/\1/p' <<<"$line")
tcp_port=$(sed -nE 's/.*tcp port ([0-9]+).*/\1/p' <<<"$line")

"$RPCINFO" -p "$address" >"$work/dump" 2>&1
check "rpcinfo -p succeeds" test $? -eq 0
check "rpcinfo -p lists the port mapper" grep -Eq "^ +100000 +2 +tcp +111 " "$work/dump"
check "rpcinfo -p lists the program on udp" grep -Eq "^ +$PROG +1 +udp +${udp_port:-x}( |$)" "$work/dump"
check "rpcinfo -p lists the program on tcp" grep -Eq "^ +$PROG +1 +tcp +${tcp_port:-x}( |$)" "$work/dump"

"$RPCINFO" -u "$address" "$PROG" 1 >"$work/ping_u" 2>&1
check "rpcinfo -u reaches the program" grep -q "program $PROG version 1 ready and waiting" "$work/ping_u"
"$RPCINFO" -t "$address" "$PROG" 1 >"$work/ping_t" 2>&1
check "rpcinfo -t reaches the program" grep -q "program $PROG version 1 ready and waiting" "$work/ping_t"
"$RPCINFO" -u "$address" "$PROG" 2 >/dev/null 2>&1
check "rpcinfo -u of a version not served fails" test $? -ne 0

"$QDSIM" --address "$address" >/dev/null 2>&1 &
second=$!
wait "$second"
check "a second daemon on the same address exits 1" test $? -eq 1

kill -TERM "$sim_pid"
wait "$sim_pid"
status=$?
sim_pid=
check "SIGTERM ends the daemon with status 0" test "$status" -eq 0
"$RPCINFO" -t "$address" "$PROG" 1 >/dev/null 2>&1
check "nothing is served after it ended" test $? -ne 0

# --- a line per call with --verbose -------------------------------------------------
"$QDSIM" --address "$address" --verbose --latency 20 >"$work/out" 2>"$work/err" &
sim_pid=$!
wait_serving "$work/out" "$sim_pid" "$address" || echo "the daemon did not serve: $(cat "$work/out" "$work/err")"
"$RPCINFO" -u "$address" "$PROG" 1 >"$work/ping_u" 2>&1
check "rpcinfo -u reaches a daemon with a latency" grep -q "ready and waiting" "$work/ping_u"
"$RPCINFO" -t "$address" "$PROG" 1 >/dev/null 2>&1
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=
check "--verbose reports the udp call" \
    grep -Eq "^qdsim $address: null udp 127\.[0-9]+\.[0-9]+\.[0-9]+:[0-9]+ latency 20 ms$" "$work/err"
check "--verbose reports the tcp call" \
    grep -Eq "^qdsim $address: null tcp 127\.[0-9]+\.[0-9]+\.[0-9]+:[0-9]+ latency 20 ms$" "$work/err"

report
