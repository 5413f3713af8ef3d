# Bytes arrive intact and in order, both ways at once: unthrottled, at 9600 baud
# with a small buffer (the writers are stopped and resumed many times), and with
# one end in door mode. The ends' exit codes are reported.
source "$(dirname "$0")/common.bash"

head -c 1000000 /dev/urandom >"$WORK/a"
head -c 1000000 /dev/urandom >"$WORK/b"

# exchange OPTIONS... -- SIZE: runs both ends through the cable; A and B send SIZE bytes each.
exchange() {
    local size="${@: -1}"
    local opts=("${@:1:$#-2}")
    head -c "$size" "$WORK/a" >"$WORK/send_a"
    head -c "$size" "$WORK/b" >"$WORK/send_b"
    local line_a="{}"
    for o in "${opts[@]}"; do [ "$o" = --door-a ] && line_a="-"; done
    "$NULLMODEM" --report "$WORK/report" "${opts[@]}" \
        -- "$PROBE" xfer "$line_a" "$WORK/send_a" "$WORK/got_a" "$size" \
        -- "$PROBE" xfer {} "$WORK/send_b" "$WORK/got_b" "$size" ||
        fail "cable exited with $? (${opts[*]})"
    cmp "$WORK/send_a" "$WORK/got_b" || fail "A->B differs (${opts[*]})"
    cmp "$WORK/send_b" "$WORK/got_a" || fail "B->A differs (${opts[*]})"
    for dir in "A->B" "B->A"; do
        [ "$(field "$WORK/report" "$dir" sent)" = "$size" ] || fail "$dir sent count"
        [ "$(field "$WORK/report" "$dir" delivered)" = "$size" ] || fail "$dir delivered count"
    done
    grep -qx "nullmodem: end A exit=0" "$WORK/report" || fail "end A exit not reported"
    grep -qx "nullmodem: end B exit=0" "$WORK/report" || fail "end B exit not reported"
}

exchange -- 1000000
exchange --baud 9600 --buffer 512 -- 5000
exchange --door-a --latency 20 -- 200000

# An end that writes and exits at once: its bytes still reach the other end.
"$NULLMODEM" --report "$WORK/report" --baud 9600 \
    -- sh -c "head -c 600 '$WORK/a' > {}" \
    -- "$PROBE" xfer {} - "$WORK/got_b" 600 || fail "writer that exits early"
cmp <(head -c 600 "$WORK/a") "$WORK/got_b" || fail "bytes of an exited end lost"
echo PASS
