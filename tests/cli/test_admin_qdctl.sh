#!/usr/bin/env bash
# qdctl's administration commands against a virtual reader daemon on
# 127.0.11.10.  Run by ctest with QDSIM and QDCTL set; needs loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.11.10
start_sim --state "$work/state" --reboot-time 300 --fw-update-time 600 --gpio-inputs 5 \
    --firmware-version 2.0.0 --os-version 'test os' --tags 3

zeros14="stat1=0 stat2=0 stat3=0 stat4=0 stat5=0 stat6=0 stat7=0 stat8=0 stat9=0 stat10=0 stat11=0 stat12=0 stat13=0 stat14=0"
zeros13="stat1=0 stat2=0 stat3=0 stat4=0 stat5=0 stat6=0 stat7=0 stat8=0 stat9=0 stat10=0 stat11=0 stat12=0 stat13=0"

# The parameter store.
t "params list" 0 $'description\ngateway\nhostname\nip_address\nnetmask\ntime_zone' params list
t "params get" 0 "qdsim" params get hostname
t "params get --json" 0 '{"name":"hostname","value":"qdsim"}' params get hostname --json
t "params set" 0 "" params set location 'dock "4"'
t "params lookup" 0 'location=dock "4"' params lookup loc
t "params list --values --json" 0 '{"description":"virtual reader",*"location":"dock \"4\"",*}' \
    params list --values --json
t "params commit" 0 "" params commit
grep -q $'^location\tdock "4"$' "$work/state" || { failed=$((failed + 1)); echo "FAILED: state file"; cat "$work/state"; }
t "params remove" 0 "" params remove location
t "a removed parameter reads empty" 0 "" params get location
t "params load takes one back" 0 "" params load location
t "params get after load" 0 'dock "4"' params get location
t "params log" 0 "" params log hostname
t "params set --flag" 0 "" params set --flag 1 saved-at-once yes
t "params load-all" 0 "" params load-all
t "an unknown params operation" 2 "err:qdctl: unknown params operation 'frob'*" params frob
t "params get without a name" 2 "err:qdctl: usage: params get NAME*" params get

# Named settings.
t "config get one" 0 "tagop-retry-timeout-ms: 1000" config get tagop-retry-timeout-ms
t "config get all" 0 $'tagop-retry-timeout-ms: 1000\nepc1-96-bit-support: 1\nepc0-search-depth: 3\nepc0-deghost: 0\nepc0-deghost-len: 0\nepc1-deghost: 0\nsynch-regulatory-timeout: 0' \
    config get
t "config set keeps 16 bits" 0 "" config set tagop-retry-timeout-ms 70000
t "config get after set" 0 "tagop-retry-timeout-ms: 4464" config get tagop-retry-timeout-ms
t "config set a negative depth" 0 "" config set epc0-search-depth -3
t "config set a flag" 0 "" config set epc0-deghost yes
t "config get --json" 0 '{"tagop-retry-timeout-ms":4464,"epc1-96-bit-support":1,"epc0-search-depth":-3,"epc0-deghost":1,*}' \
    config get --json
t "an unknown setting" 2 "err:qdctl: unknown setting 'frob'*" config set frob 1
t "a bad flag" 2 "err:qdctl: bad value for epc0-deghost 'maybe'*" config set epc0-deghost maybe

# Statistics.
t "stats of a fresh reader" 0 $"antenna 0: $zeros14"$'\n'"antenna 1: $zeros14"$'\n'"source: $zeros13" stats
"$QDCTL" "$address" inventory >/dev/null
t "stats count a search" 0 "antenna 0: stat1=1 stat2=*"$'\n'"antenna 1: stat1=1 stat2=*" stats
t "stats --antenna --json" 0 '{"antennas":[{"antenna":1,"stats":[1,*]}],"source":[0,0,0,0,0,0,0,0,0,0,0,0,0]}' \
    stats --antenna 1 --json
t "stats --reset prints, then clears" 0 "antenna 0: stat1=1*" stats --reset
t "stats after the reset" 0 "antenna 0: $zeros14*" stats

# GPIO.
t "gpio get a high input" 0 "1" gpio get 0
t "gpio get a low input" 0 "0" gpio get 1
t "gpio set an output" 0 "" gpio set 4 1
t "gpio get it back" 0 "1" gpio get 4
t "gpio set an input" 1 "err:qdctl: gpio set: GPIO_set: $address: ERROR_UNABLE_TO_COMPLY" gpio set 0 1
t "gpio get a line that is not there" 1 "err:qdctl: gpio get 40: GPIO_get: $address: ERROR_INVALID_ARGUMENTS" gpio get 40
t "gpio event" 0 "" gpio event 5 1 1
t "gpio with too few values" 2 "err:qdctl: usage: gpio set A B*" gpio set 4

# Firmware, versions and reboot.
t "version" 0 $'firmware: 2.0.0\nos: test os' version
t "version --settings --json" 0 '{"firmware":"2.0.0","os":"test os","settings":"currentantid=0\n*"}' \
    version --settings --json
t "firmware status before any update" 0 $'status: -13 (STATE_IDLE)\ntext1: \ntext2: 2.0.0\ntext3: \nvalue: 0' \
    firmware status
t "firmware update of no image" 1 "err:qdctl: firmware update : the reader refused it: ERROR_INVALID_ARGUMENTS" \
    firmware update ''
t "firmware update follows the update to its end" 0 \
    $'status: 0 (SUCCESSFUL)\ntext1: images/fw-3.0.bin\ntext2: 2.0.0\ntext3: fw-3.0\nvalue: 100' \
    firmware update images/fw-3.0.bin
if command -v script >/dev/null; then
    script -qec "$QDCTL $address firmware update fw-3.1.bin" /dev/null >"$work/out" 2>&1 </dev/null || true
    if grep -q 'firmware update in progress' "$work/out" && grep -q 'text3: fw-3.1' "$work/out"; then
        echo "ok: firmware update on a terminal shows its progress"
    else
        failed=$((failed + 1))
        echo "FAILED: firmware update on a terminal shows its progress"
        cat "$work/out"
    fi
else
    "$QDCTL" "$address" firmware update fw-3.1.bin >/dev/null
fi
t "firmware status --json" 0 '{"status":0,"status_name":"SUCCESSFUL","text1":"fw-3.1.bin",*"value":100}' \
    firmware status --json
t "params set, not committed" 0 "" params set temporary lost
t "reboot --wait" 0 "the reader answers again after *" reboot --wait
t "the new firmware runs after the reboot" 0 $'firmware: fw-3.1\nos: test os' version
t "committed parameters survive the reboot" 0 'dock "4"' params get location
t "uncommitted ones do not" 0 "" params get temporary
t "reboot returns at once without --wait" 0 "" reboot
# The reader goes away a moment later, then comes back.
for ((i = 0; i < 100; i++)); do
    "$QDCTL" "$address" version >/dev/null 2>&1 || break
    sleep 0.05
done
for ((i = 0; i < 100; i++)); do
    "$QDCTL" "$address" version >/dev/null 2>&1 && break
    sleep 0.2
done
t "version after a reboot without --wait" 0 "firmware: fw-3.1*" version

# Help.
t "--help lists the commands" 0 "*HOST params*HOST config*HOST stats*HOST gpio*HOST firmware*HOST reboot*HOST version*" \
    --help
report
