# A writer faster than the line is stopped once the transmit buffer is full,
# instead of filling the kernel's much larger pseudo-terminal buffers.
source "$(dirname "$0")/common.bash"

for buffer in 4096 1024; do
    start_cable --baud 10 --buffer "$buffer"
    taken="$("$PROBE" fill "$LINE_A" 500 2000)"
    stop_cable
    # The writer writes 256 bytes every 2 ms: it gets at least the buffer in, and
    # little more; unstopped, the cable's slack and the kernel would take ~80 KiB.
    [ "$taken" -ge "$buffer" ] || fail "only $taken bytes taken with a $buffer-byte buffer"
    [ "$taken" -lt $((buffer + 16384)) ] || fail "$taken bytes taken with a $buffer-byte buffer"
    [ "$(field "$WORK/report" "A->B" sent)" -le 20 ] || fail "a 10-baud line sent more than it could"
done
echo PASS
