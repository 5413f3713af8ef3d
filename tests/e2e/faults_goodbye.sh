# Ctrl+X in the middle of an upload on a 9600-baud line: the goodbye still reaches the peer,
# which ends with "ZARN data link terminated." instead of waiting for its time-out. Our own
# unsent frames of the aborted session are dropped so the goodbye is not given up behind them.
# On the normal clock: what the cable holds of our frames takes its real time to drain.
. "$(dirname "$0")/lib/link.bash"

mkdir b
head -c 100000 /dev/urandom >big.bin
timeout "$SAFETY" "$CABLE" --baud 9600 --door-b --stderr-a a.err --stderr-b b.err --report report \
    -- sh -c "$(end_command a "$KESTRO" big.bin)" -- sh -c "cd b && exec '$KESTRO' -E 0" &
cable=$!
wait_until 60 eval '[ "$(stat -c %s b/big.bin 2>/dev/null || echo 0)" -ge 3000 ]'
type_key a '\030'
wait "$cable"
grep -aq 'end A exit=0$' report || fail "end A: $(cat report)"
has b.err "ZARN data link terminated."
lacks b.err "time-out"
echo "faults_goodbye: ok"
