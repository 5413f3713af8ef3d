# Two device-mode ends in tmux under a UTF-8 locale. "ünïcödé ✓" typed at A stays in the
# input line while A's terminal goes 80x25 -> 50x15 -> 30x10 -> 100x30: at each size the
# title, labels, figures and bar are whole (the link's figures, which need 78 columns, left
# out at 50), 30x10 shows only a line saying it is too small, and growing back brings
# everything again. Enter sends it: it shows at B and at A, and stays in A's chat window
# through another resize. Ctrl+X ends both with 0, and nothing of A's display stays on its
# shell's screen.
export LC_ALL=C.UTF-8
. "$(dirname "$0")/lib/screen.bash"

typed="ünïcödé ✓"
title="---[ Kestro/Linux V1.0 - ported by Varkas ]"
labels=("File size" "Bytes left" "Total files" "Total bytes" "Files left" "Total left"
        "Average cps" "Current cps")

start_cable
device_end ua a "$END_A" 25 80
device_end ub b "$END_B" 25 80
PANE=ub wait_screen "Chat prompt"
PANE=ua
wait_screen "Chat prompt"
tm send-keys -t ua -l "$typed"
wait_screen "$typed"

# resize <columns> <lines> <row> <text>: the terminal takes the size; kestro has laid itself
# out again once row 0 and the text's row are its. (Before, the pane shows the old screen,
# cut, or moved up a few rows when it lost them.)
laid_out() {
    capture
    local top bottom
    top=$(row 0) bottom=$(row "$3")
    [ "${bottom:0:${#4}}" = "$4" ] && [[ $3 == 0 || $top == "---[ Kestro"* ]] &&
        [ "$(wc -l <screen.txt)" = "$2" ]
}
resize() {
    tm resize-window -t ua -x "$1" -y "$2"
    wait_until "$SAFETY" laid_out "$@" && return 0
    cat -n screen.txt >&2
    fail "no layout for $1x$2"
}

# stands <row> <column> <text>: a fresh capture has the text there.
stands() {
    capture
    local line
    line=$(row "$1")
    [ "${line:$2:${#3}}" = "$3" ]
}

# wait_row <row> <column> <text>: until the text stands there.
wait_row() {
    wait_until "$SAFETY" stands "$@" && return 0
    cat -n screen.txt >&2
    fail "row $1 column $2 never showed \"$3\""
}

# whole <columns> <bar row> <bar text> <link>: the status area, the bar and the input line.
whole() {
    row_is 0 "$title$(dashes $(($1 - ${#title})))"
    at 1 16 "Download"
    at 1 32 "Upload"
    at 2 2 "File Name"
    for i in 0 1 2 3 4 5 6 7; do
        at $((i + 3)) 2 "${labels[$i]}"
        at $((i + 3)) 16 "0 "
        at $((i + 3)) 32 "0 "
    done
    if [ "$4" = link ]; then
        at 10 48 "Transmit errors"
        [ -n "$(figure 4 68)" ] || fail "no packet size"
    else
        ! grep -q "Transmit\|Received" screen.txt || fail "the link's figures cut into a narrow screen"
    fi
    row_is "$2" "$3$(dashes $(($1 - ${#3})))"
    at $(($2 + 1)) 0 "$typed"
}

chat_bar="---[ Chat prompt ]---[ Autoexit: No  ]--[ Beeper: Yes ]-"
whole 80 23 "$chat_bar" link
resize 50 15 13 "---[ Chat ]--[ Autoexit: No  ]--[ Beeper: Yes ]---"
whole 50 13 "---[ Chat ]--[ Autoexit: No  ]--[ Beeper: Yes ]-" no-link
row_is 11 "---[ Chat window ]---[ Ctrl-A for help ]-$(dashes 9)"
resize 30 10 0 "Too small: 40x12"
[ "$(grep -c '[^ ]' screen.txt)" = 1 ] || fail "more than the notice on a 30x10 terminal"
resize 100 30 28 "$chat_bar"
whole 100 28 "$chat_bar" link

tm send-keys -t ua Enter
PANE=ub wait_row 13 0 "$typed"
wait_row 13 0 "$typed"
resize 60 20 18 "$chat_bar"
at 13 0 "$typed"
resize 100 30 28 "$chat_bar"  # larger than at the start: see the end

PANE=ua exit_with_ctrl_x a
PANE=ub exit_with_ctrl_x b
# The shell's screen comes back as it was: no row of the display stays on it.
PANE=ua capture
! grep -q "Chat window\|Kestro/Linux" screen.txt || { cat screen.txt >&2; fail "the display stays on the shell's screen"; }
echo "screen_resize: ok"
