#!/usr/bin/env bash
# Progress lines go to standard error and are shown only when standard
# error is a terminal, never with --quiet; standard output being a terminal
# changes nothing.  Against a virtual reader on 127.0.20.4, with a pseudo
# terminal from python3.  Run by ctest with QDSIM and QDCTL set; needs
# loopback up.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.20.4
need_loopback
command -v python3 >/dev/null || fail "python3 is needed for a pseudo terminal"

start_sim --tags 5 --fw-update-time 1500 --search-duration 1500

# on_terminal WHICH ARGS...: qdctl ARGS with WHICH (stdout or stderr) on a
# pseudo terminal and the other stream in a file; what the terminal got goes
# to $work/tty, the file to $work/file.
on_terminal() {
    local which=$1
    shift
    python3 - "$which" "$work/tty" "$work/file" "$QDCTL" "$@" <<'EOF'
import os, pty, subprocess, sys, tty
which, tty_out, file_out, *command = sys.argv[1:]
master, slave = pty.openpty()
tty.setraw(slave)   # no newline translation: a carriage return is qdctl's
with open(file_out, "wb") as other:
    streams = {"stdout": slave, "stderr": other} if which == "stdout" else {"stdout": other, "stderr": slave}
    p = subprocess.Popen(command, stdin=subprocess.DEVNULL, **streams)
    os.close(slave)
    got = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    status = p.wait()
open(tty_out, "wb").write(got)
sys.exit(status)
EOF
}

# Each row: stream on the terminal | qdctl arguments | whether a progress
# line shows on standard error (yes/no).
rows=(
    "stderr|$address watch --duration 1 --a-values 1 --span 50|yes"
    "stderr|--quiet $address watch --duration 1 --a-values 1 --span 50|no"
    "stdout|$address watch --duration 1 --a-values 1 --span 50|no"
    "stderr|$address inventory|yes"
    "stderr|--quiet $address inventory|no"
    "stdout|$address inventory|no"
    "stderr|$address firmware update fw-2.bin|yes"
    "stderr|--quiet $address firmware update fw-3.bin|no"
    "stdout|$address firmware update fw-4.bin|no"
)
for row in "${rows[@]}"; do
    IFS='|' read -r which args want <<<"$row"
    t="$args, $which on a terminal: progress $want"
    # shellcheck disable=SC2086
    if ! on_terminal "$which" $args; then
        failed=$((failed + 1))
        echo "FAILED: $t (status $?)"
        continue
    fi
    errors=$work/file
    [[ $which == stderr ]] && errors=$work/tty
    shown=no
    grep -q $'\r' "$errors" && shown=yes
    # Whatever the stream, standard output never carries a progress line.
    output=$work/tty
    [[ $which == stderr ]] && output=$work/file
    if [[ $shown == "$want" ]] && ! grep -q $'\r' "$output"; then
        ok "$t"
    else
        failed=$((failed + 1))
        echo "FAILED: $t (progress shown: $shown)"
        od -c "$work/tty" | head -5 | sed 's/^/    tty: /'
    fi
done

report
