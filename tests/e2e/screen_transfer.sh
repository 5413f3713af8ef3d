# Two device-mode ends in 80x25 tmux terminals over a 19,200-baud cable, B with -r.
# A file named after Ctrl+U at A moves while the users chat; on every steady look at the
# status areas the figures agree with the file on its way (size, totals, bytes left, rates
# no faster than the line, "Current cps" equal to "Average cps" in the first five seconds,
# the share done of "Done, left" that of the bytes left, link counts that only grow) and
# they change as it goes. Ctrl+Y at A makes B beep once a
# second until a key is pressed at B, and no more after it. The file ends with "Upload
# completed (1 file(s) sent)" at A and "Download completed (1 file(s) received)" at B.
# Then Ctrl+U with "*.ZIP plain.dat" sends x.zip, Y.Zip and plain.dat (not n.txt), and
# Ctrl+D fetches wanted.txt from B; every file arrives byte for byte.
. "$(dirname "$0")/lib/screen.bash"

N=24000  # bytes of the big file: about twelve seconds on this line
R=1920   # bytes per second of the line
mkdir a b
head -c $N /dev/urandom >a/big
head -c 3000 /dev/urandom >a/x.zip
head -c 2000 /dev/urandom >a/Y.Zip
head -c 1000 /dev/urandom >a/plain.dat
head -c 500 /dev/urandom >a/n.txt
head -c 1500 /dev/urandom >b/wanted.txt

start_cable --baud 19200
device_end ua a "$END_A" 25 80
device_end ub b "$END_B" 25 80 -r
PANE=ua wait_screen "Chat prompt"
PANE=ub wait_screen "Chat prompt"

bells() { tr -cd '\007' <b.err | wc -c; }
type_line() { tm send-keys -t "$1" "$2"; tm send-keys -t "$1" -l "$3"; tm send-keys -t "$1" Enter; }

# check_direction <column> <what>: the figures of one direction in the last capture agree
# with each other and with the file; LEFT becomes the bytes left of row 8.
check_direction() {
    local c=$1 what=$2 size flb files total fl avg cur n
    size=$(figure 3 "$c") flb=$(figure 4 "$c") files=$(figure 5 "$c") total=$(figure 6 "$c")
    fl=$(figure 7 "$c") LEFT=$(figure 8 "$c") avg=$(figure 9 "$c") cur=$(figure 10 "$c")
    [ "$files $total" = "1 $N" ] || fail "$what: total files $files, total bytes $total"
    # The file's own two figures go to 0 once its last byte is in (or out of) the channels.
    ((size == N || (size == 0 && flb == 0))) || fail "$what: file size $size, its bytes left $flb"
    ((fl == 1 || (fl == 0 && LEFT == 0 && flb == 0))) || fail "$what: files left $fl, left $flb $LEFT"
    ((flb >= 0 && flb <= N && LEFT >= 0 && LEFT <= N)) || fail "$what: bytes left $flb $LEFT"
    # Bytes still in the data channels: not yet taken at B, taken but unacknowledged at A.
    if [ "$what" = download ]; then
        ((LEFT <= flb)) || fail "$what: row 8 $LEFT above row 4 $flb"
    else
        ((LEFT >= flb)) || fail "$what: row 8 $LEFT below row 4 $flb"
    fi
    n=$((N - LEFT))  # the bytes that have crossed the line
    local done_left
    done_left=$(row 11)
    done_left=${done_left:$c:12}
    if ((fl == 1)); then
        [[ $done_left == "$((n * 100 / N))% "* ]] || fail "$what: \"$done_left\" with $n of $N bytes moved"
    else
        [ "$done_left" = "-           " ] || fail "$what: \"$done_left\" with no file"
    fi
    ((n == 0)) && return
    # avg = n / elapsed seconds, so elapsed <= n / avg: under 5 makes both rates equal.
    ((avg >= 1 && avg * 100 <= R * 101)) || fail "$what: average $avg with $n bytes moved"
    # The current rate is what crossed in about the last five seconds, the same at both ends
    # (landed, or acknowledged): a block that began to cross just before them may count.
    ((cur * 100 <= R * 101 + 1024 * 100 / 5)) || fail "$what: current $cur with $n bytes moved"
    ((n > 4 * avg || cur == avg)) || fail "$what: current $cur, average $avg, $n bytes moved"
}

# check_link <end> <bytes moved> <row of the link's byte count>: the link column agrees with
# the file's bytes, and its counts only grow.
declare -A LAST
check_link() {
    local end=$1 moved=$2 r v
    # A block starts only below the window, so at most one block runs past it.
    (($(figure 4 68) > 0)) || fail "$end: no packet size"
    (($(figure 3 68) < $(figure 2 68) + $(figure 4 68))) || fail "$end: in flight past the window"
    for r in 5 6 7 8 9 10; do
        v=$(figure $r 68)
        ((v >= ${LAST[$end$r]:-0})) || fail "$end: row $r went down to $v"
        LAST[$end$r]=$v
    done
    (($(figure "$3" 68) >= moved)) || fail "$end: link bytes $(figure "$3" 68) below $moved"
}

# look: one checked look at each end; the rows 8 seen go into SEEN_A and SEEN_B.
SEEN_A=" " SEEN_B=" "
look() {
    PANE=ub steady_capture
    check_direction 16 download
    check_link b $((N - LEFT)) 6  # received bytes
    [[ $SEEN_B == *" $LEFT "* ]] || SEEN_B+="$LEFT "
    PANE=ua steady_capture
    check_direction 32 upload
    check_link a $((N - LEFT)) 9  # transmitted (acknowledged) bytes
    [[ $SEEN_A == *" $LEFT "* ]] || SEEN_A+="$LEFT "
}
# look_until <condition>: looks until the condition holds.
look_until() {
    local condition=$1
    wait_until "$SAFETY" eval 'look; eval "$condition"' || fail "never: $1"
}

# shows_size <pane> <row> <column>: a fresh capture has the size of the file there.
shows_size() {
    PANE=$1 capture
    [ "$(figure "$2" "$3")" = $N ]
}

# wait_figure <pane> <row> <column>: until that figure shows the size of the file.
wait_figure() { wait_until "$SAFETY" shows_size "$@" || fail "$1 never shows $N at row $2, column $3"; }

type_line ua C-u big
wait_figure ub 3 16  # B works on the file
wait_figure ua 6 32  # A has it in its totals
quiet=$(bells) steps=$(wc -w <<<"$SEEN_B")
tm send-keys -t ua C-y
look_until '(($(bells) >= quiet + 2))'
# The first letter of a chat line is the key that stops the beeping.
tm send-keys -t ub -l "moving"
PANE=ub wait_screen "moving"
rang=$(bells) yelled=$(($(wc -w <<<"$SEEN_B") - steps)) steps=$(wc -w <<<"$SEEN_B")
# One bell per refresh (each one a new row 8), give or take two not yet looked at.
((rang - quiet <= yelled + 2)) || fail "$((rang - quiet)) bells in $yelled refreshes"
# Three new figures: at least two refreshes after the count, and each would have rung.
look_until '(($(wc -w <<<"$SEEN_B") >= steps + 3))'
(($(bells) == rang)) || fail "B still beeps after a key: $rang, then $(bells)"
tm send-keys -t ub Enter
PANE=ua wait_screen "moving"
look_until '((LEFT == 0))'
PANE=ub wait_screen "<INFO> Download completed (1 file(s) received)"
PANE=ua wait_screen "<INFO> Upload completed (1 file(s) sent)"
look
cmp -s a/big b/big || fail "big differs"
# Between the whole file and nothing, several figures: they changed as it moved.
(($(wc -w <<<"$SEEN_A") >= 5 && $(wc -w <<<"$SEEN_B") >= 5)) || fail "few steps: $SEEN_A / $SEEN_B"
for end in ua ub; do
    PANE=$end capture
    for c in 16 32; do at 7 $c "0 "; done  # files left
done

type_line ua C-u "*.ZIP plain.dat"
PANE=ua wait_screen "<INFO> Upload completed (3 file(s) sent)"
PANE=ub wait_screen "<INFO> Download completed (3 file(s) received)"
for f in x.zip Y.Zip plain.dat; do cmp -s "a/$f" "b/$f" || fail "$f differs"; done
[ ! -e b/n.txt ] || fail "n.txt was sent"
type_line ua C-d wanted.txt
PANE=ua wait_screen "<INFO> Download completed (1 file(s) received)"
cmp -s a/wanted.txt b/wanted.txt || fail "wanted.txt differs"

PANE=ua exit_with_ctrl_x a
PANE=ub exit_with_ctrl_x b
echo "screen_transfer: ok"
