# Two ends that both compress move text in a fraction of its bytes, and every byte arrives
# (one file from an offset, another empty); with --no-compress at one end neither direction
# is compressed: that end's opening block announces no compression.
. "$(dirname "$0")/lib/link.bash"

sent() { sed -n "s/^nullmodem: $1 sent=\([0-9]*\).*/\1/p" report; }

run_pair() {  # <label> <options of B>
    rm -rf a b && mkdir a b
    for i in $(seq 3000); do echo "line $i of a text that repeats itself, as text does"; done >a/text
    cp a/text b/back
    head -c 20000 a/text >b/text  # the receiver holds its first 20,000 bytes: resumed
    : >a/empty
    timeout "$SAFETY" "$CABLE" --door-a --door-b --stderr-a a.err --stderr-b b.err --report report -- \
        sh -c "cd a && exec '$FAST' -E 2 text empty" -- sh -c "cd b && exec '$FAST' -E 2 $2 back" \
        || fail "[$1] an end did not exit with 0"
    for f in text empty; do cmp -s "a/$f" "b/$f" || fail "[$1] $f differs"; done
    cmp -s b/back a/back || fail "[$1] back differs"
}

run_pair both ""
size=$(stat -c %s a/text)
[ "$(sent A-\>B)" -lt $((size / 4)) ] || fail "A->B carried $(sent A-\>B) bytes for $size of text"
[ "$(sent B-\>A)" -lt $((size / 4)) ] || fail "B->A carried $(sent B-\>A) bytes for $size of text"
run_pair one-end --no-compress
[ "$(sent B-\>A)" -gt "$size" ] || fail "B->A carried $(sent B-\>A) bytes: compressed for a peer that said no"
echo "transfer_compressed: ok"
