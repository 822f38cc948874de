#!/usr/bin/env bash
# qdctl's radio commands against a virtual reader daemon on 127.0.10.4.  Run
# by ctest with QDSIM and QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.10.4
start_sim --hwid1 0x20002 --hwtext1 'second "radio"' --antennas 3 --max-power 3100 \
    --region 'EU 2'

t "power" 0 $'slot 0: 20.00\nslot 1: 20.00\nantenna 0: 20.00\nantenna 1: 20.00\nantenna 2: 20.00\nin use: 0.00 (antenna 0)\nmaximum: 31.00' power
t "power --json" 0 '{"slots":[{"slot":0,"power":20.0},{"slot":1,"power":20.0}],"antennas":[{"antenna":0,"power":20.0},{"antenna":1,"power":20.0},{"antenna":2,"power":20.0}],"in_use":{"antenna":0,"power":0.0},"max":31.0}' power --json
t "info" 0 $'*\nslot 0: 0x00010001 virtual radio\nslot 1: 0x00020002 second "radio"\nregion: EU 2\npower: slot 0 20.00, slot 1 20.00, in use 0.00 (antenna 0), maximum 31.00' info
t "info --json" 0 '*"hardware":[{"hwid":65537,"text":"virtual radio"},{"hwid":131074,"text":"second \"radio\""}],"region":"EU 2",*' \
    info --json
# Powers are sent in hundredths, truncated: 20.3 arrives as 20.29.
t "power set: both slots, as the reader holds them" 0 $'slot 0: 20.29\nslot 1: 20.29' power set 20.3
t "power set: the reader keeps to its maximum, and says so" 0 '{"asked":33.0,"set":[{"target":"slot 1","power":31.0}]}' \
    power set --slot 1 40 --json
t "power set: the power asked for beside the one held" 0 'antenna 2: 31.00 (asked 33.00)' power set --antenna 2 40
t "the reader keeps to its maximum" 0 $'slot 0: 20.29\nslot 1: 31.00*' power
t "power set on an antenna not connected" 1 "err:qdctl: power set: set_antenna_tx_power: $address: ERROR_INVALID_ANTENNA" \
    power set --antenna 5 10
t "protocols" 0 "0 NULL" protocols
t "protocols set" 0 $'8 ISO18000-6B\n12 GEN2' protocols set gen2 8=on NULL=off
t "protocols --json" 0 '{"protocols":[{"id":8,"name":"ISO18000-6B"},{"id":12,"name":"GEN2"}]}' protocols --json
t "protocols set of nothing" 0 "0 NULL" protocols set
t "antennas" 0 '{"antennas":[0,1,2]}' antennas --json
t "region" 0 '{"region":"EU 2"}' region --json
t "rf-state" 0 "0x00000000" rf-state
t "an unknown protocol" 2 "err:qdctl: unknown protocol 'FROB'*" protocols set FROB
t "more than the reader's list holds" 2 "err:qdctl: too many protocols*" protocols set {100..116}
t "slot 2" 2 "err:qdctl: slot '2' is above 1*" power set --slot 2 10
t "--slot and --antenna" 2 "err:*not both*" power set --slot 0 --antenna 1 10
report
