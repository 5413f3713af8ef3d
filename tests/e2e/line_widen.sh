# Two ends with no options move files both ways, identical, both exit 0, over a line that
# eats bytes: 0x1D and XON (a telnet client's escape, flow control), where the escapes both
# ends start with suffice and nothing is said; and every control byte, where each end widens
# and says once what it escapes now.
. "$(dirname "$0")/lib/link.bash"

make_files() {
    rm -rf a b && mkdir a b
    head -c 200000 /dev/urandom >a/random.a
    head -c 150000 /dev/urandom >b/random.b
    seq 1 10000 | sed 's/$/ line of text\r/' >a/text.a
}

# over <label> <options of both ends> <cable options...>: the cable's exit code in RC.
over() {
    local label=$1 opts=$2
    shift 2
    make_files
    rm -f a.err b.err
    timeout "$SAFETY" "$CABLE" "$@" --door-a --door-b --stderr-a a.err --stderr-b b.err \
        --report report -- \
        sh -c "cd a && exec '$FAST' $opts -E 5 random.a text.a" -- \
        sh -c "cd b && exec '$FAST' $opts -E 5 random.b"
    RC=$?
}

same_files() {
    for f in random.a text.a random.b; do
        cmp -s "a/$f" "b/$f" || fail "[$1] $f differs or is missing"
    done
}

over eat-1D-XON "" --eat 0x1D,0x11
[ "$RC" = 0 ] || fail "[eat-1D-XON] an end did not exit with 0"
same_files eat-1D-XON
lacks a.err "Line damages bytes"
lacks b.err "Line damages bytes"

over eat-control "" --eat control
[ "$RC" = 0 ] || fail "[eat-control] an end did not exit with 0"
same_files eat-control
cat a.err b.err >both.err
has both.err "Line damages bytes: every control byte, 0x9D, ~ and 0xFF escaped."
[ "$(grep -c "Line damages bytes" a.err)" -le 1 ] || fail "end a said it more than once"

echo "line_widen: ok"
