# Helpers of the cable's shell tests. Arguments of every test: NULLMODEM PROBE.
set -euo pipefail
NULLMODEM="$1"
PROBE="$2"
WORK="$(mktemp -d)"
CABLE_PID=""
cleanup() {
    if [ -n "$CABLE_PID" ]; then
        kill "$CABLE_PID" 2>/dev/null || true
        wait "$CABLE_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds; the time is a safety net only.
wait_for() {
    local limit=$(($1 * 20)) i=0
    shift
    until "$@"; do
        i=$((i + 1))
        [ "$i" -lt "$limit" ] || return 1
        sleep 0.05
    done
}

# field REPORT LABEL NAME: a number from a report line, e.g. field r "A->B" sent
field() {
    sed -n "s/^nullmodem: $2 .*\\b$3=\\([0-9]*\\).*/\\1/p" "$1"
}

# start_cable OPTIONS...: runs the cable in the background with --print-paths;
# sets LINE_A and LINE_B, reports go to $WORK/report.
start_cable() {
    # A report or paths of an earlier cable must not be taken for this one's: on a busy
    # machine the old paths file, whose terminals were gone, was read before the new
    # cable's shell had even truncated it.
    rm -f "$WORK/report" "$WORK/paths"
    "$NULLMODEM" --print-paths --report "$WORK/report" "$@" >"$WORK/paths" &
    CABLE_PID=$!
    paths_printed() { [ -f "$WORK/paths" ] && [ "$(wc -l <"$WORK/paths")" -ge 2 ]; }
    wait_for 30 paths_printed || fail "no paths printed"
    LINE_A="$(sed -n 1p "$WORK/paths")"
    LINE_B="$(sed -n 2p "$WORK/paths")"
}

stop_cable() {
    kill "$CABLE_PID"
    wait "$CABLE_PID" || fail "cable exited with $?"
    CABLE_PID=""
}
