#!/usr/bin/env bash
# qdctl against a virtual reader daemon on 127.0.0.40.  Run by ctest with
# QDSIM and QDCTL set (the programs under test); needs loopback up, which the
# private network namespace that the tests run in provides.
set -euo pipefail

: "${QDSIM:?QDSIM must name the qdsim program}"
: "${QDCTL:?QDCTL must name the qdctl program}"
address=127.0.0.40

if ! ip -o link show lo | grep -q '[<,]UP[,>]'; then
    echo "test_qdctl: loopback is down: run the tests in a network namespace whose lo is up" >&2
    echo "            (unshare -n, then ip link set lo up)" >&2
    exit 1
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [[ -n $sim_pid ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok: $1"; }
not_ok() {
    failed=$((failed + 1))
    echo "FAILED: $1"
    shift
    (($#)) && printf '  %s\n' "$@"
    echo "  stdout:"; sed 's/^/    /' "$work/out"
    echo "  stderr:"; sed 's/^/    /' "$work/err"
}

# q EXPECTED-STATUS ARGS...: runs qdctl; its output goes to $work/out and
# $work/err, its status to $rc.  Returns whether the status was expected.
q() {
    local want=$1; shift
    set +e
    "$QDCTL" "$@" >"$work/out" 2>"$work/err" </dev/null
    rc=$?
    set -e
    [[ $rc == "$want" ]]
}
out_has() { grep -qE -- "$1" "$work/out"; }
err_has() { grep -qE -- "$1" "$work/err"; }

# start_sim ARGS...: a daemon on $address; waits for its serving line.
start_sim() {
    "$QDSIM" --address "$address" "$@" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    local i
    for ((i = 0; i < 200; i++)); do
        grep -q "serving on $address" "$work/sim.log" && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "test_qdctl: the virtual reader did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
}
stop_sim() {
    kill -TERM "$sim_pid"
    wait "$sim_pid" || true
    sim_pid=
}

# ---------------------------------------------------------------------------
# Usage: exit status 2, or 0 for --help.

t="--help lists every command"
if q 0 --help && out_has '^usage: qdctl' && out_has 'HOST info' && out_has 'HOST inventory' &&
    out_has 'HOST tag'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="no arguments is bad usage"
if q 2 && err_has '^usage: qdctl'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="a host without a command is bad usage"
if q 2 "$address" && err_has 'no COMMAND' && err_has '^usage:'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="an unknown command is bad usage"
if q 2 "$address" frobnicate && err_has "unknown command 'frobnicate'"; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="an unknown option is bad usage"
if q 2 --frob "$address" info && err_has 'unknown option --frob'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="an unknown inventory option is bad usage, with the command's usage"
if q 2 "$address" inventory --bogus && err_has 'unknown option --bogus' &&
    err_has '^usage: qdctl .*HOST inventory'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="an out-of-range inventory value is bad usage"
if q 2 "$address" inventory --span 65536 && err_has 'span'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="a missing option value is bad usage"
if q 2 "$address" inventory --timeout && err_has 'needs a value'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="COMMAND --help prints the command's usage"
if q 0 "$address" inventory --help && out_has 'HOST inventory' && out_has -- '--json'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

# ---------------------------------------------------------------------------
# Readers that cannot be reached: exit status 1 with the reason.

t="an unknown host fails with status 1"
if q 1 no-such-reader.invalid info && err_has '^qdctl: open no-such-reader.invalid: '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="an address without a reader fails with ERROR_REMOTE"
if q 1 "$address" info && err_has "^qdctl: open $address: ERROR_REMOTE$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

# ---------------------------------------------------------------------------
# A reader with four ports and three protocols.

start_sim --antennas 4 --protocols 0,3,20

t="info prints host, transport, antennas and protocols"
if q 0 "$address" info && out_has "^host: $address$" && out_has '^transport: udp$' &&
    out_has '^antennas: 4 \(0 1 2 3\)$' && out_has '^protocols: 3 \([^,]+, [^,]+, 20\)$'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="--tcp info connects over TCP"
if q 0 --tcp "$address" info && out_has '^transport: tcp$' && out_has '^antennas: 4 '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="--trace writes the library's trace to standard error"
if q 0 --trace "$address" info && [[ -s $work/err ]] && out_has "^host: $address$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="inventory of a reader without tags"
if q 0 "$address" inventory && out_has '^0 tags in [0-9]+\.[0-9]{3} s \([0-9.]+ tags/s\)$'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="inventory --json of a reader without tags prints nothing on standard output"
if q 0 "$address" inventory --json && [[ ! -s $work/out ]] && err_has '^0 tags in '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

stop_sim

echo "$passed passed, $failed failed"
((failed == 0))
