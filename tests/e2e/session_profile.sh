# A profile chosen with -v on one end is adopted by both: after a file moved, the block
# size in both ends' log lines stays within profile T's 256 bytes; both end by themselves.
. "$(dirname "$0")/lib/link.bash"

mkdir a b
head -c 20000 /dev/urandom >a/data.bin
timeout "$SAFETY" "$CABLE" --stderr-a a.err --stderr-b b.err --report report \
    -- sh -c "cd $WORK/a && exec $FAST -p {} -v T -E 60 -z $WORK/a.log data.bin <$WORK/a.keys >$WORK/a.out" \
    -- sh -c "cd $WORK/b && exec $FAST -p {} -E 60 -z $WORK/b.log <$WORK/b.keys >$WORK/b.out"
[ $? = 0 ] || fail "an end did not exit with 0"
cmp -s a/data.bin b/data.bin || fail "the file did not arrive intact"
# "%c %6ld %5ld bps %4d cps   0 errors     0 %4d %s %lu": the block size is field 10.
for end in a b; do
    line=$(grep -a 'data.bin' $end.log | head -1)
    [ -n "$line" ] || fail "no log line at end $end"
    size=$(echo "$line" | awk '{print $10}')
    [ "$size" -le 256 ] || fail "end $end logs block size $size: $line"
done
grep -aq '^s ' a.log || fail "the sender logged no 's' line"
grep -aq '^S ' b.log || fail "the receiver logged no 'S' line"
echo "session_profile: ok"
