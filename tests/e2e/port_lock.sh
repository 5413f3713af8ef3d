# The port is held for the run: a lock file naming a live process refuses it (code 20, the
# path, the process id and the lock file named, the file left alone); a stale lock file is
# replaced by ours, "%10d\n", with flock(2) held too; the lock is gone after a normal end,
# after Ctrl+X and after SIGTERM (the fatal error's end: supervise_test's Termination).
. "$(dirname "$0")/lib/link.bash"

export KESTRO_LOCK_DIR="$WORK/locks"
mkdir locks a b
head -c 2000 /dev/urandom >a/f
start_cable
lock="locks/LCK..$(readlink -f "$END_A" | sed 's|^/dev/||; s|/|_|g')"

printf '%10d\n' $$ >"$lock"
"$FAST" -p "$END_A" </dev/null 2>refused.err
[ $? = 20 ] || fail "a port locked by a live process was not refused with 20"
has refused.err "kestro: $END_A: locked by process $$ ($WORK/$lock)"
[ "$(cat "$lock")" = "$(printf '%10d' $$)" ] || fail "the live holder's lock file was changed"

# run_a <what> <options...>: end A against end B until the link is up; then the caller acts,
# and ended checks that A ended with 0 and left no lock file.
run_a() {
    rm -f a.pid
    : >a.out
    (cd a && exec sh -c "echo \$\$ >../a.pid; exec '$FAST' -p '$END_A' $*" <../a.keys >../a.out 2>../a.err) &
    A_PID=$!
    (cd b && exec "$FAST" -p "$END_B" -E 0 <../b.keys >../b.out 2>../b.err) &
    B_PID=$!
    wait_for a.out "ZARN data link established."
}
ended() {
    wait "$A_PID"
    local rc=$?
    wait "$B_PID"
    [ "$rc" = 0 ] && [ ! -e "$lock" ] || fail "$1: end A exit code $rc, lock file left: $(ls locks)"
}

sh -c 'printf "%10d\n" $$' >"$lock"  # its process has ended
run_a -E 0 f
[ "$(cat "$lock")" = "$(printf '%10d' "$(cat a.pid)")" ] || fail "the stale lock was not replaced by ours"
! flock -n "$END_A" true 2>/dev/null || fail "the port was not flock'ed"
ended "the normal end"
cmp -s a/f b/f || fail "f did not arrive whole"

run_a
type_key a '\030'
ended "Ctrl+X"

run_a
kill -TERM "$(cat a.pid)"
ended "SIGTERM"
has a.err "Terminated (SIGTERM)."
echo "port_lock: ok"
