# Noise on one direction: what arrives differs from what was sent by exactly the
# counts the cable reports, the clean direction stays clean, and a seed always
# gives the same noise.
source "$(dirname "$0")/common.bash"

SIZE=200000
head -c "$SIZE" /dev/urandom >"$WORK/sent"

# carried OUT OPTIONS...: sends the file from A to B over a noisy cable; B's bytes go to OUT.
carried() {
    local out="$1"
    shift
    start_cable "$@"
    "$PROBE" xfer "$LINE_B" - "$out" all &
    local reader=$!
    "$PROBE" xfer "$LINE_A" "$WORK/sent" - 0
    # Done when every byte sent was handed over and has been read.
    drained() {
        kill -USR1 "$CABLE_PID"
        [ -s "$WORK/report" ] || return 1
        local s d x i
        s="$(field "$WORK/report" "A->B" sent)"
        d="$(field "$WORK/report" "A->B" delivered)"
        x="$(field "$WORK/report" "A->B" dropped)"
        i="$(field "$WORK/report" "A->B" inserted)"
        [ "$s" = "$SIZE" ] && [ "$d" = $((s - x + i)) ] && [ "$(stat -c %s "$out")" = "$d" ]
    }
    wait_for 120 drained || fail "transfer did not finish ($*)"
    kill -TERM "$reader"
    wait "$reader"
    stop_cable
    for name in corrupted dropped inserted; do
        [ "$(field "$WORK/report" "B->A" "$name")" = 0 ] || fail "B->A has noise ($*)"
    done
}

count() { field "$WORK/report" "A->B" "$1"; }

carried "$WORK/corrupt" --corrupt-ab 0.01 --seed 5
n="$(count corrupted)"
[ "$(stat -c %s "$WORK/corrupt")" = "$SIZE" ] || fail "corruption changed the length"
[ "$(cmp -l "$WORK/sent" "$WORK/corrupt" | wc -l)" = "$n" ] || fail "corrupted bytes != $n"
[ "$n" -gt 1000 ] && [ "$n" -lt 3000 ] || fail "corrupted $n of $SIZE at 1%"

carried "$WORK/drop" --drop-ab 0.01 --burst-ab 4 --seed 5
n="$(count dropped)"
[ "$n" -gt 0 ] && [ "$(stat -c %s "$WORK/drop")" = $((SIZE - n)) ] || fail "dropped $n"
"$PROBE" subseq "$WORK/drop" "$WORK/sent" || fail "drops changed the order"

carried "$WORK/insert" --insert-ab 0.01 --seed 5
n="$(count inserted)"
[ "$n" -gt 0 ] && [ "$(stat -c %s "$WORK/insert")" = $((SIZE + n)) ] || fail "inserted $n"
"$PROBE" subseq "$WORK/sent" "$WORK/insert" || fail "insertions changed the order"

mix=(--corrupt-ab 0.005 --drop-ab 0.005 --insert-ab 0.005 --burst-ab 3)
carried "$WORK/mix1" "${mix[@]}" --seed 77
carried "$WORK/mix2" "${mix[@]}" --seed 77 --baud 2000000
cmp -s "$WORK/mix1" "$WORK/mix2" || fail "same seed, different noise"
carried "$WORK/mix3" "${mix[@]}" --seed 78
cmp -s "$WORK/mix1" "$WORK/mix3" && fail "different seeds, same noise"
echo PASS
