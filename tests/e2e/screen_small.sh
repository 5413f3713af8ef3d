# A 40x12 terminal, smaller than the layout needs: every line is cut at the edge, nothing
# runs into the next row, the chat window moves up under the status area, the bar still
# follows the mode, and Ctrl+X ends with 0 and the terminal settings restored.
. "$(dirname "$0")/lib/screen.bash"

start_screen 12 40
row_is 0 "$(printf '%.40s' "---[ Kestro/Linux V1.0 - ported by Varkas ]")"
at 7 2 "Files left"
row_is 8 "$(printf '%40s' '')"
row_is 9 "---[ Chat window ]---[ Ctrl-A for help ]"
row_is 10 "---[ Chat prompt ]---[ Autoexit: No  ]--"
key_then C-d "Enter files to download"
row_is 10 "---[ Enter files to download ]--$(dashes 8)"
tm send-keys -t ui "typed"
wait_screen "typed"
at 11 0 "typed"
exit_with_ctrl_x
echo "screen_small: ok"
