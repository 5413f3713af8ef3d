# A device-mode end whose keyboard is at end of file (standard input from /dev/null, or a
# pipe whose writer has gone) still runs its session: the file arrives and both ends
# exit by themselves with 0, instead of one spinning on a key that never comes.
. "$(dirname "$0")/lib/link.bash"

mkdir a b
head -c 30000 /dev/urandom >a/data.bin
timeout "$SAFETY" "$CABLE" --stderr-a a.err --stderr-b b.err --report report \
    -- sh -c "cd $WORK/a && exec $FAST -p {} -E 60 data.bin </dev/null >$WORK/a.out" \
    -- sh -c "cd $WORK/b && true | exec $FAST -p {} -E 60 >$WORK/b.out"
[ $? = 0 ] || fail "an end did not exit with 0"
cmp -s a/data.bin b/data.bin || fail "the file did not arrive intact"
echo "console_eof: ok"
