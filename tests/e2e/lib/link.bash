# Shared by the link end-to-end tests: two kestro ends over tools/nullmodem, each with its
# keyboard on a FIFO (so keys can be typed), its output and its standard error in files.
set -u

: "${KESTRO_BUILD:?build directory}"
KESTRO="$KESTRO_BUILD/kestro"
FAST="$KESTRO_BUILD/kestro_fastclock"
CABLE="$KESTRO_BUILD/tools/nullmodem"
export TERM=xterm LINES=24 COLUMNS=80
export KESTRO_CLOCK_RATE="${KESTRO_CLOCK_RATE:-20}"
SAFETY=120  # seconds: a hung run fails instead of holding the test suite

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d /tmp/kestro-e2e-XXXXXX)
CABLE_PID=
cleanup() {
    [ -n "$CABLE_PID" ] && kill "$CABLE_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
cd "$WORK" || exit 2

fail() {
    echo "FAIL: $*" >&2
    for f in "$WORK"/*.err "$WORK"/report; do
        [ -f "$f" ] && { echo "--- $f"; cat -v "$f" | head -c 3000; echo; } >&2
    done
    exit 1
}

# Keyboards: a FIFO per end, held open here so an end never sees end of input.
mkfifo a.keys b.keys
exec 7<>a.keys 8<>b.keys
type_key() { printf "$2" >&"$([ "$1" = a ] && echo 7 || echo 8)"; }

# end_command <a|b> <binary> <options...>: the command line for one device-mode end.
end_command() {
    local end=$1 bin=$2
    shift 2
    printf 'exec %s -p {} %s <%s.keys >%s.out' "$bin" "$*" "$end" "$end"
}

# run_pair "<binary> <options A>" "<binary> <options B>": both ends over the cable until
# both have exited; sets CABLE_RC (0 when both ended with 0).
run_pair() {
    timeout "$SAFETY" "$CABLE" --stderr-a a.err --stderr-b b.err --report report \
        -- sh -c "$(end_command a $1)" -- sh -c "$(end_command b $2)"
    CABLE_RC=$?
}

# start_cable [cable options]: the cable alone; END_A and END_B are its two ends.
start_cable() {
    rm -f paths
    "$CABLE" --print-paths --duration "$SAFETY" "$@" >paths 2>report &
    CABLE_PID=$!
    wait_until "$SAFETY" eval '[ -f paths ] && [ "$(wc -l <paths)" -ge 2 ]'
    END_A=$(sed -n 1p paths)
    END_B=$(sed -n 2p paths)
    [ -n "$END_A" ] && [ -n "$END_B" ] || fail "the cable gave no paths"
}

# wait_until <seconds> <command...>: runs the command every 20 ms until it succeeds;
# status 1 when the time ran out first. Every wait of the scripts is one of these.
wait_until() {
    local limit=$(( $1 * 50 ))
    shift
    for _ in $(seq 1 "$limit"); do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

# wait_for <file> <fixed text> [seconds]: polls until the text appears.
wait_for() {
    wait_until "${3:-60}" grep -aqF -- "$2" "$1" 2>/dev/null || fail "\"$2\" never appeared in $1"
}

has() { grep -aqF -- "$2" "$1" || fail "$1 lacks \"$2\""; }
lacks() { ! grep -aqF -- "$2" "$1" || fail "$1 has \"$2\""; }

# The mode text of "ZARN data link established. Data link i/o mode 8/8 bits." on one line.
mode_of() { grep -ao 'established\. Data link i/o mode [^ ]* bits\.' "$1.out" | sed 's/.* mode \([^ ]*\) bits\./\1/'; }
