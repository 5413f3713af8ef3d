# On an 80x25 terminal: the title fills the row, labels stand at their places (the
# window size's too, the "Done, left" row under the figures), the chat heading and the
# three bars end in their dashes, file lines and "Done, left" show "-"; Ctrl+X ends with 0
# and the terminal settings exactly as before.
. "$(dirname "$0")/lib/screen.bash"

start_screen 25 80
title="---[ Kestro/Linux V1.0 - ported by Varkas ]"
row_is 0 "$title$(dashes $((80 - ${#title})))"
at 1 16 "Download"
at 1 32 "Upload"
at 2 2 "File Name"
at 2 16 "-               -               "
labels_2=("File size" "Bytes left" "Total files" "Total bytes" "Files left" "Total left"
          "Average cps" "Current cps")
labels_48=("Transmit window" "Packet size" "Received packets" "Received bytes" "Receive errors"
           "Transmitted packets" "Transmitted bytes" "Transmit errors")
for i in 0 1 2 3 4 5 6 7; do
    at $((i + 3)) 2 "${labels_2[$i]}"
    at $((i + 3)) 48 "${labels_48[$i]}"
done
at 2 48 "Window size"
wait_screen 'Compression         on'  # both ends compress, nothing has moved
row_is 11 "$(printf '%-80s' '  Done, left    -               -               Compression         on')"
row_is 12 "---[ Chat window ]---[ Ctrl-A for help ]-$(dashes 39)"
chat_bar="---[ Chat prompt ]---[ Autoexit: No  ]--[ Beeper: Yes ]-$(dashes 24)"
row_is 23 "$chat_bar"

key_then C-u "Enter files to upload"
row_is 23 "---[ Enter files to upload ]--$(dashes 50)"
key_then C-d "Enter files to download"
row_is 23 "---[ Enter files to download ]--$(dashes 48)"
key_then Enter "Chat prompt"
row_is 23 "$chat_bar"

key_then C-n "Beeper: No "
key_then C-n "Beeper: Yes"
row_is 23 "$chat_bar"

exit_with_ctrl_x
echo "screen_layout: ok"
