# A device-mode end stopped with SIGTSTP under an interactive dash: the shell gets its terminal
# back as it was (not raw: it would read end of file and exit), the door peer, told `{z`,
# outlasts a stop longer than its silence time-out (fast clock), and after fg the display
# comes back and the link carries an upload.
. "$(dirname "$0")/lib/screen.bash"

mkdir a b
head -c 30000 /dev/urandom >a/data.bin
start_cable
sh -c "cd b && exec '$FAST' <>'$END_B' >&0 2>../door.err" &
DOOR_PID=$!
tm new-session -d -s ui -x 80 -y 25 "cd '$WORK' && unset ENV && export PS1='ready> ' && exec dash -i" ||
    fail "tmux did not start"
wait_screen "ready>"
tm send-keys -t ui "cd a; '$FAST' -p '$END_A' 2>../a.err" Enter
wait_screen "Chat prompt"

end_pid=$(pgrep -P "$(tm display -p -t ui '#{pane_pid}')")
kill -TSTP "$end_pid" || fail "no kestro under the shell"
tm send-keys -t ui "echo alive-\$((6 * 7))" Enter
wait_screen "alive-42"
# Stopped for 70 seconds of the peer's clock, which must not time out meanwhile.
start=$(date +%s%3N)
while [ $(($(date +%s%3N) - start)) -lt $((70000 / KESTRO_CLOCK_RATE)) ]; do
    kill -0 "$DOOR_PID" 2>/dev/null || fail "the peer ended while this end was stopped"
    sleep 0.02
done

tm send-keys -t ui "fg" Enter
wait_screen "Chat prompt"
key_then C-u "Enter files to upload"
tm send-keys -t ui "data.bin" Enter
wait_until "$SAFETY" cmp -s a/data.bin b/data.bin || fail "the upload after the stop did not arrive intact"
tm send-keys -t ui C-x
wait "$DOOR_PID"
has door.err "ZARN data link terminated."
echo "screen_suspend: ok"
