#!/usr/bin/env bash
# The README's Python install lines, run as written in a new directory on
# this machine (no network: only what Debian installed), then the installed
# package imported against this build's library, and its annotations
# resolved as a type checker or a framework would resolve them.  Run by
# ctest with QDAPI_LIB and QD_SOURCE_DIR.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDAPI_LIB QD_SOURCE_DIR

sed -n '/^<!-- python-install -->$/,/^<!-- \/python-install -->$/p' "$QD_SOURCE_DIR/README.md" |
    sed '1d;$d;s/^    //' >"$work/install.sh"
[[ $(wc -l <"$work/install.sh") -ge 2 ]] || fail "no install lines between the README's python-install markers"
# A copy: building the package writes into its directory, and the source
# tree is not the test's to write.
cp -r "$QD_SOURCE_DIR/python" "$work/python"
rm -rf "$work/python/build" "$work"/python/*.egg-info
(cd "$work" && bash -euo pipefail install.sh) >"$work/install.log" 2>&1 ||
    fail "the README's install lines failed: $(tail -5 "$work/install.log")"
echo "ok: the README's install lines ran as written"

QDAPI_LIBRARY=$QDAPI_LIB "$work/venv/bin/python" - <<'PY' || fail "the installed package"
import inspect
import typing

import qdapi

checked = 0
for name in dir(qdapi):
    item = getattr(qdapi, name)
    if name.startswith("_") or not (inspect.isclass(item) or inspect.isfunction(item)):
        continue
    members = [item] + [m for _, m in inspect.getmembers(item, inspect.isfunction)] if inspect.isclass(item) else [item]
    for member in members:
        typing.get_type_hints(member)
        checked += 1
assert checked > 10, checked
print(f"ok: the installed package imports and resolves the annotations of {checked} classes and functions")
PY
