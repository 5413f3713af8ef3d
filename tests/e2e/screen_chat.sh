# Two device-mode ends, each in an 80x25 tmux terminal: a line typed at A shows at B and, in
# cyan, at A; Ctrl+A at B shows five "<HELP>" lines, the second with nothing after the tag;
# both end with Ctrl+X and exit code 0.
. "$(dirname "$0")/lib/screen.bash"

start_cable
device_end ua a "$END_A" 25 80
device_end ub b "$END_B" 25 80
PANE=ua wait_screen "Chat prompt"
PANE=ub wait_screen "Chat prompt"

PANE=ua
tm send-keys -t ua "hello from a   "
wait_screen "hello from a"
tm send-keys -t ua Enter
PANE=ub wait_screen "hello from a"
row_is 13 "$(printf '%-80s' 'hello from a')"
# The local echo: in cyan, on A's first chat row; the input line is empty again.
PANE=ua wait_screen "hello from a"
row_is 13 "$(printf '%-80s' 'hello from a')"
row_is 24 "$(printf '%80s' '')"
tm capture-pane -e -p -t ua | sed -n 14p | grep -q $'\e\\[36m' || fail "the local line is not cyan"

PANE=ub
key_then C-a "^X -> Exit"
for r in 14 15 16 17 18; do at $r 0 "<HELP>"; done
row_is 15 "$(printf '%-80s' '<HELP>')"
at 14 0 "<HELP> Orvane Kestro driver V1.0 for Linux"

PANE=ua exit_with_ctrl_x a
PANE=ub exit_with_ctrl_x b
echo "screen_chat: ok"
