# shellcheck shell=bash
# What the gateway's tests share (sourced): virtual readers, a real broker
# and a real subscriber, each a process of its own on loopback, stopped at
# exit; the gateway itself; and polls that wait for a state rather than a
# time.

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDGATE QD_SOURCE_DIR
need_loopback
check_events=$QD_SOURCE_DIR/tests/gate/check_events.py
: >"$work/out"
: >"$work/err"

declare -A sims=()
broker_pid= sub_pid= gate_pid=
main_shell=$BASHPID
gate_cleanup() {
    local p
    # Only the test's own shell: a subshell that ends must not take the
    # processes and the work directory with it.
    [[ $BASHPID == "$main_shell" ]] || return 0
    for p in "$gate_pid" "$sub_pid" "$broker_pid" "${sims[@]}"; do
        [[ -n $p ]] && kill -KILL "$p" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap gate_cleanup EXIT

# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; fails after
# SECONDS (generous: the limit is there to end a broken run, not to time one).
wait_until() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# sim NAME ADDRESS ARGS...: a virtual reader (or --readers N of them) on
# ADDRESS, known as NAME to sim_stop.
sim() {
    local name=$1 address=$2
    shift 2
    "$QDSIM" --address "$address" "$@" >"$work/sim-$name.log" 2>&1 &
    sims[$name]=$!
    wait_serving "$work/sim-$name.log" "${sims[$name]}" "$address" || fail "virtual reader $name did not start"
}
sim_stop() {
    kill -TERM "${sims[$1]}" 2>/dev/null
    wait "${sims[$1]}" 2>/dev/null || true
    unset "sims[$1]"
}

# field FILE N: N tags with identities of our own, one a line (qdsim --field).
field() {
    local i
    for ((i = 1; i <= $2; i++)); do printf 'E2000000%016X\n' $((i * 7919)); done >"$1"
}

# broker ADDRESS: a Mosquitto on ADDRESS:1883 that keeps its sessions and
# queued messages across its own restarts (in $work/mq).
broker() {
    mkdir -p "$work/mq"
    cat >"$work/mq/mosquitto.conf" <<CONF
listener 1883 $1
allow_anonymous true
persistence true
persistence_location $work/mq/
max_queued_messages 0
user root
CONF
    mosquitto -c "$work/mq/mosquitto.conf" >>"$work/mq/log" 2>&1 &
    broker_pid=$!
    wait_until 20 bash -c "exec 3<>/dev/tcp/$1/1883" 2>/dev/null || fail "the broker did not start: $(cat "$work/mq/log")"
}
broker_stop() {
    kill -TERM "$broker_pid" 2>/dev/null
    wait "$broker_pid" 2>/dev/null || true
    broker_pid=
}

# subscriber ADDRESS: everything under qd/ at QoS 1 into $work/sub.txt, on a
# session the broker keeps while the subscriber is away.
subscriber() {
    mosquitto_sub -h "$1" -i checker -c -q 1 -t 'qd/#' -v >>"$work/sub.txt" 2>>"$work/sub.err" &
    sub_pid=$!
    wait_until 20 grep -q 'checker' "$work/mq/log" || fail "the subscriber did not connect"
}

# gate CONFIG: the gateway, its output in $work/gate.out and gate.err.
gate() {
    "$QDGATE" --config "$1" >>"$work/gate.out" 2>>"$work/gate.err" &
    gate_pid=$!
}
# gate_stop [SIGNAL]: stops it; its status in $gate_rc.
gate_stop() {
    gate_rc=0
    kill "-${1:-TERM}" "$gate_pid" 2>/dev/null
    wait "$gate_pid" || gate_rc=$?
    gate_pid=
}

# metrics HOST:PORT: the gateway's metrics, as a scraper gets them.
metrics() {
    local host=${1%:*} port=${1##*:}
    (exec 3<>"/dev/tcp/$host/$port" && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3) 2>/dev/null
}
# metric HOST:PORT SERIES: the value of one series (e.g. 'qdgate_reader_up{reader="door-1"}').
metric() {
    metrics "$1" | awk -v s="$2" '$1 == s { print $2 }'
}

# last_run_and_check GATEWAY READERS STORE: with the readers gone, a last run
# of the gateway ($work/gate.toml) publishes what its store kept; then what
# the subscriber received is checked: every line an event, no reader's seq
# missing, every tag of $work/field from every reader, the store empty.
last_run_and_check() {
    gate "$work/gate.toml"
    wait_until 60 bash -c "(( \$(sqlite3 '$3' 'SELECT COUNT(*) FROM events') == 0 ))" || not_ok "the store empties"
    gate_stop TERM
    sleep 0.5   # what the subscriber has not written yet
    if python3 "$check_events" --topics --gateway "$1" --readers "$2" --ids "$work/field" --store "$3" \
        "$work/sub.txt" >"$work/out" 2>"$work/err"; then
        ok "no seq missing, every tag from every reader: $(tr '\n' ' ' <"$work/out")"
    else
        not_ok "the events" "$(cat "$work/out" "$work/err")"
    fi
}

# last_seq FILE READER: the highest seq of READER's events in FILE.
last_seq() {
    grep -o "\"reader\":\"$2\",\"seq\":[0-9]*" "$1" 2>/dev/null | sed 's/.*://' | sort -n | tail -1
}
# grows FILE READER BY: true once READER's seq in FILE went BY past where it
# was at the first call for that reader (kept in $work/mark-READER).
grows() {
    local mark=$work/mark-$2 now
    now=$(last_seq "$1" "$2")
    now=${now:-0}
    [[ -f $mark ]] || echo "$now" >"$mark"
    ((now >= $(cat "$mark") + $3)) && rm -f "$mark"
}
