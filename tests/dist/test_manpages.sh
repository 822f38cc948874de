#!/usr/bin/env bash
# The manual pages cover the interface: every function and variable that the
# library exports appears in qdapi(3), every qdctl command in qdctl(1), and
# the three pages format without a warning.  Run by ctest with QD_SOURCE_DIR,
# QD_BINARY_DIR and QDCTL.
set -euo pipefail
: "${QD_SOURCE_DIR:?}" "${QD_BINARY_DIR:?}" "${QDCTL:?}"
man=$QD_SOURCE_DIR/man
missing=0

# The exports, as the build derived them from the header.
list=$QD_BINARY_DIR/src/exports/qdapi_exports.inc
[[ -f $list ]] || { echo "FAILED: no export list at $list"; exit 1; }
while read -r name; do
    case $name in _null_auth | rpc_createerr | svc_fdset) continue ;; esac
    grep -qE "(^|[^A-Za-z0-9_])${name}([^A-Za-z0-9_]|$)" "$man/qdapi.3" ||
        { echo "FAILED: qdapi(3) does not describe $name"; missing=1; }
done < <(sed -nE 's/^QDAPI_EXPORT_(FUNCTION|VARIABLE)\(([A-Za-z0-9_]+)\)$/\2/p' "$list")

# The commands, as qdctl --help lists them.
while read -r command; do
    grep -qE "^(\.(B|BR|BI) \"?|\\\\fB)${command//-/\\\\?-}\b" "$man/qdctl.1" ||
        { echo "FAILED: qdctl(1) does not describe the command $command"; missing=1; }
done < <("$QDCTL" --help | sed -nE 's/^  qdctl \[--tcp\] \[--trace\] HOST ([a-z-]+).*/\1/p' | sort -u)

for page in qdapi.3 qdctl.1 qdsim.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man/$page" 2>&1 >/dev/null || true)
    [[ -z $warnings ]] || { echo "FAILED: $page: $warnings"; missing=1; }
done
((missing == 0)) && echo "ok: the manual pages cover the library and qdctl"
exit $missing
