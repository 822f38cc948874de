#!/usr/bin/env bash
# qdctl diag, the radio and hardware subcommands, against a virtual reader
# daemon on 127.0.13.40.  Run by ctest with QDSIM and QDCTL set; needs
# loopback up (the tests' private network namespace).
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.13.40
code=0x3c5a17e9

start_sim --antennas 3 --hops 902750,903250,903750 --host-info "service bench" --antenna-checks 7,8,9

# Each row: expected status | qdctl arguments | a pattern of standard output
# (or, for a failure, of standard error).  "U" stands for --unlock CODE.
rows=(
    "1|$address diag rf on 0|privilege gate is closed \(-2\): unlock it"
    "1|--unlock 0x1234 $address diag rf on 0|\(-2\)"
    "1|U --level 0 $address diag nop|\(-2\)"
    "0|U $address diag rf on 0|^rf: on$"
    "0|U $address diag --json rf off 1|^\{\"slot\":1,\"rf\":\"off\"\}$"
    "0|U $address diag txen on 0x1|^txen: on$"
    "0|U $address diag hops|^hops_khz: 902750 903250 903750$"
    "0|U $address diag --json hops --first 2|^\{\"count\":1,\"hops_khz\":\[903750\]\}$"
    "0|U $address diag hops set 915250 0x100|^hops_khz: 915250 256$"
    "0|U $address diag --json ants check 0|^\{\"slot\":0,\"antennas\":3,\"readings\":\[7,8,9\]\}$"
    "0|U $address diag ant set 0 2|^antenna: 2$"
    "0|U $address diag ant set 0 9|^antenna: 2$"
    "0|U $address diag ant current|^antenna_id: 2$"
    "0|U $address diag power up 0 2550|^power_hundredths: 2550$"
    "0|U $address diag power get 0|^power_hundredths: 2550$"
    "1|U $address diag power up 1 2550|ERROR_REMOTE \(-102\)"
    "0|U $address diag hostinfo|^info1: service bench$"
    "0|U $address diag --json hwid|^\{\"selector\":0,\"hardware\":\"virtual radio\"\}$"
    "0|U $address diag debug 0xFFFFFFFF|^debug_level: 4294967295$"
    "0|U $address diag debug|^debug_level: 4294967295$"
    "2|U $address diag hop-forced 2|above 1"
    "2|U $address diag bogus|unknown diag subcommand 'bogus'"
    "2|--unlock $address diag nop|bad access code|needs a value"
    "0|$address diag --help|^  ants check SLOT$"
)

for row in "${rows[@]}"; do
    IFS='|' read -r want args pattern <<<"$row"
    args=${args/#U /--unlock $code }
    stream=$work/out
    [[ $want != 0 ]] && stream=$work/err
    # shellcheck disable=SC2086
    if q "$want" $args && grep -qE -- "$pattern" "$stream"; then
        ok "qdctl $args"
    else
        failed=$((failed + 1))
        echo "FAILED: qdctl $args (status $rc, expected $want, /$pattern/)"
        sed 's/^/    out: /' "$work/out"
        sed 's/^/    err: /' "$work/err"
    fi
done

report
