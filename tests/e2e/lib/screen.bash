# Shared by the screen end-to-end tests: a device-mode kestro in a tmux terminal of a
# fixed size, against a door-mode kestro on the other end of tools/nullmodem.
if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIP: tmux is not installed"
    exit 0
fi
. "$(dirname "${BASH_SOURCE[0]}")/link.bash"
unset LINES COLUMNS TMUX  # curses must take its size from the tmux terminal

TMUX_SOCKET="$WORK/tmux.sock"
DOOR_PID=
tm() { tmux -S "$TMUX_SOCKET" "$@"; }
screen_cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$DOOR_PID" ] && kill "$DOOR_PID" 2>/dev/null
    cleanup
}
trap screen_cleanup EXIT

# start_screen <lines> <columns> <options of the device end>
start_screen() {
    local lines=$1 columns=$2
    shift 2
    start_cable
    sh -c "exec '$KESTRO' <>'$END_B' >&0 2>door.err" &
    DOOR_PID=$!
    # The pane stays after kestro ends, so the test can still read the exit code and terminal.
    {
        echo "stty -a >stty.before"
        echo "'$KESTRO' -p '$END_A' $* 2>a.err"
        echo "echo \$? >a.rc"
        echo "stty -a >stty.after"
        echo "exec sleep $SAFETY"
    } >device.sh
    tm new-session -d -s ui -x "$columns" -y "$lines" "sh device.sh" || fail "tmux did not start"
    wait_screen "Chat prompt"
}

# capture: the pane into screen.txt, every row padded with blanks to the pane's width.
capture() {
    local width
    width=$(tm display -p -t ui '#{pane_width}')
    tm capture-pane -p -t ui | awk -v w="$width" '{ printf "%-" w "s\n", $0 }' >screen.txt
}

# wait_screen <fixed text> [seconds]: polls the pane until the text is on it.
wait_screen() {
    local limit=$(( ${2:-60} * 50 ))
    for _ in $(seq 1 "$limit"); do
        capture
        grep -qF -- "$1" screen.txt && return 0
        sleep 0.02
    done
    cat screen.txt >&2
    fail "\"$1\" never appeared on the screen"
}

# row <n>: row n (from 0) of the last capture.
row() { sed -n "$(($1 + 1))p" screen.txt; }

# at <row> <column> <text>: the text stands at that place of the last capture.
at() {
    local line
    line=$(row "$1")
    [ "${line:$2:${#3}}" = "$3" ] || {
        cat screen.txt >&2
        fail "row $1 column $2: \"${line:$2:${#3}}\", not \"$3\""
    }
}

# row_is <row> <text>: the whole row.
row_is() {
    [ "$(row "$1")" = "$2" ] || { cat screen.txt >&2; fail "row $1 is \"$(row "$1")\", not \"$2\""; }
}

dashes() { printf '%*s' "$1" '' | tr ' ' '-'; }

# key_then <tmux key name> <text>: presses the key and waits for the text to show.
key_then() {
    tm send-keys -t ui "$1"
    wait_screen "$2"
}

# exit_with_ctrl_x: Ctrl+X, then the exit code and the terminal as they were before.
exit_with_ctrl_x() {
    tm send-keys -t ui C-x
    for _ in $(seq 1 $((SAFETY * 50))); do
        [ -s stty.after ] && break
        sleep 0.02
    done
    [ -s stty.after ] || fail "kestro did not end after Ctrl+X"
    [ "$(cat a.rc)" = 0 ] || fail "exit code $(cat a.rc) after Ctrl+X"
    cmp -s stty.before stty.after || { diff stty.before stty.after >&2; fail "terminal settings changed"; }
}
