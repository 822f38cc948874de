#!/usr/bin/env bash
# qdgate without a broker: JSON lines on standard output.  Three virtual
# readers (one over UDP, one with an automatic search, one deduplicating);
# every line is a whole event, every reader's seq runs without a gap across
# a restart of the gateway, every tag of the field arrives from every
# reader, the metrics say what happened, and a stop leaves the store empty.
set -uo pipefail
# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/gate_lib.sh"

field "$work/field" 30
sim readers 127.0.61.1 --readers 3 --field "$work/field"

cat >"$work/gate.toml" <<TOML
[gateway]
id = "lines"
store = "$work/lines.db"
metrics = "127.0.61.100:9464"

[[reader]]
name = "door-1"
host = "127.0.61.1"

[[reader]]
name = "door-2"
host = "127.0.61.2"
transport = "udp"
mode = "auto"

[[reader]]
name = "door-3"
host = "127.0.61.3"
dedup_seconds = 3600
TOML

# The programs' own lines.
"$QDGATE" --version >"$work/out" 2>"$work/err" && out_has '^qdgate [0-9.]+ \(libqdapi [0-9.]+\)$' &&
    ok "--version" || not_ok "--version"
"$QDGATE" --help >"$work/out" 2>"$work/err" && out_has '--config FILE' && out_has '--check' &&
    ok "--help" || not_ok "--help"
"$QDGATE" --config "$work/gate.toml" --check >"$work/out" 2>"$work/err" && out_has '3 readers, output standard output' &&
    ok "--check of a good file" || not_ok "--check of a good file"
rc=0
"$QDGATE" >"$work/out" 2>"$work/err" || rc=$?
[[ $rc == 2 ]] && err_has 'required' && ok "no --config: 2" || not_ok "no --config: 2 (got $rc)"
printf '[gateway]\nid = "x"\nstore = "%s/x.db"\ncolour = "red"\n[[reader]]\nname = "a"\nhost = "h"\n' "$work" >"$work/bad.toml"
rc=0
"$QDGATE" --config "$work/bad.toml" >"$work/out" 2>"$work/err" || rc=$?
[[ $rc == 2 ]] && err_has "bad.toml:4: gateway.colour: unknown key" && [[ ! -e $work/x.db ]] &&
    ok "a bad file: 2, its line and key, nothing created" || not_ok "a bad file (got $rc)"

# A first run, until each reader has delivered every tag at least twice.
gate "$work/gate.toml"
wait_until 120 bash -c "[[ \$(grep -c '\"reader\":\"door-1\"' '$work/gate.out') -ge 60 && \
    \$(grep -c '\"reader\":\"door-2\"' '$work/gate.out') -ge 60 ]]" || fail "no events: $(cat "$work/gate.err")"
wait_until 60 bash -c "[[ \$(grep -c '\"reader\":\"door-3\"' '$work/gate.out') -ge 30 ]]" || fail "door-3: too few events"
metrics 127.0.61.100:9464 >"$work/metrics"
gate_stop TERM
[[ $gate_rc == 0 ]] && ok "SIGTERM: exit 0" || not_ok "SIGTERM: exit 0 (got $gate_rc)"
grep -q 'stopped: 0 events kept in the store' "$work/gate.err" && ok "a stop empties the store onto standard output" ||
    not_ok "a stop empties the store" "$(tail -3 "$work/gate.err")"

for series in 'qdgate_reader_up{reader="door-1"} 1' 'qdgate_reader_up{reader="door-2"} 1' \
    'qdgate_events_dropped_total{reason="store_full"} 0' 'qdgate_store_limit 1000000' \
    'qdgate_broker_connected 0' 'qdgate_tags_unaccounted_total{reader="door-3"} 0'; do
    grep -qxF "$series" "$work/metrics" && ok "metrics: $series" || not_ok "metrics: $series" "$(grep qdgate_ "$work/metrics")"
done
for family in qdgate_tags_read_total qdgate_events_published_total qdgate_store_events \
    qdgate_publish_lag_seconds qdgate_reconnects_total qdgate_back_pressure; do
    grep -q "^# TYPE $family " "$work/metrics" && ok "metrics: $family" || not_ok "metrics: $family"
done

# door-3 deduplicates for an hour: each of its tags came once.
n3=$(grep -c '"reader":"door-3"' "$work/gate.out")
[[ $n3 == 30 ]] && ok "dedup: each tag once" || not_ok "dedup: each tag once (got $n3 events)"

# A second run goes on with the next seq of each reader.
before=$(last_seq "$work/gate.out" door-1)
gate "$work/gate.toml"
wait_until 60 grows "$work/gate.out" door-1 30 || fail "second run: no events"
gate_stop INT
[[ $gate_rc == 0 ]] && ok "SIGINT: exit 0" || not_ok "SIGINT: exit 0 (got $gate_rc)"
grep -q "\"reader\":\"door-1\",\"seq\":$((before + 1))," "$work/gate.out" &&
    ok "a restart goes on from seq $((before + 1))" || not_ok "a restart goes on from seq $((before + 1))"

if python3 "$check_events" --gateway lines --readers door-1,door-2,door-3 --ids "$work/field" \
    --store "$work/lines.db" "$work/gate.out" >"$work/out" 2>"$work/err"; then
    ok "every line an event; no seq missing; every tag from every reader"
else
    not_ok "the events" "$(cat "$work/out" "$work/err")"
fi
report
