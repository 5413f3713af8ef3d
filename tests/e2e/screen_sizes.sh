# On a 100x30 terminal under -E the layout follows the width and height (title of 100,
# heading with 59 '-', "Autoexit: Yes" with 44 '-', bar at row 28); Ctrl+X ends with 0.
. "$(dirname "$0")/lib/screen.bash"

start_screen 30 100 -E 600
title="---[ Kestro/Linux V1.0 - ported by Varkas ]"
row_is 0 "$title$(dashes $((100 - ${#title})))"
at 10 48 "Transmit errors"
row_is 12 "---[ Chat window ]---[ Ctrl-A for help ]-$(dashes 59)"
chat_bar="---[ Chat prompt ]---[ Autoexit: Yes ]--[ Beeper: Yes ]-$(dashes 44)"
row_is 28 "$chat_bar"
key_then C-u "Enter files to upload"
row_is 28 "---[ Enter files to upload ]--$(dashes 70)"
key_then Enter "Chat prompt"
row_is 28 "$chat_bar"
exit_with_ctrl_x
echo "screen_sizes: ok"
