#!/usr/bin/env bash
# qdctl watch against a virtual reader daemon on 127.0.12.8: a continuous
# inventory on an automatic search, ended by the search's duration or by
# SIGINT.  Run by ctest with QDSIM and QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.12.8
# lines PATTERN [out|err]: how many lines of qdctl's output match.
lines() { grep -cE -- "$1" "$work/${2:-out}" || true; }

start_sim --tags 5 --seed 11 --verbose

# ---------------------------------------------------------------------------
# Usage

t="--help lists watch"
if q 0 --help && out_has 'HOST watch'; then ok "$t"; else not_ok "$t" "status $rc"; fi

t="watch --help names its options"
if q 0 "$address" watch --help && out_has '--duration' && out_has '--run-time' && out_has '--all'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

for bad in "--stop 2 --duration 1" "--stop 0" "--period -1" "--duration soon" "--a-count 17"; do
    t="watch $bad is bad usage"
    # shellcheck disable=SC2086
    if q 2 "$address" watch $bad && err_has 'usage: qdctl'; then ok "$t"; else not_ok "$t" "status $rc"; fi
done

# ---------------------------------------------------------------------------
# Searches that end by themselves

t="watch --duration prints each tag once and a summary"
if q 0 "$address" watch --duration 0.6 --a-values 1 --span 100 &&
    [[ $(lines '^[0-9A-F]{24} tag_word1=') == 5 ]] &&
    [[ $(sort "$work/out" | grep -E '^[0-9A-F]{24} ' | cut -d' ' -f1 | uniq | wc -l) == 5 ]] &&
    out_has '^5 tags, [0-9]+ sightings in [0-9.]+ s \([0-9.]+ sightings/s\)$'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="the duration reaches the reader as the search's time"
if grep -q "detailed_read_start" "$work/sim.log"; then ok "$t"; else not_ok "$t" "no detailed_read_start"; fi

t="watch --all --json prints every sighting with its count; the summary on stderr"
if q 0 "$address" watch --duration 0.5 --a-values 1 --span 100 --all --json &&
    [[ $(lines '^\{"id":"[0-9A-F]{24}","id_bits":96,.*"seen":1\}$') == 5 ]] &&
    (($(lines '"seen":2\}$') == 5)) &&
    ! out_has 'sightings in' && err_has '^5 tags, [0-9]+ sightings in'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="watch --start waits for the start"
if q 0 "$address" watch --start 1 --duration 0.3 --a-values 1 --span 100 &&
    out_has '^5 tags, [0-9]+ sightings in (1\.[3-9]|[2-9]\.)[0-9]* s'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

# ---------------------------------------------------------------------------
# A search without end, ended by SIGINT

t="SIGINT stops the search on the reader and prints the summary"
before=$(grep -c 'detailed_read_stop' "$work/sim.log" || true)
# The previous output goes first: only a line of this watch says that it
# is past its registration, where SIGINT is its own.
rm -f "$work/out"
"$QDCTL" "$address" watch --a-values 1 --span 50 >"$work/out" 2>"$work/err" </dev/null &
watch_pid=$!
for ((i = 0; i < 100; i++)); do
    grep -qE '^[0-9A-F]{24} ' "$work/out" 2>/dev/null && break
    sleep 0.05
done
kill -INT "$watch_pid"
set +e
wait "$watch_pid"
rc=$?
set -e
after=$(grep -c 'detailed_read_stop' "$work/sim.log" || true)
if [[ $rc == 0 ]] && out_has '^5 tags, [0-9]+ sightings in' && ((after == before + 1)); then
    ok "$t"; else not_ok "$t" "status $rc, stops $before -> $after"; fi

# ---------------------------------------------------------------------------
# Failures

t="a reader that is not there fails with status 1"
stop_sim
if q 1 "$address" watch --duration 0.2 && err_has '^qdctl: open 127\.0\.12\.8: '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

report
