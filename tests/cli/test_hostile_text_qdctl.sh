#!/usr/bin/env bash
# qdctl against a virtual reader on 127.0.20.1 whose texts hold control
# characters, DEL, every byte 0x80-0xFF, quotes and backslashes: every --json
# output parses as JSON, and no text output carries a control character or
# a byte that is not UTF-8 to the terminal.  (A NUL cannot be served: the
# reader's texts are C strings, and so are the daemon's arguments.)  Run by
# ctest with QDSIM and QDCTL set; needs loopback up and python3.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDCTL
address=127.0.20.1
code=0x3c5a17e9
need_loopback
command -v python3 >/dev/null || fail "python3 is needed to read the outputs"

# x, 0x01-0x1F, DEL, 0x80-0xFF, a quote, a backslash, then an escape
# sequence a terminal would act on.
hostile=$(python3 -c 'import sys
sys.stdout.buffer.write(b"x" + bytes(range(1, 32)) + b"\x7f" + bytes(range(128, 256)) + b"\"q\\b\x1b[31mRED")')
# What the reader's bytes look like once shown, a sample from each part.
shown_parts=('x\x01\x02' '\x1b\x1c' '\x1f\x7f\x80\x81' '\xfe\xff"q\\b\x1b[31mRED')

start_sim --hwtext0 "$hostile" --hwid1 0x20002 --hwtext1 "$hostile" --region "$hostile" \
    --host-info "$hostile" --host-info "$hostile" --config-text "$hostile" \
    --firmware-version "$hostile" --os-version "$hostile" --settings-text "$hostile" \
    --fw-update-time 100
q 0 "$address" params set hostile "$hostile" || fail "params set: status $rc: $(cat "$work/err")"
q 0 "$address" params set "n$hostile" v || fail "params set of a hostile name: status $rc: $(cat "$work/err")"
q 0 "$address" firmware update "i$hostile.bin" || fail "firmware update: status $rc: $(cat "$work/err")"

# check_json: standard output is one JSON document, and the hostile text
# comes back with its characters (quotes, backslash, escape) and U+FFFD for
# the bytes that are not UTF-8.
check_json() {
    python3 - "$work/out" <<'EOF'
import json, sys
raw = open(sys.argv[1], "rb").read()
value = json.loads(raw.decode("utf-8"))   # strict: the output is UTF-8
texts = []
def walk(v):
    if isinstance(v, dict):
        for k, x in v.items():
            texts.append(k)
            walk(x)
    elif isinstance(v, list):
        for x in v:
            walk(x)
    elif isinstance(v, str):
        texts.append(v)
walk(value)
hits = [t for t in texts if "\x1b[31mRED" in t]
assert hits, "the hostile text is not in the output"
for t in hits:
    assert "\ufffd" in t, "bytes that are not UTF-8 were not replaced"
    assert '"q\\b' in t, "quotes or backslashes were lost"
    assert "".join(chr(c) for c in range(1, 32) if c != 10) in t.replace("\n", ""), "control characters were lost"
EOF
}

# check_text: standard output holds no control byte but newline and tab, no
# DEL, is valid UTF-8, and shows the hostile text escaped.
check_text() {
    python3 - "$work/out" "${shown_parts[@]}" <<'EOF'
import sys
raw = open(sys.argv[1], "rb").read()
bad = sorted({b for b in raw if (b < 0x20 and b not in (9, 10)) or b == 0x7f})
assert not bad, "control bytes reach the terminal: %s" % [hex(b) for b in bad]
text = raw.decode("utf-8")   # raises on bytes that are not UTF-8
for part in sys.argv[2:]:
    assert part in text, "%r is not shown" % part
EOF
}

# Each row: qdctl arguments after HOST ("U" first: unlocked).
json_rows=(
    "info --json"
    "region --json"
    "version --json"
    "version --settings --json"
    "params get hostile --json"
    "params list --json"
    "params list --values --json"
    "firmware status --json"
    "U diag --json hostinfo"
    "U diag --json config"
    "U diag --json hwid"
)
text_rows=(
    "info"
    "region"
    "version --settings"
    "params get hostile"
    "params list --values"
    "params lookup n"
    "firmware status"
    "U diag hostinfo"
    "U diag config"
    "U diag hwid"
)

for transport in "" --tcp; do
    for row in "${json_rows[@]}" "${text_rows[@]}"; do
        args=($row)
        pre=()
        [[ ${args[0]} == U ]] && pre=(--unlock "$code") && args=("${args[@]:1}")
        [[ -n $transport ]] && pre+=("$transport")
        t="qdctl ${pre[*]} HOST ${args[*]}"
        if ! q 0 "${pre[@]}" "$address" "${args[@]}"; then
            not_ok "$t" "status $rc"
            continue
        fi
        check=check_text
        [[ $row == *--json* ]] && check=check_json
        if detail=$($check 2>&1); then ok "$t"; else not_ok "$t" "$detail"; fi
    done
done

# The JSON of the hostile text is what a JSON reader gets back exactly.
t="info --json keeps the hardware text, each byte that is not UTF-8 as U+FFFD"
q 0 "$address" info --json
if python3 - "$work/out" <<'EOF'; then ok "$t"; else not_ok "$t"; fi
import json, sys
hardware = json.load(open(sys.argv[1], encoding="utf-8"))["hardware"][0]["text"]
expected = "x" + "".join(map(chr, range(1, 32))) + "\x7f" + "\ufffd" * 128 + '"q\\b\x1b[31mRED'
assert hardware == expected, repr(hardware)
EOF

t="text shows the hardware text with each byte a terminal would act on as \\xNN"
q 0 "$address" info
if grep -qF 'slot 0: 0x00010001 x\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b' "$work/out" &&
    grep -qF '\x1e\x1f\x7f\x80\x81' "$work/out" && grep -qF '\xfe\xff"q\\b\x1b[31mRED' "$work/out"; then
    ok "$t"; else not_ok "$t"; fi

t="multi-line documents keep their newlines and tabs, the rest escaped"
stop_sim
start_sim --settings-text $'a=1\n\tb="2"\n\e[2Jc=\xff\n'
if q 0 "$address" version --settings &&
    [[ $(sed -n '/^settings:$/,$p' "$work/out") == $'settings:\na=1\n\tb="2"\n\\x1b[2Jc=\\xff' ]]; then
    ok "$t"; else not_ok "$t"; fi

t="valid UTF-8 is shown as it is, C1 controls escaped"
stop_sim
start_sim --region $'Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x93\xa1 \xc2\x9b31m \xed\xa0\x80 \xc0\xaf'
if q 0 "$address" region &&
    [[ $(cat "$work/out") == $'Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x93\xa1 \\xc2\\x9b31m \\xed\\xa0\\x80 \\xc0\\xaf' ]]; then
    ok "$t"; else not_ok "$t"; fi

report
