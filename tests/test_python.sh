#!/usr/bin/env bash
# The Python binding (python/) against qdsim on 127.0.0.150..159, with
# pytest.  Run by ctest with QDSIM and QDAPI_LIB set; needs loopback up,
# which the private network namespace that the tests run in provides.
set -euo pipefail

: "${QDSIM:?QDSIM must name the qdsim program}"
: "${QDAPI_LIB:?QDAPI_LIB must name the library}"
: "${QD_SOURCE_DIR:?QD_SOURCE_DIR must name the source tree}"

if ! ip -o link show lo | grep -q '[<,]UP[,>]'; then
    echo "test_python: loopback is down: run the tests in a network namespace whose lo is up" >&2
    echo "             (unshare -n, then ip link set lo up)" >&2
    exit 1
fi

# The system's Python, whose packages (pytest, venv, pip, setuptools) the
# project installs; not one that a user put first on PATH.
python=${QD_PYTHON:-/usr/bin/python3}
if ! "$python" -c 'import pytest, venv, setuptools' 2>/dev/null; then
    echo "test_python: $python lacks pytest, venv or setuptools (python3-pytest python3-venv python3-setuptools)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export QDAPI_LIBRARY=$QDAPI_LIB QDSIM
cd "$work"
exec "$python" -m pytest -q -p no:cacheprovider "$QD_SOURCE_DIR/python/tests" --basetemp="$work/tmp"
