# On a 100x30 terminal under -E the layout follows the width and height (title of 100,
# heading with 59 '-', "Autoexit: 9:59" counting down with 43 '-', bar at row 28); Ctrl+X
# ends with 0.
. "$(dirname "$0")/lib/screen.bash"

start_screen 30 100 -E 600
title="---[ Kestro/Linux V1.0 - ported by Varkas ]"
row_is 0 "$title$(dashes $((100 - ${#title})))"
at 10 48 "Transmit errors"
row_is 12 "---[ Chat window ]---[ Ctrl-A for help ]-$(dashes 59)"
# Nothing accepted yet: the bar counts down the time to the end (the 2 minutes of a run
# with no file accepted, or -E's 600 seconds), filled to the width with '-'.
wait_screen "Autoexit: 9:5"
chat_bar_ok() {
    [[ "$(row 28)" =~ ^---\[\ Chat\ prompt\ \]---\[\ Autoexit:\ [0-9]:[0-5][0-9]\ \]--\[\ Beeper:\ Yes\ \]-{44}$ ]] ||
        fail "row 28 is \"$(row 28)\""
}
chat_bar_ok
key_then C-u "Enter files to upload"
row_is 28 "---[ Enter files to upload ]--$(dashes 70)"
key_then Enter "Chat prompt"
chat_bar_ok
exit_with_ctrl_x
echo "screen_sizes: ok"
