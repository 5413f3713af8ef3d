# Two door-mode ends send files to each other at once and exit by themselves (-E) with 0:
# every file arrives byte-identical under its exact name (blanks included), a partial copy
# (its name has a blank too) is resumed, each log holds exactly its 'S' and 's' lines in the fixed format, with the
# name field cut at the first blank; the same again over a noisy line, and (smaller files)
# with -H on one end and with -C on one end.
. "$(dirname "$0")/lib/link.bash"

make_files() {  # <size of the big file>
    rm -rf a b && mkdir a b
    : >a/zero
    printf x >a/one
    head -c 2500 /dev/urandom >a/f2500
    head -c "$1" /dev/urandom >a/big
    head -c 5000 /dev/urandom >"a/resumed part"
    head -c 1000 "a/resumed part" >"b/resumed part"  # the receiver holds the first 1,000 bytes
    head -c 7000 /dev/urandom >"b/my file.txt"
    head -c 300 /dev/urandom >"b/my notes.txt"
    head -c 40 /dev/urandom >"b/two  blanks"
    head -c 41 /dev/urandom >"b/ends in blank "
}

# run_both <label> <big size> <options A> <options B> <cable options...>
run_both() {
    local label=$1 opts_a=$3 opts_b=$4
    make_files "$2"
    shift 4
    timeout "$SAFETY" "$CABLE" "$@" --door-a --door-b --stderr-a a.err --stderr-b b.err \
        --report report -- \
        sh -c "cd a && exec '$FAST' $opts_a -E 5 -z ../a.log zero one f2500 big 'resumed part'" -- \
        sh -c "cd b && exec '$FAST' $opts_b -E 5 -z ../b.log 'my file.txt' 'my notes.txt' 'two  blanks' 'ends in blank '" \
        || fail "[$label] an end did not exit with 0"
    for f in zero one f2500 big "resumed part" "my file.txt" "my notes.txt" "two  blanks" "ends in blank "; do
        cmp -s "a/$f" "b/$f" || fail "[$label] \"$f\" differs"
    done
    [ "$(ls a | wc -l)" = 9 ] && [ "$(ls b | wc -l)" = 9 ] || fail "[$label] stray files: $(ls a b)"
    local line='^[SsEe] +[0-9]+ +0 bps +[0-9]+ cps   0 errors     0 +[0-9]+ [^ ]+ 0$'
    for log in a.log b.log; do
        [ "$(grep -cE "$line" $log)" = 9 ] && [ "$(wc -l <$log)" = 9 ] || fail "[$label] $log: $(cat $log)"
    done
    [ "$(grep -c '^s ' a.log)" = 5 ] && [ "$(grep -c '^S ' a.log)" = 4 ] || fail "[$label] a.log letters"
    grep -qE '^S +5000 .* resumed 0$' b.log || fail "[$label] resumed file not logged whole"
    [ "$(grep -cE '^S +[0-9]+ .* (my|two|ends) 0$' a.log)" = 4 ] || fail "[$label] names not cut in a.log"
}

run_both clean 1048576 "" ""
run_both noisy 1048576 "" "" --corrupt 0.0001 --drop 0.0001 --seed 7
run_both xon-xoff-escaped 60000 -H ""
run_both base-85 60000 "" -C
echo "transfer_both_ways: ok"
