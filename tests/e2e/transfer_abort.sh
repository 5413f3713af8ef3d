# The abort exchange between two real ends: end B may write no file beyond 20 KiB (its write
# then comes back short: kestro ignores SIGXFSZ itself), so the second of A's four files ends there
# with "File write error" and B tells A with "a"; A answers "b", B drops what it had accepted
# and answers "o", and A offers every file not yet confirmed again. B resumes f2 at 20 KiB and
# fails again: A gives f2 up ("Upload aborted", its 'e' log line) and offers f3 and f4 once
# more, which arrive. B's own file to A is not disturbed, both ends exit by themselves, and
# the exit codes keep A's uploads-outstanding and B's downloads-outstanding bits.
. "$(dirname "$0")/lib/link.bash"

mkdir a b
head -c 3000 /dev/urandom >a/f1
head -c 100000 /dev/urandom >a/f2
head -c 5000 /dev/urandom >a/f3
head -c 6000 /dev/urandom >a/f4
head -c 30000 /dev/urandom >b/g1
# B's screen goes through a pipe to a reader started before the limit, which binds files only.
timeout "$SAFETY" "$CABLE" --stderr-a a.err --stderr-b b.err --report report \
    -- sh -c "cd a && exec '$FAST' -p {} -X -E 30 -z ../a.log f1 f2 f3 f4 <../a.keys >../a.out" \
    -- bash -c "cd b && exec 3> >(exec cat >../b.out) && ulimit -f 20 &&
                exec '$FAST' -p {} -X -E 30 -z ../b.log g1 <../b.keys >&3"
grep -aq 'end A exit=2$' report && grep -aq 'end B exit=1$' report || fail "exit codes: $(cat report)"

for f in a/f1 a/f3 a/f4 a/g1; do cmp -s "$f" "b/${f#a/}" || fail "$f did not arrive whole"; done
[ "$(stat -c %s b/f2)" = 20480 ] && cmp -s -n 20480 a/f2 b/f2 || fail "b/f2 is not the first 20 KiB"
wait_for a.out "Upload aborted (f2)" 10
wait_for b.out "File write error (f2: File too large)" 10

line='+0 bps +[0-9]+ cps   0 errors     0 +[0-9]+'
grep -qE "^s +3000 $line f1 0$" a.log && grep -qE "^e +[0-9]+ $line f2 0$" a.log &&
    grep -qE "^s +5000 $line f3 0$" a.log && grep -qE "^s +6000 $line f4 0$" a.log &&
    grep -qE "^S +30000 $line g1 0$" a.log && [ "$(wc -l <a.log)" = 5 ] || fail "a.log: $(cat a.log)"
grep -qE "^S +3000 $line f1 0$" b.log && [ "$(grep -cE "^E +100000 $line f2 0$" b.log)" = 2 ] &&
    grep -qE "^S +5000 $line f3 0$" b.log && grep -qE "^S +6000 $line f4 0$" b.log &&
    grep -qE "^s +30000 $line g1 0$" b.log && [ "$(wc -l <b.log)" = 6 ] || fail "b.log: $(cat b.log)"
echo "transfer_abort: ok"
