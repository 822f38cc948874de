#!/usr/bin/env bash
# qdgate when its store can take no more: at its limit (store_limit) and
# with its disk full.  The gateway then stops draining the readers, whose
# tags wait in their own databases, says so in its log, its metrics and the
# readers' status, and goes on by itself once there is room.  No tag is
# lost: at the end every reader's seq runs without a gap and every tag of
# the field arrived.
set -uo pipefail
# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/gate_lib.sh"

at=127.0.63.100:9464
field "$work/field" 20
sim readers 127.0.63.1 --readers 2 --field "$work/field"
# The subscriber's session is made while the broker is up; the broker keeps
# it (and what arrives for it) across its restarts.
broker 127.0.63.10
subscriber 127.0.63.10
broker_stop
sub=$work/sub.txt
series_is() { [[ $(metric "$at" "$1") == "$2" ]]; }
stored() { sqlite3 "$1" 'SELECT COUNT(*) FROM events'; }

config() {   # config STORE LIMIT
    cat >"$work/gate.toml" <<TOML
[gateway]
id = "bp"
store = "$1"
store_limit = $2
metrics = "$at"

[output]
mqtt = "mqtt://127.0.63.10:1883"

[[reader]]
name = "door-1"
host = "127.0.63.1"

[[reader]]
name = "door-2"
host = "127.0.63.2"
mode = "auto"
TOML
}

# The limit: 50 events, and no broker to take them.
config "$work/bp.db" 50
gate "$work/gate.toml"
wait_until 60 series_is 'qdgate_back_pressure{reader="door-1"}' 1 && ok "store at its limit: back-pressure on" ||
    fail "no back-pressure: $(cat "$work/gate.err")"
wait_until 30 series_is qdgate_store_events 50 && ok "the store holds its limit" ||
    not_ok "the store holds its limit ($(stored "$work/bp.db"))"
grep -q 'reader door-1 back-pressure on' "$work/gate.err" && ok "back-pressure: logged" || not_ok "back-pressure: logged"
sleep 1   # the readers are not drained meanwhile
n=$(stored "$work/bp.db")
[[ $n -le 50 ]] && ok "never past the limit ($n)" || not_ok "never past the limit ($n)"
broker 127.0.63.10
wait_until 60 grep -q 'qd/bp/door-1/status {"reader":"door-1","state":"up"' "$sub" &&
    ok "reader status published on reconnection" || not_ok "reader status published"
wait_until 60 grep -q 'reader door-1 back-pressure off' "$work/gate.err" && ok "room again: back-pressure off" ||
    not_ok "room again: back-pressure off"
wait_until 60 grows "$sub" door-1 100 && wait_until 60 grows "$sub" door-2 100 && ok "events flow again" ||
    not_ok "events flow again"
gate_stop TERM
[[ $gate_rc == 0 ]] && ok "SIGTERM: exit 0" || not_ok "SIGTERM: exit 0 (got $gate_rc)"

# The disk full: a store on a file system of 256 KiB, which is made larger
# while the gateway runs (root only: it needs a mount namespace).
if ((EUID == 0)) && unshare -m true 2>/dev/null; then
    broker_stop
    mkdir -p "$work/small"
    config "$work/small/bp.db" 1000000
    mv "$work/gate.toml" "$work/small.toml"
    unshare -m --propagation private bash -c '
            mount -t tmpfs -o size=256k qdgate-test "$1" || exit 3
            cp "$2" "$1/bp.db"
            "$QDGATE" --config "$3" >>"$4/gate.out" 2>>"$4/gate.err" & pid=$!
            echo $pid >"$4/gate.pid"
            for ((i = 0; i < 600; i++)); do
                grep -q "cannot write to the store" "$4/gate.err" && break
                sleep 0.1
            done
            touch "$4/full"
            while [[ ! -e $4/grow ]]; do sleep 0.1; done
            mount -o remount,size=64m "$1"
            wait $pid
            cp "$1/bp.db" "$4/bp-after.db"
            exit 0' disk "$work/small" "$work/bp.db" "$work/small.toml" "$work" &
    disk=$!
    wait_until 90 test -e "$work/full" || fail "the disk-full run did not start"
    if grep -q "cannot write to the store" "$work/gate.err"; then
        ok "disk full: logged, tags held"
    else
        not_ok "disk full: logged" "$(tail -5 "$work/gate.err")"
    fi
    wait_until 30 series_is 'qdgate_back_pressure{reader="door-1"}' 1 && ok "disk full: back-pressure in the metrics" ||
        not_ok "disk full: back-pressure in the metrics"
    touch "$work/grow"
    broker 127.0.63.10
    wait_until 60 bash -c "sed -n '/cannot write to the store/,\$p' '$work/gate.err' | grep -q 'back-pressure off'" &&
        ok "room on the disk: back-pressure off" || not_ok "room on the disk: back-pressure off"
    wait_until 60 grows "$sub" door-1 100 && ok "disk full: events flow again" || not_ok "disk full: events flow again"
    kill -TERM "$(cat "$work/gate.pid")"
    wait "$disk" && ok "disk full: the gateway stopped" || not_ok "disk full: the gateway stopped"
    cp "$work/bp-after.db" "$work/bp.db"
else
    echo "skipped: disk full (needs root and a mount namespace)"
fi

# What the store kept goes out, then every seq and every tag is checked.
sim_stop readers
config "$work/bp.db" 1000000
last_run_and_check bp door-1,door-2 "$work/bp.db"
report
