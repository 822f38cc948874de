#!/usr/bin/env bash
# qdctl against a virtual reader daemon on 127.0.0.40.  Run by ctest with
# QDSIM and QDCTL set (the programs under test); needs loopback up, which the
# private network namespace that the tests run in provides.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.0.40
need_loopback

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
# qdctl is built on the library's public interface alone: the build's check
# refuses an include path into sim/ and a file included by a path.

if [[ -n ${QD_SOURCE_DIR:-} ]] && command -v cmake >/dev/null; then
    # check_tools DIR... -- SOURCE...: runs the check; output in $work/err.
    check_tools() {
        local dirs=() sources=()
        while (($#)) && [[ $1 != -- ]]; do dirs+=("$1"); shift; done
        shift
        sources=("$@")
        printf '%s\n' "${dirs[@]}" >"$work/dirs.txt"
        local IFS=';'
        cmake -DTARGET=qdctl -DDIRS="$work/dirs.txt" -DFORBIDDEN="$QD_SOURCE_DIR/sim" \
            -DSOURCES="${sources[*]}" -DSTAMP="$work/check.stamp" \
            -P "$QD_SOURCE_DIR/cmake/check_include_path.cmake" >"$work/out" 2>"$work/err"
    }
    printf '#include "qdapi.h"\n#include "cli.h"\n' >"$work/good.cpp"
    printf '#include <vector>\n#include "../sim/tag_memory.h"\n' >"$work/bad.cpp"

    t="qdctl's own files and the public include directory pass the check"
    if check_tools "$QD_SOURCE_DIR/include" "$QD_SOURCE_DIR/tools" -- "$QD_SOURCE_DIR"/tools/*.cpp \
        "$QD_SOURCE_DIR"/tools/*.h "$work/good.cpp"; then ok "$t"; else not_ok "$t"; fi

    t="an include directory in sim/ stops the build"
    if ! check_tools "$QD_SOURCE_DIR/include" "$QD_SOURCE_DIR/sim/" -- "$work/good.cpp" &&
        err_has "include directory $QD_SOURCE_DIR/sim/ is in"; then ok "$t"; else not_ok "$t"; fi

    t="a file included by a relative path stops the build"
    if ! check_tools "$QD_SOURCE_DIR/include" -- "$work/bad.cpp" &&
        err_has 'bad.cpp includes "../sim/tag_memory.h" by path'; then ok "$t"; else not_ok "$t"; fi
fi

# ---------------------------------------------------------------------------
# Readers that cannot be reached: exit status 1 with the reason.

t="an unknown host fails with status 1"
if q 1 no-such-reader.invalid info && err_has '^qdctl: open no-such-reader.invalid: '; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="an address without a reader fails with ERROR_REMOTE"
if q 1 "$address" info && err_has "^qdctl: open $address: ERROR_REMOTE: nothing answers at $address \\(refused at once\\)$"; then
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

# ---------------------------------------------------------------------------
# A reader with two known tags and three random ones.

t="usage errors of tag"
if q 2 "$address" tag && err_has 'no OPERATION' &&
    q 2 "$address" tag frob 3000ABCD && err_has "unknown tag operation 'frob'" &&
    q 2 "$address" tag read 3000ABCD user 0 && err_has 'read TAG-ID AREA ADDRESS COUNT' &&
    q 2 "$address" tag read 300 user 0 1 && err_has 'not whole 16-bit words' &&
    q 2 "$address" tag read 30G0ABCD user 0 1 && err_has 'bad hex digit' &&
    q 2 "$address" tag write 3000ABCD user 0 ABC && err_has 'not whole 16-bit words' &&
    q 2 "$address" tag read 3000ABCD user 0 1025 && err_has 'above 1024' &&
    q 2 "$address" tag kill 3000ABCD 123456789 && err_has 'bad password' &&
    q 2 "$address" tag read --id-bits 64 3000ABCD user 0 1 && err_has '64 bits is written with 4 words' &&
    q 2 "$address" tag read --new-id-bits 8 3000ABCD user 0 1 && err_has 'for tag write-id'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

start_sim --tag E2000000000000000000A001 --tag 3000ABCD/32 --tags 3 --seed 5

known1='^E2000000000000000000A001 tag_word1=[0-9]+ tag_word2=[0-9]+ tag_word3=[0-9]+ count1=[0-9]+ count2=[0-9]+ count3=[0-9]+ value=[0-9]+$'
known2='^3000ABCD tag_word1=0 tag_word2=0 tag_word3=0 count1=0 count2=0 count3=0 value=0$'
any_tag='^[0-9A-F]+( [a-z0-9_]+=[0-9]+){7}$'
summary='tags in [0-9]+\.[0-9]{3} s \([0-9]+\.[0-9] tags/s\)$'

t="inventory prints every tag and a summary"
if q 0 "$address" inventory && out_has "$known1" && out_has "$known2" &&
    [[ $(grep -cE "$any_tag" "$work/out") == 5 ]] && out_has "^5 $summary" &&
    [[ $(wc -l <"$work/out") == 6 ]] && [[ ! -s $work/err ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="inventory --json prints one JSON object per tag, the summary on standard error"
json='^\{"id":"[0-9A-F]+","id_bits":[0-9]+,"word1":[0-9]+,"word2":[0-9]+,"word3":[0-9]+,"count1":[0-9]+,"count2":[0-9]+,"count3":[0-9]+,"value":[0-9]+\}$'
if q 0 "$address" inventory --json && [[ $(grep -cE "$json" "$work/out") == 5 ]] &&
    [[ $(wc -l <"$work/out") == 5 ]] && out_has '^\{"id":"3000ABCD","id_bits":32,' &&
    out_has '^\{"id":"E2000000000000000000A001","id_bits":96,' && err_has "^5 $summary"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
if command -v python3 >/dev/null; then
    t="inventory --json lines parse as JSON"
    if python3 -c 'import json, sys; [json.loads(l) for l in open(sys.argv[1])]' "$work/out"; then
        ok "$t"; else not_ok "$t"; fi
fi

t="inventory over TCP, with search parameters and --reset"
if q 0 --tcp "$address" inventory --reset --a-values 1,0x2 --b-values 3 --b-count 1 --span 7 &&
    out_has "$known2" && out_has "^5 $summary"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

if command -v script >/dev/null; then
    t="inventory on a terminal shows a progress line that it rewrites and clears"
    script -qec "$QDCTL $address inventory" /dev/null >"$work/out" 2>"$work/err" </dev/null || true
    progress=no
    grep -q $'\r''search' "$work/out" && progress=yes
    sed -i 's/\r$//' "$work/out"    # the terminal ends lines with CR LF
    if [[ $progress == yes ]] && out_has "3000ABCD tag_word1=" && out_has "^5 $summary"; then
        ok "$t"; else not_ok "$t"; fi
fi

t="inventory gives up after --timeout"
if q 1 "$address" inventory --timeout 0 && err_has '^qdctl: inventory: (the search did not end|no result) within 0 s'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="inventory --timeout bounds the command when the reader freezes in the middle of a call"
kill -STOP "$sim_pid"
started=$SECONDS
q 1 "$address" inventory --timeout 1 || true
kill -CONT "$sim_pid"
if [[ $rc == 1 ]] && ((SECONDS - started < 20)) && err_has '^qdctl: inventory: no result within 1 s'; then
    ok "$t"; else not_ok "$t" "status $rc after $((SECONDS - started)) s"; fi

t="tag write then read returns the words written"
if q 0 "$address" tag write 3000ABCD user 1 beef0102 && [[ ! -s $work/out ]] &&
    q 0 "$address" tag read 3000ABCD user 0 4 && [[ $(cat "$work/out") == 0000BEEF01020000 ]] &&
    q 0 --tcp "$address" tag read 3000ABCD 3 2 0x1 && [[ $(cat "$work/out") == 0102 ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="the AREA names are the reader's area numbers 0 to 3"
if q 0 "$address" tag write 3000ABCD reserved 5 A000 && q 0 "$address" tag write 3000ABCD identity 5 A001 &&
    q 0 "$address" tag write 3000ABCD tid 5 A002 && q 0 "$address" tag write 3000ABCD user 5 A003 &&
    q 0 "$address" tag read 3000ABCD 0 5 1 && [[ $(cat "$work/out") == A000 ]] &&
    q 0 "$address" tag read 3000ABCD 1 5 1 && [[ $(cat "$work/out") == A001 ]] &&
    q 0 "$address" tag read 3000ABCD 2 5 1 && [[ $(cat "$work/out") == A002 ]] &&
    q 0 "$address" tag read 3000ABCD 3 5 1 && [[ $(cat "$work/out") == A003 ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="tag read of a 96-bit identity, with and without --id-bits"
if q 0 "$address" tag write E2000000000000000000A001 tid 0 0x1234 &&
    q 0 "$address" tag read --id-bits 96 E2000000000000000000A001 tid 0 1 && [[ $(cat "$work/out") == 1234 ]] &&
    q 0 "$address" tag read E2000000000000000000a001 tid 0 1 && [[ $(cat "$work/out") == 1234 ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="tag operations on a tag that is not there fail with the reader's status"
if q 1 "$address" tag write 3000ABCE user 0 0001 && err_has "^qdctl: tag write 3000ABCE: tagdata_write: $address: ERROR_NO_RESPONSE$" &&
    q 1 "$address" tag read 3000ABCE user 0 1 && err_has "^qdctl: tag read 3000ABCE: tagdata_read: $address: ERROR_REMOTE" &&
    q 1 "$address" tag read --id-bits 31 3000ABCD user 0 1; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="a wrong password fails with ERROR_VERIFY_FAILURE"
if q 1 "$address" tag lock 3000ABCD user 1 && err_has "^qdctl: tag lock 3000ABCD: tagdata_lock: $address: ERROR_VERIFY_FAILURE$"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="tag passwd, then lock with the new password: the area can no longer be written"
if q 0 "$address" tag passwd 3000ABCD 0 0x1234ABCD &&
    q 1 "$address" tag lock 3000ABCD user 0 && err_has 'ERROR_VERIFY_FAILURE' &&
    q 0 "$address" tag lock 3000ABCD user 1234abcd &&
    q 1 "$address" tag write 3000ABCD user 0 0000 && err_has "^qdctl: tag write 3000ABCD: tagdata_write: $address: ERROR_UNABLE_TO_COMPLY$" &&
    q 0 "$address" tag read 3000ABCD user 1 1 && [[ $(cat "$work/out") == BEEF ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="tag write-id renames the tag, lock-id keeps the new name"
if q 0 "$address" tag write-id 3000ABCD 11112222 &&
    q 0 "$address" tag read 11112222 user 1 1 && [[ $(cat "$work/out") == BEEF ]] &&
    q 0 "$address" inventory && out_has '^11112222 ' && ! out_has '^3000ABCD ' &&
    q 0 "$address" tag lock-id 11112222 1234ABCD &&
    q 1 "$address" tag write-id 11112222 3333 && err_has 'ERROR_UNABLE_TO_COMPLY' &&
    q 0 "$address" tag write-id --new-id-bits 24 E2000000000000000000A001 ABCDEF00 &&
    q 0 "$address" inventory --json && out_has '^\{"id":"ABCDEF00","id_bits":24,'; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

t="tag kill silences the tag"
if q 1 "$address" tag kill 11112222 0 && err_has 'ERROR_VERIFY_FAILURE' &&
    q 0 "$address" tag kill 11112222 1234ABCD &&
    q 1 "$address" tag read 11112222 user 0 1 &&
    q 0 "$address" inventory && ! out_has '^11112222 ' && out_has "^4 $summary"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi

stop_sim

# ---------------------------------------------------------------------------
# A scene from a file, and identities that are not whole words.
cat >"$work/field" <<'FIELD'
# identity        what else the tag carries
ABCD/12 user=00010002 password=12 count1=010
/0      word1=0x10
FIELD
start_sim --field "$work/field"

t="a tag field from a file: identities, memory and counters as given"
if q 0 "$address" inventory && out_has '^ABCD/12 tag_word1=0 .* count1=10 ' && out_has '^tag_word1=16 ' &&
    q 0 "$address" tag read --id-bits 12 ABCD user 0 2 && [[ $(cat "$work/out") == 00010002 ]] &&
    q 0 "$address" tag read --id-bits 12 ABCD identity 0 1 && [[ $(cat "$work/out") == ABCD ]]; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

# ---------------------------------------------------------------------------
# A reader that misbehaves as its command line asks.
start_sim --tags 2 --verbose --fault get_hwid:wrong_xid:100 --fault tagdb_pop:error_reply:0:1

t="qdsim --fault: the calls named get their fault, the reader serves on"
if q 1 "$address" inventory && q 0 "$address" inventory --reset && [[ $(grep -cE "$any_tag" "$work/out") == 2 ]] &&
    grep -qE ': tagdb_pop udp [0-9.:]+ error_reply$' "$work/sim.log" &&
    grep -qE ': get_hwid udp [0-9.:]+ wrong_xid$' "$work/sim.log"; then
    ok "$t"; else not_ok "$t" "status $rc"; fi
stop_sim

t="--version"
if [[ $("$QDCTL" --version) =~ ^qdctl\ [0-9]+\.[0-9]+\.[0-9]+\ \(libqdapi\ [0-9]+\.[0-9]+\.[0-9]+\)$ ]] &&
    [[ $("$QDSIM" --version) =~ ^qdsim\ [0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    ok "$t"; else not_ok "$t"; fi

report
