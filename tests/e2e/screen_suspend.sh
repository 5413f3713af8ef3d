# A device-mode end run from an interactive shell with job control (dash -i), stopped with
# SIGTSTP: the shell gets its terminal back as it was (it runs a command, instead of reading
# end of file from a raw terminal and exiting), and the door peer, told `{z`, outlasts a stop
# longer than its 60-second silence time-out. After fg the display is drawn again, the link
# carries an upload, and the end exits with 0 and the terminal as it was.
# On the fast clock, so that the stop outlasts the peer's time-out within seconds.
. "$(dirname "$0")/lib/screen.bash"

mkdir a b
head -c 30000 /dev/urandom >a/data.bin
start_cable
sh -c "cd b && exec '$FAST' <>'$END_B' >&0 2>../door.err" &
DOOR_PID=$!
tm new-session -d -s ui -x 80 -y 25 "cd '$WORK' && unset ENV && export PS1='ready> ' && exec dash -i" ||
    fail "tmux did not start"
wait_screen "ready>"
tm send-keys -t ui "stty -g >a.stty.before; cd a" Enter
tm send-keys -t ui "'$FAST' -p '$END_A' 2>../a.err" Enter
wait_screen "Chat prompt"

shell=$(tm display -p -t ui '#{pane_pid}')
end_pid=$(pgrep -P "$shell")
[ -n "$end_pid" ] || fail "no kestro under the shell"
kill -TSTP "$end_pid"
tm send-keys -t ui "echo alive-\$((6 * 7))" Enter
wait_screen "alive-42"
[ "$(stty -g -F "$(tm display -p -t ui '#{pane_tty}')")" = "$(cat a.stty.before)" ] ||
    fail "the stopped end left the terminal in other settings"

# Stopped for 70 seconds of the peer's clock: it must not time out meanwhile.
stop_ms=$((70000 / KESTRO_CLOCK_RATE))
start=$(date +%s%3N)
while [ $(($(date +%s%3N) - start)) -lt "$stop_ms" ]; do
    kill -0 "$DOOR_PID" 2>/dev/null || fail "the peer ended while this end was stopped"
    sleep 0.02
done

tm send-keys -t ui "fg" Enter
wait_screen "Chat prompt"
tm send-keys -t ui C-u
wait_screen "Enter files to upload"
tm send-keys -t ui "data.bin" Enter
for _ in $(seq 1 $((SAFETY * 50))); do
    cmp -s a/data.bin b/data.bin && break
    sleep 0.02
done
cmp -s a/data.bin b/data.bin || fail "the upload after the stop did not arrive intact"

tm send-keys -t ui C-x
for _ in $(seq 1 $((SAFETY * 50))); do
    kill -0 "$end_pid" 2>/dev/null || break
    sleep 0.02
done
tm send-keys -t ui "echo rc=\$? && stty -g >../a.stty.after" Enter
wait_screen "rc=0"
for _ in $(seq 1 $((SAFETY * 50))); do
    [ -s a.stty.after ] && break
    sleep 0.02
done
cmp -s a.stty.before a.stty.after || fail "terminal settings changed"
wait "$DOOR_PID"
has door.err "ZARN data link terminated."
echo "screen_suspend: ok"
