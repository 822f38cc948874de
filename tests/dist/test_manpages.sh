#!/usr/bin/env bash
# The manual pages cover the interface, and say what the programs do:
#   - every function and variable that the library exports has a page of its
#     own name under man/man3 which (through .so) is a page whose NAME and
#     SYNOPSIS list it, and no page stands for a name that is not exported;
#   - every structure, field and code of a family header is in its family's
#     page (qdapi/inventory.h: qdapi-inventory(3));
#   - the EXAMPLE program of every library page compiles as shown, with
#     -Werror, and does what the page says against a virtual reader;
#   - every command and option that qdctl --help (and diag --help),
#     qdsim --help and qdgate --help print is in qdctl(1), qdsim(1) and
#     qdgate(1), and so is every configuration key that qdgate reads and
#     every metric series that it serves;
#   - every page formats without a warning, and shows no backtick.
# Run by ctest with QD_SOURCE_DIR, QD_BINARY_DIR, QDCTL, QDSIM and QDGATE;
# the examples need loopback up, as the private network namespace gives it.
set -euo pipefail
# The last command of a pipeline runs in this shell, so that what it finds
# missing ("$QDCTL" --help | options ...) fails the test.
shopt -s lastpipe

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QD_SOURCE_DIR QD_BINARY_DIR QDCTL QDSIM QDGATE
man=$QD_SOURCE_DIR/man
address=127.0.0.46
missing=0
problem() { echo "FAILED: $*"; missing=1; }

# The pages are read from $man, where their ".so man3/..." lines resolve.
cd "$man"
mapfile -t pages < <(find . -name '*.[1-9]' -printf '%P\n' | sort)
((${#pages[@]} > 0)) || fail "no manual pages under $man"

# text PAGE: the page as a reader sees it, one paragraph a line, no
# emphasis.
text() { groff -man -Tutf8 -rLL=2000n "$1" 2>/dev/null | col -bx; }
# target PAGE: the page that PAGE shows, following .so links.
target() {
    local page=$1 i next
    for ((i = 0; i < 8; i++)); do
        next=$(sed -nE '1s/^\.so[[:space:]]+([^[:space:]]+).*/\1/p' "$page")
        [[ -n $next ]] || { echo "$page"; return 0; }
        [[ -f $next ]] || { echo "$page: .so $next: no such page" >&2; return 1; }
        page=$next
    done
    echo "$page: .so links go round" >&2
    return 1
}
# section PAGE NAME: the source lines of section NAME of PAGE.
section() { awk -v s="$2" '/^\.SH/ {on = ($0 ~ "^\\.SH \"?" s "\"?$")} on' "$1"; }
word() { grep -qE "(^|[^A-Za-z0-9_])$1([^A-Za-z0-9_]|$)"; }

# ---------------------------------------------------------------------------
# A page per export.

list=$QD_BINARY_DIR/src/exports/qdapi_exports.inc
[[ -f $list ]] || fail "no export list at $list"
declare -A exported=() names_of=() synopsis_of=()
while read -r name; do
    exported[$name]=1
    page=man3/$name.3
    [[ -f $page ]] || { problem "no manual page $page for the export $name (man 3 $name finds nothing)"; continue; }
    shown=$(target "$page") || { missing=1; continue; }
    if [[ -z ${names_of[$shown]:-} ]]; then
        names_of[$shown]=$(section "$shown" NAME)
        synopsis_of[$shown]=$(section "$shown" SYNOPSIS)
    fi
    word "$name" <<<"${names_of[$shown]}" ||
        problem "$page shows $shown, whose NAME section does not list $name"
    word "$name" <<<"${synopsis_of[$shown]}" ||
        problem "$page shows $shown, whose SYNOPSIS does not declare $name"
done < <(sed -nE 's/^QDAPI_EXPORT_(FUNCTION|VARIABLE)\(([A-Za-z0-9_]+)\)$/\2/p' "$list")
((${#exported[@]} > 100)) || fail "only ${#exported[@]} exports read from $list"

# A link page for a name the library does not export is left over.
for page in man3/*.3; do
    grep -q '^\.so ' "$page" || continue
    name=$(basename "$page" .3)
    [[ -n ${exported[$name]:-} ]] || problem "$page links a name that the library does not export"
done

# ---------------------------------------------------------------------------
# Structures, fields and codes: each in the page of its family's header.

# members HEADER: the structure names, their field names and the enumerators
# declared in HEADER, one a line.
members() {
    awk '
        comment { if (!sub(/.*\*\//, "")) next; comment = 0 }
        { gsub(/\/\*.*\*\//, "") }
        /\/\*/ { sub(/\/\*.*/, ""); comment = 1 }
        /^#/ || /^extern "C"/ { next }
        /^(typedef )?struct [A-Za-z_0-9]+ \{/ { print $(NF - 1) }
        /^enum [A-Za-z_0-9]+ \{/ { print $2; in_enum = 1; next }
        in_enum && /\}/ { in_enum = 0; next }
        in_enum { sub(/^[ \t]*/, ""); sub(/[ =,].*/, ""); if ($0 != "") print; next }
        /\{/ { depth++ }
        /\}/ && depth > 0 {
            depth--
            if (depth > 0 && match($0, /\}[ \t]*[A-Za-z_0-9]+;/)) {
                m = substr($0, RSTART + 1, RLENGTH - 2); gsub(/[ \t]/, "", m); print m
            }
            next
        }
        depth > 0 && /;[ \t]*$/ {
            line = $0; sub(/;[ \t]*$/, "", line); gsub(/\[[^]]*\]/, "", line)
            n = split(line, names, ",")
            for (i = 1; i <= n; i++) {
                w = names[i]; sub(/.*[ \t*]/, "", w); if (w != "") print w
            }
        }' "$1"
}
for header in "$QD_SOURCE_DIR"/include/qdapi/*.h; do
    family=$(basename "$header" .h)
    [[ $family == common ]] && continue
    page=man3/qdapi-$family.3
    [[ -f $page ]] || { problem "no family page $page for qdapi/$family.h"; continue; }
    count=0
    while read -r member; do
        count=$((count + 1))
        word "$member" <"$page" || problem "$page does not describe $member (qdapi/$family.h)"
    done < <(members "$header" | sort -u)
    # A header with records yields members, or the reading above is broken.
    if ((count == 0)) && grep -qE '^(typedef )?(struct|enum) [a-z_]+ \{' "$header"; then
        problem "read no structure members from qdapi/$family.h"
    fi
done

# ---------------------------------------------------------------------------
# Every library page but the links has an EXAMPLE that compiles as shown and
# does what the page says.  The table: PAGE|ARGUMENTS|a line the output has
# (an extended regular expression)...  @ stands for the reader's address.
need_loopback
examples=(
    "man3/qdapi.3|@|^4 tags$|^3000ABCD \(32 bits\)$"
    "man3/qdapi-errors.3|@|^opened; code -102 is ERROR_REMOTE$"
    "man3/qdapi-readers.3|@|^host @ \(local\)$|^slot 0: 00010001 virtual radio$|^antenna 1$|^protocol 0 "
    "man3/qdapi-inventory.3|@|^ 32 bits, counts |^4 tags$"
    "man3/qdapi-tags.3|@|^12345678$"
    "man3/qdapi-radio.3|@|^slot 0: 20\.00$|^region: US$|^RF state: "
    "man3/qdapi-admin.3|@|^description=dock door 4$|^firmware 1\.0\.0, OS qdsim-os 1\.0$"
    "man3/qdapi-priv.3|@ 0x3c5a17e9|^level 1$|^slot 0: 915250 kHz$|^hop 3: [0-9]+ kHz$"
)
start_sim --tags 3 --seed 3 --tag 3000ABCD/32
declare -A checked=()
for entry in "${examples[@]}"; do
    IFS='|' read -r -a parts <<<"$entry"
    page=${parts[0]} args=${parts[1]//@/$address}
    checked[$page]=1
    name=$(basename "$page" .3)
    # The program: the rendered EXAMPLE section from its first # line on.
    text "$page" | awk '/^[^ ]/ {on = ($0 == "EXAMPLE"); next} on' |
        sed -n '/^ *#/,$p' | sed 's/^       //' >"$work/$name.c"
    [[ -s $work/$name.c ]] || { problem "$page has no EXAMPLE program"; continue; }
    # A sanitized library needs its runtime first in the program.
    # shellcheck disable=SC2086 # no flag, or one
    if ! gcc -std=c99 -Wall -Wextra -Werror ${QD_SANITIZE:+-fsanitize=$QD_SANITIZE} -I"$QD_SOURCE_DIR/include" \
        "$work/$name.c" -L"$QD_BINARY_DIR/src" -lqdapi -Wl,-rpath,"$QD_BINARY_DIR/src" \
        -o "$work/$name" 2>"$work/$name.log"; then
        problem "the EXAMPLE of $page does not compile:" && sed 's/^/  /' "$work/$name.log"
        continue
    fi
    # shellcheck disable=SC2086 # the arguments are words
    if ! "$work/$name" $args >"$work/$name.out" 2>&1 </dev/null; then
        problem "the EXAMPLE of $page exited $? against the virtual reader:" && sed 's/^/  /' "$work/$name.out"
        continue
    fi
    for want in "${parts[@]:2}"; do
        want=${want//@/${address//./\\.}}
        grep -qE -- "$want" "$work/$name.out" ||
            { problem "the EXAMPLE of $page prints no line matching $want:" && sed 's/^/  /' "$work/$name.out"; }
    done
done
for page in man3/*.3; do
    grep -q '^\.so ' "$page" && continue
    [[ -n ${checked[$page]:-} ]] && continue
    problem "$page is not in this test's table of examples (its EXAMPLE must compile and run)"
done
stop_sim

# ---------------------------------------------------------------------------
# The programs' commands and options, as their --help lists them.

text qdctl.1 >"$work/qdctl.txt"
text qdsim.1 >"$work/qdsim.txt"
commands=0
while read -r command; do
    commands=$((commands + 1))
    grep -qE "^(\.(B|BR|BI) \"?|\\\\fB)${command//-/\\\\?-}\b" qdctl.1 ||
        problem "qdctl(1) does not describe the command $command"
done < <("$QDCTL" --help | sed -nE 's/^  qdctl (\[[^]]*\] )*HOST ([a-z-]+).*/\2/p' | sort -u)
# The pattern must keep finding the commands when the usage lines change.
((commands >= 10)) || problem "found only $commands qdctl commands in qdctl --help: the pattern no longer reads it"
# options PAGE-TEXT PAGE WHAT: each --option of standard input is in PAGE.
options() {
    local option n=0
    while read -r option; do
        n=$((n + 1))
        grep -qE -- "(^|[^A-Za-z0-9-])${option}([^A-Za-z0-9-]|$)" "$1" ||
            problem "$2 does not describe the option $option ($3 lists it)"
    done < <(grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
    ((n > 3)) || problem "read only $n options from $3"
}
"$QDCTL" --help | options "$work/qdctl.txt" "qdctl(1)" "qdctl --help"
"$QDCTL" "$address" diag --help | options "$work/qdctl.txt" "qdctl(1)" "qdctl HOST diag --help"
"$QDSIM" --help | options "$work/qdsim.txt" "qdsim(1)" "qdsim --help"
text qdgate.1 >"$work/qdgate.txt"
"$QDGATE" --help | options "$work/qdgate.txt" "qdgate(1)" "qdgate --help"

# qdgate(1) gives every key that the gateway's configuration reader takes a
# tag of its own under CONFIGURATION (".BI \"KEY = \" ..."), and names every
# series that gate/metrics.cpp registers under METRICS.
gate=$QD_SOURCE_DIR/gate
section qdgate.1 CONFIGURATION >"$work/qdgate-configuration"
keys=0
while read -r key; do
    keys=$((keys + 1))
    grep -qE "^\.(B|BI|BR) (.*[^a-z_])?${key} = " "$work/qdgate-configuration" ||
        problem "qdgate(1) does not describe the configuration key $key (gate/config.cpp reads it)"
done < <(grep -oE '\.(text|integer|seconds)\("[a-z_]+"' "$gate/config.cpp" | sed -E 's/.*"([a-z_]+)"/\1/' | sort -u)
((keys >= 15)) || problem "read only $keys configuration keys from gate/config.cpp: the pattern no longer reads it"
awk '/^[^ ]/ {on = ($0 == "METRICS"); next} on' "$work/qdgate.txt" >"$work/qdgate-metrics"
series=0
while read -r name; do
    series=$((series + 1))
    word "$name" <"$work/qdgate-metrics" ||
        problem "qdgate(1) does not describe the metric $name (gate/metrics.cpp serves it)"
done < <(grep -oE '"qdgate_[a-z_]+"' "$gate/metrics.cpp" | tr -d '"' | sort -u)
((series >= 8)) || problem "read only $series metric series from gate/metrics.cpp: the pattern no longer reads it"

# ---------------------------------------------------------------------------
# Every page formats without a warning and shows no backtick.  The link pages
# are checked together, and one by one only to name the one that warns.

# warns PAGE...: what groff -ww and man --warnings say about the pages.
warns() {
    groff -ww -z -man "$@" 2>&1 || true
    # shellcheck disable=SC2069 # the warnings, not the page
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$@" 2>&1 >/dev/null || true
}
links=()
opening_quote=$'\u2018'    # what groff makes of a backtick in UTF-8
for page in "${pages[@]}"; do
    if grep -q '^\.so ' "$page"; then
        links+=("$page")
        continue
    fi
    warnings=$(warns "$page")
    [[ -z $warnings ]] || problem "$page formats with warnings: $warnings"
    shown=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | col -bx)
    grep -q '^NAME$' <<<"$shown" || problem "man -l $page shows no NAME section"
    if grep -n "[\`$opening_quote]" <<<"$shown" >"$work/ticks"; then
        problem "$page shows backticks:" && sed 's/^/  /' "$work/ticks"
    fi
done
if ((${#links[@]})); then
    if [[ -n $(warns "${links[@]}") ]]; then
        for page in "${links[@]}"; do
            warnings=$(warns "$page")
            [[ -z $warnings ]] || problem "$page formats with warnings: $warnings"
        done
    fi
    shown=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "${links[@]}" 2>/dev/null | col -bx | grep -c '^NAME$' || true)
    ((shown == ${#links[@]})) || problem "man -l shows $shown of the ${#links[@]} link pages"
fi

((missing == 0)) && echo "ok: ${#pages[@]} manual pages cover the library's ${#exported[@]} exports, qdctl, qdsim and qdgate"
exit $missing
