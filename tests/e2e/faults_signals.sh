# SIGTERM in the middle of an upload on a slow line ends a door-mode end through its
# orderly end: the exit code of the outstanding upload (2), the unfinished file's 'e' log
# line, the goodbye reaching the peer (which ends with "ZARN data link terminated." rather
# than waiting for its time-out), and the line handed back to the caller with its settings
# and its file status flags (O_NONBLOCK) as they were.
# On the normal clock: what the cable holds of our frames takes its real time to drain.
. "$(dirname "$0")/lib/link.bash"

mkdir a b
head -c 100000 /dev/urandom >a/big.bin
# The caller's side: a shell holding the line before and after the end runs. The end is
# started in the background on a copy of the line (an asynchronous command's standard input
# would be /dev/null).
cat >a.sh <<END
flags() { python3 -c 'import fcntl; print(fcntl.fcntl(0, fcntl.F_GETFL))'; }
stty -g >a.stty.before; flags >a.flags.before
exec 3<&0
(cd a && exec '$KESTRO' -X -z ../a.log big.bin <&3 >&3 3<&-) &
echo \$! >a.pid
wait \$!
echo \$? >a.rc
stty -g >a.stty.after; flags >a.flags.after
END
timeout "$SAFETY" "$CABLE" --baud 38400 --door-a --door-b --stderr-a a.err --stderr-b b.err \
    --report report -- sh a.sh -- sh -c "cd b && exec '$KESTRO' -E 0" &
cable=$!
wait_until 60 eval '[ "$(stat -c %s b/big.bin 2>/dev/null || echo 0)" -ge 3000 ]'
[ -s a.pid ] || fail "end A never started"
kill -TERM "$(cat a.pid)"
wait "$cable"

[ "$(cat a.rc)" = 2 ] || fail "end A exit code $(cat a.rc), not 2 (upload outstanding)"
has a.err "Terminated (SIGTERM)."
grep -qE '^e +[0-9]+ .* big.bin 0$' a.log || fail "no unfinished line for big.bin in a.log: $(cat a.log)"
has b.err "ZARN data link terminated."
cmp -s a.stty.before a.stty.after || fail "the line's settings changed"
cmp -s a.flags.before a.flags.after || fail "the line's file status flags changed: $(cat a.flags.before) -> $(cat a.flags.after)"
echo "faults_signals: ok"
