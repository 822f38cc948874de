#!/usr/bin/env bash
# The Python binding (python/) against qdsim on 127.0.0.150..159, with
# pytest.  Run by ctest with QDSIM and QDAPI_LIB set; needs loopback up,
# which the private network namespace that the tests run in provides.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QDAPI_LIB QD_SOURCE_DIR
need_loopback

# The system's Python, whose packages (pytest, venv, pip, setuptools) the
# project installs; not one that a user put first on PATH.
python=${QD_PYTHON:-/usr/bin/python3}
if ! "$python" -c 'import pytest, venv, setuptools' 2>/dev/null; then
    echo "test_python: $python lacks pytest, venv or setuptools (python3-pytest python3-venv python3-setuptools)" >&2
    exit 1
fi

export QDAPI_LIBRARY=$QDAPI_LIB QDSIM
cd "$work"
# Not exec: the work directory goes at exit.
"$python" -m pytest -q -p no:cacheprovider "$QD_SOURCE_DIR/python/tests" --basetemp="$work/tmp"
