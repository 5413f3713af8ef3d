# Two ends establish in each pair of line options and agree on the mode text (8/8, 8C/8C,
# 7X/7X); each echoes the peer's banner and block; with -E both end by themselves with 0.
. "$(dirname "$0")/lib/link.bash"

check_pair() {
    local opts_a=$1 opts_b=$2 want=$3
    rm -f a.out b.out a.err b.err report
    run_pair "$FAST -E 60 $opts_a" "$FAST -E 60 $opts_b"
    [ "$CABLE_RC" = 0 ] || fail "[$opts_a | $opts_b] an end did not exit with 0"
    for end in a b; do
        has $end.out "ZARN data link established."
        [ "$(mode_of $end)" = "$want" ] || fail "[$opts_a | $opts_b] end $end shows '$(mode_of $end)', not $want"
        has $end.err "ZARN data link"
    done
    # One end finishes first with the full goodbye exchange; the other ends on it.
    cat a.err b.err >both.err
    has both.err "Waiting for ZARN termination... ok."
    grep -aqE "ZARN data link terminated\.|Waiting for ZARN termination\.\.\. ok\." a.err || fail "end a ended otherwise"
    grep -aqE "ZARN data link terminated\.|Waiting for ZARN termination\.\.\. ok\." b.err || fail "end b ended otherwise"
}

check_pair "" "" "8/8"
# Each end shows the text of the peer's banner on a line of its own, without its control
# bytes and without the block that follows it.
grep -aqx "KESTRO v1.0" a.err && grep -aqx "KESTRO v1.0" b.err || fail "no banner line alone"
lacks a.err "0363407C8E"
# --plain: an end that announces nothing still links.
check_pair "--plain" "--plain" "8/8"

check_pair "-H" "" "8C/8C"
check_pair "" "-C" "7X/7X"
check_pair "-C -H" "-C -H" "7X/7X"
echo "establish_modes: ok"
