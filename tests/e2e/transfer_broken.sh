# A transfer broken off by killing one end mid-file is finished by running both ends again
# with the same arguments: each partial file is resumed ("my file.txt" as well as big.bin)
# and ends byte-identical, logged with its whole size. The end left alone gives up on the
# silent line by itself, its exit code carrying the uploads- and downloads-outstanding bits,
# its standard error naming the files left.
. "$(dirname "$0")/lib/link.bash"

mkdir a b ref
head -c 100000 /dev/urandom >ref/big.bin
head -c 100000 /dev/urandom >"ref/my file.txt"
cp ref/big.bin a/
cp "ref/my file.txt" b/
A_ARGS="-E 5 -z ../a.log big.bin"
B_ARGS="-E 5 -z ../b.log 'my file.txt'"

# run_ends <cable options...>: both door-mode ends; end A's process id lands in a.pid.
run_ends() {
    timeout "$SAFETY" "$CABLE" "$@" --door-a --door-b --stderr-a a.err --stderr-b b.err \
        --report report -- \
        sh -c "cd a && echo \$\$ >../a.pid && exec '$FAST' $A_ARGS" -- \
        sh -c "cd b && exec '$FAST' $B_ARGS"
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# A slow line, so both files are still under way when end A is killed. What B writes for
# the dead end A is queued without bound, so B is never flow-stopped while it gives up.
run_ends --baud 9600 --buffer-ba 1000000 &
cable=$!
wait_until 60 eval '[ "$(size_of b/big.bin)" -ge 3000 ] && [ "$(size_of "a/my file.txt")" -ge 3000 ]'
[ -s a.pid ] || fail "end A never started"
kill -KILL "$(cat a.pid)"
wait "$cable"
grep -aq 'end A exit=137$' report && grep -aq 'end B exit=3$' report ||
    fail "first run: exit codes: $(cat report)"
# A door has no screen: its standard error names each file left and why.
grep -aq '^Not completed: big.bin (' b.err && grep -aq '^Not completed: my file.txt (' b.err ||
    fail "first run: B's standard error does not name the files left: $(cat b.err)"
for f in b/big.bin "a/my file.txt"; do
    size=$(size_of "$f")
    [ "$size" -ge 3000 ] && [ "$size" -lt 100000 ] || fail "$f is not partial: $size bytes"
    cmp -s -n "$size" "$f" "ref/${f#?/}" || fail "the partial $f differs from the original"
done

rm -f a.log b.log a.pid
run_ends || fail "second run: an end did not exit with 0"
cmp -s ref/big.bin b/big.bin || fail "big.bin differs after the second run"
cmp -s "ref/my file.txt" "a/my file.txt" || fail "\"my file.txt\" differs after the second run"
grep -qE '^S +100000 .* big.bin 0$' b.log && grep -qE '^s +100000 .* my 0$' b.log &&
    grep -qE '^S +100000 .* my 0$' a.log && grep -qE '^s +100000 .* big.bin 0$' a.log ||
    fail "second run: log lines: $(cat a.log b.log)"
echo "transfer_broken: ok"
