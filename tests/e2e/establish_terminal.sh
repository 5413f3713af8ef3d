# A door started at a shell prompt (no -p) runs on the terminal a person types in: it says
# so at once on that terminal, and Ctrl+C ends it while no peer has spoken. A door whose
# line is a cable end is told nothing, and a 0x03 from its peer ends nothing.
. "$(dirname "$0")/lib/screen.bash"

cat >prompt.sh <<SCRIPT
'$KESTRO' -h
echo "rc=\$?" >prompt.rc
exec sleep $SAFETY
SCRIPT
tm new-session -d -s shell -x 150 -y 10 "sh prompt.sh" || fail "tmux did not start"
wait_until 30 eval 'tm capture-pane -p -t shell | grep -q "did you mean -p DEVICE? Ctrl+X twice ends it"' ||
    fail "no word of the terminal being the line: $(tm capture-pane -p -t shell)"
tm send-keys -t shell C-c
wait_until 30 test -s prompt.rc || fail "Ctrl+C did not end the door"
grep -qx "rc=0" prompt.rc || fail "Ctrl+C ended the door with $(cat prompt.rc)"

start_cable
printf '\003' >"$END_B"  # what a peer's lost `{}` may leave: a 0x03 before the handshake
timeout "$SAFETY" "$FAST" -E 5 <"$END_A" >"$END_A" 2>a.err &
door=$!
"$FAST" -p "$END_B" -E 5 <b.keys >b.out 2>b.err || fail "the device end did not exit with 0"
wait "$door" || fail "the cable's door did not exit with 0"
lacks a.err "did you mean"
echo "establish_terminal: ok"
