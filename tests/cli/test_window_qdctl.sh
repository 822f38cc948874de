#!/usr/bin/env bash
# qdctl inventory and watch take the tags through the library's drain with
# several calls in flight (--window): against a virtual reader on
# 127.0.77.1, every window gives the tags of the reader's field, each once,
# in the order a window of 1 gives them; a drain that fails says how many
# tags may have been lost.  Also --version.  Run by ctest with QDSIM and
# QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.77.1
need_loopback

windows=(1 8 256)
summary='^[0-9]+ tags in [0-9]+\.[0-9]{3} s \([0-9]+\.[0-9] tags/s\)$'

# tags FILE: the tag lines of an output, without the summary.
tags() { grep -vE "$summary" "$1" || true; }
# ids FILE: the identities of the tags of an output, sorted.
ids() { tags "$1" | cut -d' ' -f1 | sort; }

# field N: a field file of N tags whose identities and count1 are their
# number, so the whole field is known: the reader hands the tags out in the
# file's order, which is also the order of their identities.  The lines
# inventory prints for them in $work/field.tags, their identities in
# $work/field.ids.
field() {
    local k
    : >"$work/field"
    : >"$work/field.tags"
    for ((k = 0; k < $1; k++)); do
        printf 'E2%022X count1=%d\n' "$k" "$k" >>"$work/field"
        printf 'E2%022X tag_word1=0 tag_word2=0 tag_word3=0 count1=%d count2=0 count3=0 value=0\n' "$k" "$k" \
            >>"$work/field.tags"
    done
    cut -d' ' -f1 "$work/field" >"$work/field.ids"
}

# ---------------------------------------------------------------------------
# --version: qdctl's and the library's, the one built against and the one
# loaded being the same here.

t="--version names qdctl's version and the library's"
if q 0 --version && [[ $(wc -l <"$work/out") == 1 ]] &&
    out_has '^qdctl [0-9]+\.[0-9]+\.[0-9]+ \(libqdapi [0-9]+\.[0-9]+\.[0-9]+\)$'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
if [[ -n ${QD_SOURCE_DIR:-} ]]; then
    header=$(sed -nE 's/^#define QDAPI_VERSION "([^"]+)"$/\1/p' "$QD_SOURCE_DIR/include/qdapi/errors.h")
    project=$(sed -nE 's/^project\(qdapi VERSION ([0-9.]+).*/\1/p' "$QD_SOURCE_DIR/CMakeLists.txt")
    t="--version: the project's version for qdctl, the header's for the library"
    if q 0 --version && [[ -n $header && -n $project ]] &&
        [[ $(cat "$work/out") == "qdctl $project (libqdapi $header)" ]]; then
        ok "$t"; else not_ok "$t" "header '$header', project '$project'"; fi
fi

# ---------------------------------------------------------------------------
# Bad windows: usage errors before anything is asked of a reader.

for command in inventory watch; do
    for bad in 0 257 -1 1.5 0x101 x "" " 8" 99999999999999999999; do
        t="$command --window '$bad' is bad usage"
        if q 2 "$address" "$command" --window "$bad" && err_has 'window' &&
            err_has "^usage: qdctl \[OPTIONS\] HOST $command "; then ok "$t"; else not_ok "$t" "status $rc"; fi
    done
    t="$command --window without a value is bad usage"
    if q 2 "$address" "$command" --window && err_has 'needs a value'; then ok "$t"; else not_ok "$t" "status $rc"; fi
    t="$command --help names --window"
    if q 0 "$address" "$command" --help && out_has -- '--window N'; then ok "$t"; else not_ok "$t" "status $rc"; fi
done

# ---------------------------------------------------------------------------
# inventory: fields around the chunk of 256 tags and its multiples, every
# window, both transports.

for size in 0 1 255 256 257 513 600; do
    field "$size"
    start_sim --field "$work/field"
    for transport in udp tcp; do
        opts=()
        [[ $transport == tcp ]] && opts=(--tcp)
        q 0 "${opts[@]}" "$address" inventory --window 1 || true
        cp "$work/out" "$work/one"
        t="$size tags over $transport at --window 1: the field, each tag once, in order"
        if [[ $rc == 0 ]] && diff -q <(tags "$work/one") "$work/field.tags" >/dev/null &&
            grep -qE "^$size tags in " "$work/one"; then ok "$t"; else not_ok "$t" "status $rc"; fi
        for window in "${windows[@]:1}"; do
            t="$size tags over $transport at --window $window: the field, each tag once, in order"
            if q 0 "${opts[@]}" "$address" inventory --window "$window" &&
                diff -q <(tags "$work/out") "$work/field.tags" >/dev/null && out_has "^$size tags in "; then
                ok "$t"; else not_ok "$t" "status $rc"; fi
        done
    done
    stop_sim
done

# The random field of --tags/--seed beside two known tags; also --json and
# a window given as hex.
start_sim --tags 300 --seed 9 --tag 3000ABCD/32 --tag E2000000000000000000A001
q 0 "$address" inventory --window 1 || true
cp "$work/out" "$work/one"
t="--tags 300 --seed 9 at --window 1: 302 distinct tags with the known ones"
if [[ $rc == 0 ]] && [[ $(ids "$work/one" | uniq | wc -l) == 302 ]] && grep -qE '^302 tags in ' "$work/one" &&
    grep -q '^3000ABCD tag_word1=0 ' "$work/one" && grep -q '^E2000000000000000000A001 ' "$work/one"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
for window in 8 0x100 256; do
    t="--tags 300 --seed 9 at --window $window: as at --window 1"
    if q 0 "$address" inventory --window "$window" && diff -q <(tags "$work/out") <(tags "$work/one") >/dev/null; then
        ok "$t"; else not_ok "$t" "status $rc"; fi
done
q 0 "$address" inventory --json --window 1 || true
cp "$work/out" "$work/one.json"
t="inventory --json at --window 256: as at --window 1"
if q 0 "$address" inventory --json --window 256 && [[ $(wc -l <"$work/out") == 302 ]] &&
    cmp -s "$work/out" "$work/one.json"; then ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

# ---------------------------------------------------------------------------
# watch: every tag of the field is printed once, whatever the window.

field 300
start_sim --field "$work/field"
for window in "${windows[@]}"; do
    t="watch --window $window prints every tag of the field once"
    if q 0 "$address" watch --duration 0.5 --a-values 1 --span 100 --window "$window" &&
        diff -q <(grep -E '^E2[0-9A-F]{22} ' "$work/out" | cut -d' ' -f1 | sort) <(sort "$work/field.ids") >/dev/null &&
        out_has '^300 tags, [0-9]+ sightings in '; then ok "$t"; else not_ok "$t" "status $rc"; fi
done
stop_sim

# ---------------------------------------------------------------------------
# A drain that fails part way: the tags that came are printed, then what
# may have been lost, with status 1 and no summary.  The reader refuses the
# 11th and 12th call for a tag (an RPC error reply); the calls in flight
# beside them may still bring theirs.

# came_in_order: the tags printed are the field's first 10, then tags of the
# field, each once and in the field's order.
came_in_order() {
    tags "$work/out" >"$work/came"
    diff -q <(head -n 10 "$work/came") <(head -n 10 "$work/field.tags") >/dev/null &&
        diff -q "$work/came" <(sort -u "$work/came") >/dev/null &&
        [[ -z $(comm -23 "$work/came" <(sort "$work/field.tags")) ]]
}

field 40
for window in 1 8; do
    start_sim --field "$work/field" --fault tagdb_pop:error_reply:0:2:10
    t="inventory --window $window: a failed drain tells the tags that may have been lost"
    if q 1 "$address" inventory --window "$window" &&
        err_has "^qdctl: tagdb_pop_many: $address: ERROR_REMOTE: .*: ([0-9]+ calls|1 call) went unanswered, so (up to [0-9]+ tags|1 tag) may have been lost$" &&
        [[ $(wc -l <"$work/err") == 1 ]] && ! out_has "$summary" && came_in_order; then
        ok "$t"; else not_ok "$t" "status $rc"; fi
    stop_sim
done
start_sim --field "$work/field" --fault tagdb_pop:error_reply:0:1:10
t="inventory --window 1: one call refused is one tag that may have been lost, after the 10 that came"
if q 1 "$address" inventory --window 1 && came_in_order && [[ $(wc -l <"$work/came") == 10 ]] &&
    err_has ': 1 call went unanswered, so 1 tag may have been lost$'; then ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

# ---------------------------------------------------------------------------
# region through the sized call: a name longer than the first room qdctl
# gives it comes whole.

long=$(printf 'R%.0s' {1..300})
start_sim --region "$long"
t="a region name of 300 characters comes whole"
if q 0 "$address" region && [[ $(cat "$work/out") == "$long" ]] &&
    q 0 "$address" info && out_has "^region: $long$"; then ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

report
