#!/usr/bin/env bash
# The gateway end to end: 100 virtual readers (one qdsim), one qdgate that
# drains them all (TCP, continuous searches) into its store and publishes
# to a Mosquitto, and one subscriber (mosquitto_sub at QoS 1) that stamps
# each message on arrival.  Once with the store in a file, once in memory
# only; for each, over a steady window after a warm-up:
#   - events per second that arrived at the subscriber;
#   - the time from a tag's drain (the event's "time") to its arrival:
#     median and 99th percentile;
#   - the gateway's CPU time (utime + stime) per 10,000 events published;
# then what the store costs (on against off, in the same run) and the aims
# beside the figures, met or not met (the script does not fail on them).
#
# usage: bench/gate_bench.sh BUILD_DIR   (in a private network namespace:
# scripts/bench runs it so, through qd_netns; addresses 127.0.70.x)
#
# Tunable through the environment (defaults in brackets):
#   QD_GATE_READERS [100]  QD_GATE_TAGS [50] tags per reader
#   QD_GATE_WARMUP [10] s  QD_GATE_WINDOW [20] s
#   QD_GATE_ROUNDS [2]     rounds of (store on, store off), one after the
#                          other, so that a load that comes and goes on the
#                          machine weighs on both; the figures of each
#                          pooled over its rounds
#   QD_GATE_SUB_QOS [1]    the subscriber's QoS
#   QD_GATE_KEEP [0]       1: keep the files (configurations, logs, what
#                          the subscriber received) and say where
set -uo pipefail

dir=${1:?usage: gate_bench.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
qdsim=$dir/sim/qdsim
qdgate=$dir/gate/qdgate
readers=${QD_GATE_READERS:-100}
tags=${QD_GATE_TAGS:-50}
warmup=${QD_GATE_WARMUP:-10}
window=${QD_GATE_WINDOW:-20}
rounds=${QD_GATE_ROUNDS:-2}
sub_qos=${QD_GATE_SUB_QOS:-1}

first=127.0.70.1          # the readers: 127.0.70.1 on
broker_at=127.0.70.250
metrics_at=127.0.70.200:9464

say() { printf '%s\n' "$*"; }
die() { printf 'gate_bench: %s\n' "$*" >&2; exit 1; }

for p in "$qdsim" "$qdgate"; do [[ -x $p ]] || die "no program at $p"; done
for p in mosquitto mosquitto_sub python3; do command -v "$p" >/dev/null || die "$p is not installed"; done
((readers >= 1 && readers <= 100)) || die "QD_GATE_READERS must be 1..100 (addresses 127.0.70.1..100)"

work=$(mktemp -d "${TMPDIR:-/tmp}/qdgate-bench.XXXXXX")
sim_pid="" broker_pid="" sub_pid="" gate_pid=""
stop_pid() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}
cleanup() {
    stop_pid "$gate_pid"
    stop_pid "$sub_pid"
    stop_pid "$broker_pid"
    stop_pid "$sim_pid"
    if [[ ${QD_GATE_KEEP:-0} == 1 ]]; then
        printf 'gate_bench: the files are in %s\n' "$work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_until SECONDS COMMAND...: polls until COMMAND succeeds.
wait_until() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

ticks_per_second=$(getconf CLK_TCK)
# cpu PID: the process's CPU time so far (utime + stime), in clock ticks.
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# threads PID: "TID TICKS" for each of its threads.
threads() {
    local t
    for t in /proc/"$1"/task/*; do
        awk -v tid="${t##*/}" '{ print tid, $14 + $15 }' "$t/stat" 2>/dev/null
    done
}
metrics() {
    local host=${metrics_at%:*} port=${metrics_at##*:}
    (exec 3<>"/dev/tcp/$host/$port" && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3) 2>/dev/null
}
# metric_sum NAME: the sum of every series of NAME.
metric_sum() { metrics | awk -v n="$1" 'index($1, n) == 1 && (substr($1, length(n) + 1, 1) ~ /^[{]?$/) { s += $2 } END { printf "%.0f\n", s }'; }
now() { date +%s.%N; }
calc() { awk "BEGIN { $1 }"; }

# The readers.
"$qdsim" --address "$first" --readers "$readers" --tags "$tags" --seed 70 >"$work/sim.log" 2>&1 &
sim_pid=$!
serving() {
    local n
    n=$(grep -c serving "$work/sim.log" 2>/dev/null)
    ((${n:-0} == readers))
}
wait_until 60 serving || die "the virtual readers did not start: $(tail -3 "$work/sim.log")"
mapfile -t hosts < <(sed -n 's/^qdsim: serving on \([0-9.]*\) .*/\1/p' "$work/sim.log")

# The broker: nothing kept on disk, nothing dropped for a slow subscriber.
cat >"$work/mosquitto.conf" <<CONF
listener 1883 $broker_at
allow_anonymous true
persistence false
max_queued_messages 0
max_inflight_messages 0
user root
CONF
mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
broker_pid=$!
wait_until 20 bash -c "exec 3<>/dev/tcp/$broker_at/1883" 2>/dev/null || die "the broker did not start: $(cat "$work/broker.log")"

# run NAME STORE: one measurement; its files and figures in $work/NAME/.
run() {
    local name=$1 store=$2 out=$work/$1
    mkdir -p "$out"
    {
        printf '[gateway]\nid = "bench"\nstore = "%s"\nmetrics = "%s"\n\n' "$store" "$metrics_at"
        printf '[output]\nmqtt = "mqtt://%s:1883"\nqos = 1\n' "$broker_at"
        local i
        for ((i = 0; i < ${#hosts[@]}; i++)); do
            printf '\n[[reader]]\nname = "r%03d"\nhost = "%s"\ntransport = "tcp"\nmode = "continuous"\n' \
                $((i + 1)) "${hosts[i]}"
        done
    } >"$out/gate.toml"

    local id=bench-sub-$name
    mosquitto_sub -h "$broker_at" -i "$id" -q "$sub_qos" -t 'qd/bench/+/tags' -F '%U %p' >"$out/sub.txt" 2>"$out/sub.err" &
    sub_pid=$!
    wait_until 20 grep -q "$id" "$work/broker.log" || die "the subscriber did not connect: $(cat "$out/sub.err")"

    "$qdgate" --config "$out/gate.toml" >/dev/null 2>"$out/gate.err" &
    gate_pid=$!
    wait_until 60 test -s "$out/sub.txt" || die "no event reached the subscriber within 60 s: $(tail -5 "$out/gate.err")"
    sleep "$warmup"

    local t0 t1 g0 g1 s0 s1 b0 b1 m0 m1 pub0 pub1 read0 read1
    pub0=$(metric_sum qdgate_events_published_total)
    read0=$(metric_sum qdgate_tags_read_total)
    metric_sum qdgate_store_events >"$out/backlog0"
    threads "$gate_pid" | sort >"$out/threads0"
    g0=$(cpu "$gate_pid") s0=$(cpu "$sim_pid") b0=$(cpu "$broker_pid") m0=$(cpu "$sub_pid")
    t0=$(now)
    sleep "$window"
    t1=$(now)
    g1=$(cpu "$gate_pid") s1=$(cpu "$sim_pid") b1=$(cpu "$broker_pid") m1=$(cpu "$sub_pid")
    threads "$gate_pid" | sort >"$out/threads1"
    pub1=$(metric_sum qdgate_events_published_total)
    read1=$(metric_sum qdgate_tags_read_total)
    metric_sum qdgate_store_events >"$out/backlog"

    # Stopped as a service manager would: SIGTERM, and SIGKILL after 30 s.
    local rc=0
    kill -TERM "$gate_pid"
    if ! wait_until 30 bash -c "! kill -0 $gate_pid 2>/dev/null"; then
        say "  (qdgate did not stop within 30 s of SIGTERM: killed)"
        kill -KILL "$gate_pid"
    fi
    wait "$gate_pid" || rc=$?
    gate_pid=
    ((rc == 0)) || say "  (qdgate exited with status $rc: $(tail -3 "$out/gate.err"))"
    stop_pid "$sub_pid"
    sub_pid=

    python3 "$here/gate_measure.py" "$out/sub.txt" "$t0" "$t1" >"$out/measure" || die "cannot measure $out/sub.txt"
    printf '%s\n' "$out/sub.txt" "$t0" "$t1" >>"$work/${name%-*}.windows"
    local span
    span=$(calc "print $t1 - $t0")
    {
        echo "span=$span"
        echo "published=$((pub1 - pub0))"
        echo "read=$((read1 - read0))"
        echo "gate_ticks=$((g1 - g0))"
        echo "sim_ticks=$((s1 - s0))"
        echo "broker_ticks=$((b1 - b0))"
        echo "sub_ticks=$((m1 - m0))"
        echo "backlog0=$(cat "$out/backlog0")"
        echo "backlog=$(cat "$out/backlog")"
    } >>"$out/measure"
    # The gateway's threads over the window: main.cpp starts the output's
    # thread just before the readers' (one each), so by thread id the
    # readers' are the last ones and the output's comes right before them.
    join "$out/threads0" "$out/threads1" | sort -n |
        awk -v hz="$ticks_per_second" -v s="$span" -v readers="${#hosts[@]}" '
            { tid[NR] = $1; d[NR] = $3 - $2 }
            END {
                out = NR - readers
                for (i = out + 1; i <= NR; i++) { r += d[i]; if (d[i] > best) best = d[i] }
                for (i = 1; i < out; i++) other += d[i]
                printf "output_ticks=%d\nreaders_ticks=%d\nother_ticks=%d\nreader_max_pct=%.0f\n",
                    d[out], r, other, 100 * best / hz / s
            }' >>"$out/measure"
}

# value NAME KEY: KEY of NAME's figures, pooled over its rounds: counts and
# CPU added up, times over every window, the busiest reader thread the
# busiest of any round, the backlog the last round's.
value() {
    local name=$1 key=$2
    case $key in
        p50 | p99 | max)
            if [[ ! -f $work/$name.pooled ]]; then
                local args
                mapfile -t args <"$work/$name.windows"
                python3 "$here/gate_measure.py" "${args[@]}" >"$work/$name.pooled"
            fi
            awk -F= -v k="$key" '$1 == k { print $2 }' "$work/$name.pooled" ;;
        reader_max_pct)
            cat "$work"/"$name"-*/measure | awk -F= -v k="$key" '$1 == k && $2 > m { m = $2 } END { print m + 0 }' ;;
        backlog0 | backlog)
            awk -F= -v k="$key" '$1 == k { print $2 }' "$work/$name-$rounds/measure" ;;
        *)
            cat "$work"/"$name"-*/measure | awk -F= -v k="$key" '$1 == k { s += $2 } END { printf "%.3f\n", s }' ;;
    esac
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
say "qdgate end to end: $readers virtual readers ($tags tags each, TCP, continuous searches) -> qdgate -> Mosquitto -> mosquitto_sub (QoS $sub_qos)"
say "  warm-up ${warmup} s, window ${window} s, $rounds round(s); load average before: $load on $(nproc) cores"
for ((r = 1; r <= rounds; r++)); do
    run "on-$r" "$work/store-$r.db"
    run "off-$r" ":memory:"
done

declare -A rate p50 p99 pmax cpu10k out10k readrate all_us ceiling
declare -A cores   # WHO-NAME: % of one core
for name in on off; do
    span=$(value "$name" span)
    events=$(value "$name" events)
    published=$(value "$name" published)
    rate[$name]=$(calc "printf \"%.0f\", $events / $span")
    readrate[$name]=$(calc "printf \"%.0f\", $(value "$name" read) / $span")
    cpu10k[$name]=$(calc "p = $published; printf \"%.3f\", (p > 0 ? $(value "$name" gate_ticks) / $ticks_per_second / p * 10000 : 0)")
    for who in gate sim broker sub output readers other; do
        cores[$who-$name]=$(calc "printf \"%.0f\", 100 * $(value "$name" "${who}_ticks") / $ticks_per_second / $span")
    done
    out10k[$name]=$(calc "p = $published; printf \"%.3f\", (p > 0 ? $(value "$name" output_ticks) / $ticks_per_second / p * 10000 : 0)")
    # Every process of the chain, per event that arrived, and how many
    # events per second this machine's cores could carry at that cost.
    all_us[$name]=$(calc "e = $events; printf \"%.0f\", (e > 0 ? 1e6 * ($(value "$name" gate_ticks) + $(value "$name" sim_ticks) + $(value "$name" broker_ticks) + $(value "$name" sub_ticks)) / $ticks_per_second / e : 0)")
    ceiling[$name]=$(calc "u = ${all_us[$name]}; printf \"%.0f\", (u > 0 ? $(nproc) * 1e6 / u : 0)")
    p50[$name]=$(value "$name" p50)
    p99[$name]=$(value "$name" p99)
    pmax[$name]=$(value "$name" max)
done

row() { printf '  %-44s %14s %14s\n' "$@"; }
say ""
row "" "store on" "store off"
row "events/s end to end (at the subscriber)" "${rate[on]}" "${rate[off]}"
row "tags/s read from the readers" "${readrate[on]}" "${readrate[off]}"
row "drain to arrival, median (ms)" "${p50[on]}" "${p50[off]}"
row "drain to arrival, 99th percentile (ms)" "${p99[on]}" "${p99[off]}"
row "drain to arrival, longest (ms)" "${pmax[on]}" "${pmax[off]}"
row "gateway CPU per 10,000 events published (s)" "${cpu10k[on]}" "${cpu10k[off]}"
row "  of which its output thread (s)" "${out10k[on]}" "${out10k[off]}"
row "CPU, % of one core: qdgate" "${cores[gate-on]}" "${cores[gate-off]}"
row "                    qdsim ($readers readers)" "${cores[sim-on]}" "${cores[sim-off]}"
row "                    mosquitto" "${cores[broker-on]}" "${cores[broker-off]}"
row "                    mosquitto_sub" "${cores[sub-on]}" "${cores[sub-off]}"
row "qdgate's threads, % of one core: output" "${cores[output-on]}" "${cores[output-off]}"
row "      the readers' together (busiest one)" "${cores[readers-on]} ($(value on reader_max_pct))" \
    "${cores[readers-off]} ($(value off reader_max_pct))"
row "      the others (main, metrics)" "${cores[other-on]}" "${cores[other-off]}"
row "CPU of all four per event arrived (us)" "${all_us[on]}" "${all_us[off]}"
row "  events/s $(nproc) cores could carry at that cost" "${ceiling[on]}" "${ceiling[off]}"
row "events kept in the store: window start, end" "$(value on backlog0), $(value on backlog)" \
    "$(value off backlog0), $(value off backlog)"
row "seq missing / repeated at the subscriber" "$(value on missing | cut -d. -f1) / $(value on repeated | cut -d. -f1)" \
    "$(value off missing | cut -d. -f1) / $(value off repeated | cut -d. -f1)"

rounds_of() {
    local r list=
    for ((r = 1; r <= rounds; r++)); do
        list+=" $(awk -F= '$1 == "rate" { print $2 }' "$work/$1-$r/measure")"
    done
    echo "${list# }"
}
say ""
say "  events/s of each round: store on $(rounds_of on); store off $(rounds_of off)"

rate_ratio=$(calc "printf \"%.3f\", (${rate[off]} > 0 ? ${rate[on]} / ${rate[off]} : 0)")
cpu_ratio=$(calc "printf \"%.3f\", (${cpu10k[off]} > 0 ? ${cpu10k[on]} / ${cpu10k[off]} : 0)")
rate_cost=$(calc "printf \"%.0f\", 100 * (1 - $rate_ratio)")
cpu_cost=$(calc "printf \"%.0f\", 100 * ($cpu_ratio - 1)")
say ""
say "  the store's cost: events/s on/off = $rate_ratio, CPU per 10k on/off = $cpu_ratio:"
say "    $rate_cost % fewer events/s, $cpu_cost % more CPU per event (below 0: none seen through this run's noise)"

verdict() { if calc "exit !($1)"; then echo met; else echo "not met"; fi; }
say ""
say "  aims (store on, as a gateway runs):"
say "    >= 20,000 events/s end to end:        ${rate[on]} events/s: $(verdict "${rate[on]} >= 20000")"
say "    store cost <= 20 %:                    events/s $rate_cost %: $(verdict "$rate_cost <= 20"); CPU per 10k $cpu_cost %: $(verdict "$cpu_cost <= 20")"
say "    99th percentile <= 250 ms (broker up): ${p99[on]} ms: $(verdict "${p99[on]} <= 250")"
exit 0
