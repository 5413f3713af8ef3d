# A 40x12 terminal, the smallest the display takes: the column heads and the eight figure
# rows with their labels, whole (title, file names and the link's figures left out), the
# chat heading and the bar in their short forms, the bar still following the mode, typed
# text on the last row; Ctrl+X ends with 0 and the terminal settings restored.
. "$(dirname "$0")/lib/screen.bash"

start_screen 12 40
row_is 0 "$(printf '%-40s' '             Download     Upload')"
labels=("File size" "Bytes left" "Total files" "Total bytes" "Files left" "Total left"
        "Average cps" "Current cps")
for i in 0 1 2 3 4 5 6 7; do
    at $((i + 1)) 1 "${labels[$i]}"
    at $((i + 1)) 13 "0 "
    at $((i + 1)) 26 "0 "
done
row_is 9 "---[ Chat window ]--[ Ctrl-A: help ]----"
row_is 10 "-[ Autoexit: No  ]-[ Beeper: Yes ]------"
key_then C-d "Enter files to download"
row_is 10 "---[ Enter files to download ]--$(dashes 8)"
tm send-keys -t ui "typed"
wait_screen "typed"
at 11 0 "typed"
exit_with_ctrl_x
echo "screen_small: ok"
