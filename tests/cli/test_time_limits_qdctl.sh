#!/usr/bin/env bash
# How long qdctl goes on, against a virtual reader on 127.0.20.3: --timeout
# bounds every command and names the host that did not answer; watch ends
# at its end or at Ctrl-C even while the reader finds tags faster than they
# can be taken; a killed watch leaves no search running for long; a reply
# that cannot be decoded is reported as such.  The bounds asserted are the
# limits given plus a wide margin, never how fast the machine is.  Run by
# ctest with QDSIM and QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.20.3
need_loopback

# run_bg ARGS...: qdctl in the background, its output in $work/out and
# $work/err, its pid in $bg.
run_bg() {
    "$QDCTL" "$@" >"$work/out" 2>"$work/err" </dev/null &
    bg=$!
}
# wait_bg: the background qdctl's status into $rc.
wait_bg() {
    rc=0
    wait "$bg" || rc=$?
}
# wait_for PATTERN FILE SECONDS: until a line of FILE matches.
wait_for() {
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        grep -qE -- "$1" "$2" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# ---------------------------------------------------------------------------
# --timeout against a frozen reader: the time limit, the host, and no more.

start_sim --tags 5 --seed 3

# Each row: the limit | qdctl arguments after HOST.
rows=(
    "2|info"
    "2|region --json"
    "1.5|params list"
    "2|watch --duration 4 --a-values 1 --span 50"
    "2|inventory"
)
for row in "${rows[@]}"; do
    IFS='|' read -r limit args <<<"$row"
    t="--timeout $limit $args against a frozen reader"
    kill -STOP "$sim_pid"
    started=$SECONDS
    # shellcheck disable=SC2086
    q 1 --timeout "$limit" "$address" $args || true
    took=$((SECONDS - started))
    kill -CONT "$sim_pid"
    command=${args%% *}
    if [[ $rc == 1 ]] && ((took < 10)) &&
        err_has "^qdctl: $command: $address does not answer \(nothing for [0-9.]+ s\): stopped at the --timeout of $limit s$"; then
        ok "$t"; else not_ok "$t" "status $rc after ${took} s"; fi
done

t="--timeout lets a command that ends in time end as usual"
if q 0 --timeout 30 "$address" region && out_has '^US$'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="a reader that freezes during watch: one failure after the library's time-out, naming the host"
run_bg "$address" watch --a-values 1 --span 50
wait_for '^[0-9A-F]{24} ' "$work/out" 10 || true
kill -STOP "$sim_pid"
started=$SECONDS
wait_bg
took=$((SECONDS - started))
kill -CONT "$sim_pid"
# The library gives a call 25 s; the watch must not wait a second time-out
# to stop a search on a reader that does not answer.
if [[ $rc == 1 ]] && ((took < 45)) && [[ $(grep -c '^qdctl: ' "$work/err") == 1 ]] &&
    err_has "^qdctl: (tagdb_pop_many|search_active): $address: ERROR_REMOTE: $address does not answer \(nothing for [0-9.]+ s\)(: ([0-9]+ calls|1 call) went unanswered, so (up to [0-9]+ tags|1 tag) may have been lost)?$"; then
    ok "$t"; else not_ok "$t" "status $rc after ${took} s"; fi
stop_sim

# ---------------------------------------------------------------------------
# watch against a reader that lands tags faster than they can be taken: each
# reply waits 5 ms, each pass of the search lands 3000 tags.

start_sim --tags 3000 --seed 5 --latency 5

t="watch --duration ends at its end while tags keep landing"
started=$SECONDS
q 0 "$address" watch --duration 2 --a-values 1 --span 50 || true
took=$((SECONDS - started))
if [[ $rc == 0 ]] && ((took < 10)) && out_has '^[0-9]+ tags, [0-9]+ sightings in [0-9.]+ s'; then
    ok "$t"; else tail -n 3 "$work/out" >"$work/tail" && mv "$work/tail" "$work/out" && not_ok "$t" "status $rc after ${took} s"; fi

for signal in INT TERM; do
    t="SIG$signal ends watch between two tags, with the summary"
    run_bg "$address" watch --a-values 1 --span 50
    wait_for '^[0-9A-F]{24} ' "$work/out" 10 || true
    sleep 0.5
    kill -"$signal" "$bg"
    started=$SECONDS
    wait_bg
    took=$((SECONDS - started))
    if [[ $rc == 0 ]] && ((took < 5)) && out_has '^[0-9]+ tags, [0-9]+ sightings in'; then
        ok "$t"; else not_ok "$t" "status $rc after ${took} s"; fi
done
stop_sim

# ---------------------------------------------------------------------------
# A watch killed outright: the reader's search ends by itself, within the
# span it was given (30 s).  A search that runs lands its tags in the
# reader's database on every pass (here each 0.5 s); once it has ended, an
# inventory finds the five tags of its own search and nothing more.

start_sim --tags 5 --seed 7

t="the search of a killed watch ends within a minute"
run_bg "$address" watch --a-values 1 --span 50 --period 0.5
wait_for '^[0-9A-F]{24} ' "$work/out" 10 || true
kill -KILL "$bg"
wait "$bg" 2>/dev/null || true
sleep 35
q 0 "$address" inventory || true   # what the dead watch's search left
sleep 3
if q 0 "$address" inventory && out_has '^5 tags in '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

# ---------------------------------------------------------------------------
# A hardware text longer than the protocol allows (4096): over TCP the
# reader sends a reply the library cannot decode; over UDP the reader sends
# nothing at all, which is what the user is told.

start_sim --hwtext0 "$(printf 'h%.0s' {1..5000})"
t="--tcp: a reply that cannot be decoded is reported as such"
if q 1 --tcp "$address" info &&
    err_has "^qdctl: open $address: ERROR_REMOTE: $address sent a reply that could not be decoded \(get_hwid\)$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
t="udp: a reader that never answers is reported as silent, within --timeout"
if q 1 --timeout 2 "$address" info &&
    err_has "^qdctl: info: $address does not answer \(nothing for [0-9.]+ s\): stopped at the --timeout of 2 s$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

t="nothing at the address: refused at once"
if q 1 --tcp "$address" info && err_has "^qdctl: open $address: ERROR_REMOTE: nothing answers at $address \(refused at once\)$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

report
