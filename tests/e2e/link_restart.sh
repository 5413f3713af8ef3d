# One end is killed with -9 in mid-transfer and started again with the same arguments: the
# end left running takes the new one's handshake for a restarted peer, links again in the
# same run and both transfers resume; every file arrives identical and both ends exit 0.
. "$(dirname "$0")/lib/link.bash"

mkdir a b ref
head -c 60000 /dev/urandom >ref/big.a
head -c 60000 /dev/urandom >ref/big.b
cp ref/big.a a/
cp ref/big.b b/
start_cable --baud 38400
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# door <end> <line> <log>: a door-mode end on one end of the cable; its process id in <end>.pid.
door() {
    (cd "$1" && exec "$FAST" -E 5 -z "../$3" "big.$1" <"$2" >"$2" 2>>"../$1.err") &
    echo $! >"$1.pid"
}
door a "$END_A" a.log
door b "$END_B" b.log
wait_until 60 eval '[ "$(size_of b/big.a)" -ge 8000 ] && [ "$(size_of a/big.b)" -ge 8000 ]' ||
    fail "the transfer never got under way"
kill -KILL "$(cat a.pid)"
wait "$(cat a.pid)" 2>/dev/null
[ "$(size_of b/big.a)" -lt 60000 ] || fail "big.a was whole before end A was killed"
door a "$END_A" a2.log
wait "$(cat a.pid)" || fail "the restarted end A did not exit with 0"
wait "$(cat b.pid)" || fail "end B did not exit with 0"
cmp -s ref/big.a b/big.a || fail "big.a differs"
cmp -s ref/big.b a/big.b || fail "big.b differs"
lacks b.err "time-out"
lacks b.err "Not completed"
echo "link_restart: ok"
