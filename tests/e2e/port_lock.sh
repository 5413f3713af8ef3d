# The port is held for the run: a lock file naming a live process refuses it (code 20, the
# path, the process id and the lock file named, the file left alone); a stale lock file (its
# process gone) is replaced by ours, "%10d\n", while flock(2) is held too; the lock file is
# gone after a normal end, after Ctrl+X and after SIGTERM.
. "$(dirname "$0")/lib/link.bash"

export KESTRO_LOCK_DIR="$WORK/locks"
mkdir locks a b
head -c 2000 /dev/urandom >a/f
start_cable
lock="locks/LCK..$(readlink -f "$END_A" | sed 's|^/dev/||; s|/|_|g')"

printf '%10d\n' $$ >"$lock"
"$FAST" -p "$END_A" </dev/null >refused.out 2>refused.err
rc=$?
[ "$rc" = 20 ] || fail "a port locked by a live process: exit code $rc"
has refused.err "kestro: $END_A: locked by process $$ ($WORK/$lock)"
[ "$(cat "$lock")" = "$(printf '%10d' $$)" ] || fail "the live holder's lock file was changed"

# run_a <options...>: end A in device mode against end B, A's process id in a.pid.
run_a() {
    rm -f a.pid
    : >a.out
    (cd a && exec sh -c "echo \$\$ >../a.pid; exec '$FAST' -p '$END_A' $*" <../a.keys >../a.out 2>../a.err) &
    A_PID=$!
    (cd b && exec "$FAST" -p "$END_B" -E 0 <../b.keys >../b.out 2>../b.err) &
    B_PID=$!
}
# established: end A runs and has its link.
established() {
    wait_for a.out "ZARN data link established."
    [ -s a.pid ] || fail "end A's process id is not known"
}
# ended <what>: both ends finished, end A with code 0 and its lock file gone.
ended() {
    wait "$A_PID"
    local rc=$?
    wait "$B_PID"
    [ "$rc" = 0 ] || fail "$1: end A exit code $rc"
    [ ! -e "$lock" ] || fail "$1: the lock file is still there"
}

# A stale lock file: its process has ended.
sh -c 'printf "%10d\n" $$' >"$lock"
run_a -E 0 f
established
[ "$(cat "$lock")" = "$(printf '%10d' "$(cat a.pid)")" ] || fail "the stale lock was not replaced by ours"
! flock -n "$END_A" true 2>/dev/null || fail "the port was not flock'ed"
ended "the normal end"
cmp -s a/f b/f || fail "f did not arrive whole"

run_a
established
type_key a '\030'
ended "Ctrl+X"

run_a
established
kill -TERM "$(cat a.pid)"
ended "SIGTERM"
has a.err "Terminated (SIGTERM)."
echo "port_lock: ok"
