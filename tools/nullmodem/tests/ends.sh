# How the ends are started and reported: door mode puts one read-write open of the
# slave on descriptors 0 and 1; "{}" becomes the slave path; exit codes and signals
# of the ends are reported and make the cable's own status non-zero.
source "$(dirname "$0")/common.bash"

"$NULLMODEM" --report "$WORK/report" --door-a --door-b \
    -- "$PROBE" samefd {} -- "$PROBE" samefd {} || fail "door ends: $(cat "$WORK/report")"

# Device mode: the path is handed over, standard input and output stay the tool's.
"$NULLMODEM" --report "$WORK/report" --door-b \
    -- sh -c 'test -c "$0" && test "$(readlink -f /proc/self/fd/0)" != "$(readlink -f "$0")"' {} \
    -- "$PROBE" samefd {} || fail "device end: $(cat "$WORK/report")"

status=0
"$NULLMODEM" --report "$WORK/report" --stderr-b "$WORK/err_b" \
    -- sh -c 'exit 3' -- sh -c 'echo to-stderr >&2; kill -9 $$' || status=$?
[ "$status" = 1 ] || fail "cable status $status with failed ends"
grep -qx "nullmodem: end A exit=3" "$WORK/report" || fail "exit code of A"
grep -qx "nullmodem: end B exit=137" "$WORK/report" || fail "signal of B"
grep -qx "to-stderr" "$WORK/err_b" || fail "standard error of B"

# An end that never ends is stopped by --duration; the other end's code stays its own.
status=0
"$NULLMODEM" --report "$WORK/report" --duration 0.5 -- sleep 600 -- true || status=$?
[ "$status" = 1 ] || fail "cable status $status after --duration"
grep -qx "nullmodem: end A exit=143" "$WORK/report" || fail "end stopped by --duration"
grep -qx "nullmodem: end B exit=0" "$WORK/report" || fail "end B of --duration"

status=0
"$NULLMODEM" -- a-command-that-does-not-exist -- true 2>/dev/null || status=$?
[ "$status" = 1 ] || fail "cable status $status for a command that cannot run"
status=0
"$NULLMODEM" --baud fast --print-paths 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "bad option gives $status"
echo PASS
