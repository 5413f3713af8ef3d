# Ctrl+C typed while the link is being established ends with "Initialization cancelled."
# (exit code 0); another key typed before it changes nothing.
. "$(dirname "$0")/lib/link.bash"

start_cable
"$KESTRO" -p "$END_A" <a.keys >a.out 2>a.err &
pid=$!
wait_for a.out "Initializing ZARN data link. Press Ctrl+C to cancel."
type_key a 'x'
type_key a '\003'
wait $pid
rc=$?
[ "$rc" = 0 ] || fail "exit code $rc"
has a.err "Initialization cancelled."
lacks a.out "ZARN data link established."
echo "establish_cancel: ok"
