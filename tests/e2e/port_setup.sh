# The line is set up as asked, read from a descriptor opened before the run (exclusive mode
# refuses new opens): --speed 19200 sets both speeds, RTS/CTS by default, -h neither RTS/CTS
# nor XON/XOFF, -H XON/XOFF without RTS/CTS; a door's line keeps its speed, and its flags are
# as before unless -h or -H; every setting is back after the run.
. "$(dirname "$0")/lib/link.bash"

start_cable
exec 9<>"$END_A"
line_settings() { stty -a <&9 | tr -s ' ;\n' '\n\n\n'; }
flag() { line_settings | grep -qx -- "$1" || fail "$2: no \"$1\" in: $(line_settings | tr '\n' ' ')"; }

# run_end <what> <ready flag> <command...>: runs the end on the line (no peer: it waits for one
# until SIGTERM ends it), checks the flags given in $EXPECT once the ready flag shows, then the
# line restored.
run_end() {
    local what=$1 ready=$2
    shift 2
    stty -g <&9 >before
    "$@" &
    local pid=$!
    wait_until 30 eval 'line_settings | grep -qx -- "$ready"'
    for f in $EXPECT; do flag "$f" "$what"; done
    kill -TERM "$pid"
    wait "$pid"
    [ "$(stty -g <&9)" = "$(cat before)" ] || fail "$what: the line's settings were not restored"
}

# The speed is a word of its own in the settings: "19200" shows once the end has set it.
stty 38400 -crtscts ixon -ixoff <&9
device() { echo "exec '$KESTRO' -p '$END_A' --speed 19200 $* </dev/null >a.out 2>a.err"; }
EXPECT="crtscts -ixon -ixoff" run_end "--speed 19200" "19200" sh -c "$(device)"
EXPECT="-crtscts -ixon -ixoff" run_end "-h" "19200" sh -c "$(device -h)"
EXPECT="-crtscts ixon ixoff" run_end "-H" "19200" sh -c "$(device -H)"

# Door mode: the line, cooked at 2400 baud, goes raw at the same speed.
stty 2400 icanon echo -crtscts <&9
EXPECT="2400 crtscts" run_end "door" "-icanon" sh -c "exec '$KESTRO' --speed 19200 <&9 >&9 2>door.err"
EXPECT="2400 -crtscts -ixon -ixoff" run_end "door -h" "-icanon" sh -c "exec '$KESTRO' -h <&9 >&9 2>door.err"
echo "port_setup: ok"
