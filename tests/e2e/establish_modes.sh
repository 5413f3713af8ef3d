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
# Default options: the block 03 63 40 7C 8E after the banner (mode bit 0x40: this end escapes
# for lines that damage bytes), then CR; the echo leaves out the banner's control bytes.
banner=$(printf 'KESTRO v1.0 *0363407C8E*\r')
has a.err "$banner"
has b.err "$banner"
# --plain: the block of an end that announces nothing, 03 63 00 34 4A.
check_pair "--plain" "--plain" "8/8"
banner=$(printf 'KESTRO v1.0 *036300344A*\r')
has a.err "$banner"
has b.err "$banner"

check_pair "-H" "" "8C/8C"
check_pair "" "-C" "7X/7X"
check_pair "-C -H" "-C -H" "7X/7X"
echo "establish_modes: ok"
