# Shared by scripts/test, scripts/demo and scripts/bench (sourced, not run).

QD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# What building the library and its programs needs, and what the tests and
# benchmarks need besides.
QD_BUILD_PACKAGES=(cmake ninja-build g++ libtirpc-dev rpcsvc-proto pkg-config iproute2 nlohmann-json3-dev
    libtomlplusplus-dev libsqlite3-dev libmosquitto-dev prometheus-cpp-dev)
QD_TEST_PACKAGES=(libgtest-dev googletest libbenchmark-dev rpcbind binutils man-db groff-base python3-pytest python3-venv python3-pip python3-setuptools python3-wheel-whl
    mosquitto mosquitto-clients sqlite3)

qd_say() { printf '==> %s\n' "$*" >&2; }

# qd_ensure_packages PACKAGE...: installs the Debian packages that are missing.
qd_ensure_packages() {
    local missing=() p
    # Only "install ok installed" counts: a package removed with its
    # configuration left behind still answers `dpkg -s`.
    for p in "$@"; do
        [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == "install ok installed" ]] || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    qd_say "installing ${missing[*]}"
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# qd_configure DIR [cmake options...]: configures DIR with Ninja.
qd_configure() {
    local dir=$1; shift
    qd_say "configuring $dir${*:+ ($*)}"
    cmake -S "$QD_ROOT" -B "$dir" -G Ninja "$@" >&2 || return 1
}
# qd_build DIR [cmake options...]: configures DIR and builds all of it.
qd_build() {
    local dir=$1; shift
    qd_configure "$dir" "$@" || return 1
    qd_say "building $dir"
    ninja -C "$dir" >&2 || return 1
}

# qd_netns COMMAND [ARGS...]: runs the command in a private network namespace
# whose loopback is up; nothing in it reaches another network.
qd_netns() {
    local unshare=(unshare -n)
    ((EUID == 0)) || unshare=(unshare -rn)
    "${unshare[@]}" -- bash -c 'ip link set lo up && exec "$@"' qd-netns "$@"
}

# qd_wait_serving LOGFILE PID: waits (up to 20 s) for the virtual reader's
# "serving" line.
qd_wait_serving() {
    local log=$1 pid=$2 i
    for ((i = 0; i < 200; i++)); do
        grep -q 'serving' "$log" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; qd_say "the virtual reader exited"; return 1; }
        sleep 0.1
    done
    cat "$log" >&2
    qd_say "the virtual reader did not report serving within 20 s"
    return 1
}
