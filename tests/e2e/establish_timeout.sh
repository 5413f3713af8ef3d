# A peer that never answers: establishment ends with "ZARN data link time-out." once the
# clock is more than 60 seconds on (fast clock), with exit code 0, having resent its block
# every 5 seconds meanwhile.
. "$(dirname "$0")/lib/link.bash"

start_cable
cat "$END_B" >b.line &  # the silent peer: takes everything, answers nothing
peer=$!
"$FAST" -p "$END_A" <a.keys >a.out 2>a.err &
pid=$!
wait $pid
rc=$?
kill $peer
[ "$rc" = 0 ] || fail "exit code $rc"
has a.err "ZARN data link time-out."
lacks a.out "ZARN data link established."
copies=$(grep -aoF '*0363407C8E*' b.line | wc -l)
[ "$copies" -ge 10 ] && [ "$copies" -le 14 ] || fail "$copies copies of the block in 60 seconds"
echo "establish_timeout: ok"
