#!/usr/bin/env bash
# One rule for every number qdctl takes: decimal, or hexadecimal after 0x;
# a leading zero is decimal.  Each row goes through a different command's
# option or argument, against a virtual reader on 127.0.20.2.  Run by ctest
# with QDSIM and QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.20.2
code=0x3c5a17e9
need_loopback

start_sim --antennas 16

# Each row: expected status | qdctl arguments (H: the host; U: --unlock CODE)
# | a pattern of standard output, or of standard error for a failure.
rows=(
    "0|U H diag --json leds 010 0x1F|^\{\"mask\":10,\"value\":31\}$"
    "0|U H diag --json leds 0X0a 00|^\{\"mask\":10,\"value\":0\}$"
    "0|U H diag --json leds 08 09|^\{\"mask\":8,\"value\":9\}$"
    "0|U H diag --json gain set 0 -010|\"rx_gain\":-10\}$"
    "0|U H diag --json gain set 0 -0x10|\"rx_gain\":-16\}$"
    "0|U H diag --json gain set 0 -2147483648|\"rx_gain\":-2147483648\}$"
    "2|U H diag gain set 0 2147483648|gain '2147483648' is not within -2147483648..2147483647"
    "0|U H diag --json hops set 0915250 0x100|\"hops_khz\":\[915250,256\]\}$"
    "0|U H diag --json debug 0xFFFFFFFF|^\{\"debug_level\":4294967295\}$"
    "2|U H diag debug 0x100000000|level '0x100000000' is above 4294967295"
    "0|--unlock 0X3C5A17E9 H diag --json nop|^\{\"nop\":\"done\"\}$"
    "0|H stats --antenna 011 --json|^\{\"antennas\":\[\{\"antenna\":11,"
    "0|H power set --antenna 07 10|^antenna 7: 10\.00$"
    "2|H power set --antenna 08 10|antenna '08' is above 7"
    "0|H power set --slot 0x0 12.5|^slot 0: 12\.50$"
    "2|H power set --slot 1 0x10|bad power '0x10'"
    "2|H inventory --span 0x|bad span '0x'"
    "2|H inventory --span 0x1G|bad span '0x1G'"
    "2|H inventory --span +5|bad span '\+5'"
    "2|H inventory --span -0|bad span '-0'"
    "2|H inventory --span 1e3|bad span '1e3'"
    "2|H inventory --span 65536|span '65536' is above 65535"
    "2|H inventory --span 99999999999999999999999|span '99999999999999999999999' is above 65535"
    "0|H inventory --span 0065535|^0 tags in "
    "2|H inventory --a-values 1,012,x|bad a value 'x'"
    "2|H watch --duration 0x10|bad duration '0x10'"
    "2|H watch --duration 1e1|bad duration '1e1'"
    "2|H watch --duration -1|bad duration '-1'"
    "0|--timeout 010 H region|^US$"
    "2|--timeout 0 H region|--timeout must be above 0"
)

for row in "${rows[@]}"; do
    IFS='|' read -r want args pattern <<<"$row"
    args=${args/#U /--unlock $code }
    args=${args/ H / $address }
    args=${args/#H /$address }
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
