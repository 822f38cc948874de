#!/usr/bin/env bash
# qdgate through a real broker, and what it must survive without losing a
# tag: the broker going away and coming back, the gateway killed with
# SIGKILL and started again, a reader that stops answering.  A subscriber
# on a session the broker keeps records everything; at the end every
# reader's seq runs without a gap and every tag of the field arrived.
set -uo pipefail
# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/gate_lib.sh"

at=127.0.62.100:9464
field "$work/field" 20
sim d1 127.0.62.1 --field "$work/field"
sim d2 127.0.62.2 --field "$work/field"
broker 127.0.62.10
subscriber 127.0.62.10

cat >"$work/gate.toml" <<TOML
[gateway]
id = "mq"
store = "$work/mq.db"
metrics = "$at"

[output]
mqtt = "mqtt://127.0.62.10:1883"

[[reader]]
name = "door-1"
host = "127.0.62.1"

[[reader]]
name = "door-2"
host = "127.0.62.2"
transport = "udp"
TOML
sub=$work/sub.txt
series_is() { [[ $(metric "$at" "$1") == "$2" ]]; }

gate "$work/gate.toml"
wait_until 60 grows "$sub" door-1 40 && wait_until 60 grows "$sub" door-2 40 && ok "events reach the subscriber" ||
    fail "no events: $(cat "$work/gate.err")"
grep -qx 'qd/mq/status online' "$sub" && ok "status: online" || not_ok "status: online"
grep -qx 'qd/mq/door-1/status {"reader":"door-1","state":"up"}' "$sub" && ok "reader status: up" ||
    not_ok "reader status: up" "$(grep status "$sub")"
grep -q '^qd/mq/door-2/tags {"gateway":"mq","reader":"door-2","seq":1,' "$sub" && ok "topic and first event" ||
    not_ok "topic and first event" "$(head -3 "$sub")"

# The broker goes away: the readers are drained into the store meanwhile.
broker_stop
wait_until 30 series_is qdgate_broker_connected 0 && ok "broker lost: metrics" || not_ok "broker lost: metrics"
wait_until 60 bash -c "(( \$(sqlite3 '$work/mq.db' 'SELECT COUNT(*) FROM events') > 100 ))" &&
    ok "broker away: tags go on into the store" || not_ok "broker away: tags go on into the store"
grep -q 'broker lost' "$work/gate.err" && ok "broker lost: logged" || not_ok "broker lost: logged"
broker 127.0.62.10
wait_until 60 series_is qdgate_broker_connected 1 && ok "broker back: connected again" || not_ok "broker back"
wait_until 60 grows "$sub" door-1 100 && ok "broker back: the backlog and the live stream arrive" ||
    not_ok "broker back: events"
[[ $(metric "$at" 'qdgate_reconnects_total{target="broker"}') -ge 1 ]] && ok "metrics: broker reconnects counted" ||
    not_ok "metrics: broker reconnects counted"

# Killed at an arbitrary moment: the broker tells subscribers, and the
# restarted gateway publishes what was kept and not acknowledged.
gate_stop KILL
wait_until 30 grep -qx 'qd/mq/status offline' "$sub" && ok "SIGKILL: the broker announces offline" ||
    not_ok "SIGKILL: offline"
gate "$work/gate.toml"
wait_until 60 grows "$sub" door-2 60 && ok "after SIGKILL: events again" || not_ok "after SIGKILL: events again"

# A reader stops answering: it is down, the other is not held up.
sim_stop d2
wait_until 120 grep -q 'qd/mq/door-2/status {"reader":"door-2","state":"down"' "$sub" &&
    ok "a reader that stops answering: down, with its reason" || not_ok "a reader that stops answering: down"
wait_until 30 series_is 'qdgate_reader_up{reader="door-2"}' 0 && ok "metrics: reader down" || not_ok "metrics: reader down"
wait_until 60 grows "$sub" door-1 60 && ok "the other reader goes on" || not_ok "the other reader goes on"
sim d2 127.0.62.2 --field "$work/field"
wait_until 120 series_is 'qdgate_reader_up{reader="door-2"}' 1 && ok "the reader is back up" || not_ok "the reader is back up"
wait_until 60 grows "$sub" door-2 40 && ok "its events again" || not_ok "its events again"

gate_stop TERM
[[ $gate_rc == 0 ]] && ok "SIGTERM: exit 0" || not_ok "SIGTERM: exit 0 (got $gate_rc)"
wait_until 30 bash -c "tail -1 '$sub' | grep -q .; grep -qx 'qd/mq/status offline' <(tail -5 '$sub')" &&
    ok "a stop announces offline" || not_ok "a stop announces offline"

# With the readers gone, a last run only publishes what the store kept.
sim_stop d1
sim_stop d2
last_run_and_check mq door-1,door-2 "$work/mq.db"
report
