# Shared by the screen end-to-end tests: a device-mode kestro in a tmux terminal of a
# fixed size, against a door-mode kestro on the other end of tools/nullmodem.
if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIP: tmux is not installed"
    exit 0
fi
. "$(dirname "${BASH_SOURCE[0]}")/link.bash"
unset LINES COLUMNS TMUX  # curses must take its size from the tmux terminal

TMUX_SOCKET="$WORK/tmux.sock"
PANE=ui  # the session that capture, wait_screen and the keys address
DOOR_PID=
tm() { tmux -S "$TMUX_SOCKET" "$@"; }
screen_cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$DOOR_PID" ] && kill "$DOOR_PID" 2>/dev/null
    cleanup
}
trap screen_cleanup EXIT

# device_end <session> <end> <path> <lines> <columns> <options>: a device-mode kestro in its
# own tmux session, working in the directory <end>/ (files it sends and receives live there);
# <end>.rc, <end>.err, <end>.stty.before and <end>.stty.after are its traces. The pane
# stays after kestro ends, so the test can still read them.
device_end() {
    local session=$1 end=$2 path=$3 lines=$4 columns=$5
    shift 5
    mkdir -p "$end"
    {
        echo "stty -a >$end.stty.before"
        echo "(cd $end && exec '$KESTRO' -p '$path' $*) 2>$end.err"
        echo "echo \$? >$end.rc"
        echo "stty -a >$end.stty.after"
        echo "exec sleep $SAFETY"
    } >"$end.sh"
    tm new-session -d -s "$session" -x "$columns" -y "$lines" "sh $end.sh" || fail "tmux did not start"
}

# start_screen <lines> <columns> <options of the device end>: end A in tmux, end B in door mode.
start_screen() {
    local lines=$1 columns=$2
    shift 2
    start_cable
    sh -c "exec '$KESTRO' <>'$END_B' >&0 2>door.err" &
    DOOR_PID=$!
    device_end ui a "$END_A" "$lines" "$columns" "$@"
    wait_screen "Beeper: "  # every form of the chat bar has it
}

# capture: the pane into screen.txt, every row padded with blanks to the pane's width.
capture() {
    local width
    width=$(tm display -p -t "$PANE" '#{pane_width}')
    tm capture-pane -p -t "$PANE" | awk -v w="$width" '{ printf "%-" w "s\n", $0 }' >screen.txt
}

# on_screen <fixed text>: a fresh capture shows the text.
on_screen() { capture && grep -qF -- "$1" screen.txt; }

# wait_screen <fixed text> [seconds]: polls the pane until the text is on it.
wait_screen() {
    wait_until "${2:-60}" on_screen "$1" && return 0
    cat screen.txt >&2
    fail "\"$1\" never appeared on the screen"
}

# row <n>: row n (from 0) of the last capture.
row() { sed -n "$(($1 + 1))p" screen.txt; }

# steady_capture: a capture whose status rows read the same in a second capture, so that a
# refresh caught half-way through its figures is never read.
still_capture() {
    local first
    capture
    first=$(head -n 12 screen.txt)
    capture
    [ "$first" = "$(head -n 12 screen.txt)" ]
}
steady_capture() { wait_until 5 still_capture || fail "the status area of $PANE never kept still"; }

# figure <row> <column>: the number written there (ten characters wide) in the last capture.
figure() {
    local line
    line=$(row "$1")
    echo ${line:$2:10}
}

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
    tm send-keys -t "$PANE" "$1"
    wait_screen "$2"
}

# exit_with_ctrl_x [end]: Ctrl+X, then exit code 0 and the terminal as it was before.
exit_with_ctrl_x() {
    local end=${1:-a}
    tm send-keys -t "$PANE" C-x
    wait_until "$SAFETY" test -s "$end.stty.after" || fail "kestro did not end after Ctrl+X"
    [ "$(cat "$end.rc")" = 0 ] || fail "exit code $(cat "$end.rc") after Ctrl+X"
    # The size is the terminal's own, which a test may have changed meanwhile.
    local size='s/rows [0-9]*; columns [0-9]*;//'
    [ "$(sed "$size" "$end.stty.before")" = "$(sed "$size" "$end.stty.after")" ] || {
        diff "$end.stty.before" "$end.stty.after" >&2
        fail "terminal settings changed"
    }
}
