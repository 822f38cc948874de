# shellcheck shell=bash
# What the shell tests share: sourced by them, not run (the name keeps it out
# of ctest's test_*.sh).  Sourcing it makes the work directory $work, removed
# at exit together with the virtual reader that start_sim started, and starts
# the counts of ok and not_ok at zero.

qd_test=$(basename "$0" .sh)    # the test's name, at the head of its messages

# need VARIABLE...: stops the test unless ctest set each variable.
need() {
    local v what
    for v in "$@"; do
        [[ -n ${!v:-} ]] && continue
        case $v in
        QDSIM) what="the qdsim program" ;;
        QDCTL) what="the qdctl program" ;;
        QDGATE) what="the qdgate program" ;;
        QDAPI_LIB) what="the library" ;;
        QD_SOURCE_DIR) what="the source tree" ;;
        QD_BINARY_DIR) what="the build tree" ;;
        *) what="something" ;;
        esac
        echo "$qd_test: $v must name $what" >&2
        exit 1
    done
}

# need_loopback: stops the test unless loopback is up (the private network
# namespace that the tests run in brings it up).
need_loopback() {
    ip -o link show lo | grep -q '[<,]UP[,>]' && return 0
    echo "$qd_test: loopback is down: run the tests in a network namespace whose lo is up" >&2
    printf '%*s(unshare -n, then ip link set lo up)\n' $((${#qd_test} + 2)) '' >&2
    exit 1
}

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [[ -n $sim_pid ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# wait_serving LOG PID ADDRESS: waits up to 30 s (a sanitized daemon on a
# busy machine is slow to start) for the daemon PID to write "serving on
# ADDRESS" to LOG; fails when it does not, or exits first.
wait_serving() {
    local i
    for ((i = 0; i < 600; i++)); do
        grep -q "serving on $3" "$1" 2>/dev/null && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.05
    done
    grep -q "serving on $3" "$1" 2>/dev/null
}

# start_sim ARGS...: a virtual reader on $address, its output in $work/sim.log
# and its pid in $sim_pid; the test stops if it does not serve.
# shellcheck disable=SC2154 # the test sets $address
start_sim() {
    : >"$work/sim.log"
    "$QDSIM" --address "$address" "$@" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    wait_serving "$work/sim.log" "$sim_pid" "$address" && return 0
    echo "$qd_test: the virtual reader did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
}
stop_sim() {
    kill -TERM "$sim_pid"
    wait "$sim_pid" || true
    sim_pid=
}

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok: $1"; }
# not_ok NAME [DETAIL...]: a failed case, its details, then qdctl's last output.
not_ok() {
    failed=$((failed + 1))
    echo "FAILED: $1"
    shift
    (($#)) && printf '  %s\n' "$@"
    echo "  stdout:"; sed 's/^/    /' "$work/out"
    echo "  stderr:"; sed 's/^/    /' "$work/err"
}
# fail MESSAGE...: a failure that ends the test at once.
fail() { echo "FAILED: $*"; exit 1; }
# report: the counts, last; fails when a case failed.
report() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
}

# q EXPECTED-STATUS ARGS...: runs qdctl; its output goes to $work/out and
# $work/err, its status to $rc.  Returns whether the status was expected.
q() {
    local want=$1; shift
    rc=0
    "$QDCTL" "$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
    [[ $rc == "$want" ]]
}
out_has() { grep -qE -- "$1" "$work/out"; }
err_has() { grep -qE -- "$1" "$work/err"; }

# t NAME STATUS EXPECTED-OUTPUT ARGS...: qdctl ARGS on $address; checks its
# status and standard output, or its standard error when EXPECTED-OUTPUT
# begins with "err:"; a * in EXPECTED-OUTPUT stands for any text.
t() {
    local name=$1 want=$2 expected=$3 got pattern
    shift 3
    q "$want" "$address" "$@" || true
    got=$(cat "$work/out")
    [[ $expected == err:* ]] && got=$(cat "$work/err") expected=${expected#err:}
    pattern=$(printf '%s' "$expected" | sed 's/[][?\\]/\\&/g')
    # shellcheck disable=SC2053 # the right side is a pattern
    if [[ $rc == "$want" && $got == $pattern ]]; then
        ok "$name"
    else
        failed=$((failed + 1))
        printf 'FAILED: %s (status %s)\n%s\n%s\n' "$name" "$rc" "$(cat "$work/out")" "$(cat "$work/err")"
    fi
}
