# Over a 9600-baud cable, files both ways at once; end A on a screen, end B a door with
# --progress. No log line and no progress line shows more than the line's 960 bytes a second
# (1% allowed). A's console output outside its full screen ends every line in CR LF, shows
# the link established on one line and closes with the summary, naming the file B refused;
# B's progress ends with its totals.
. "$(dirname "$0")/lib/link.bash"

MAX_CPS=969
mkdir a b
head -c 20000 /dev/urandom >a/up.bin
head -c 100 /dev/urandom >a/taken
head -c 20000 /dev/urandom >b/down.bin
head -c 500 /dev/urandom >b/taken  # longer at B: A's offer of it is refused
timeout "$SAFETY" "$CABLE" --baud 9600 --door-b --stderr-a a.err --stderr-b b.err --report report \
    -- sh -c "cd a && exec '$KESTRO' -p {} -E 2 -z ../a.log up.bin taken <../a.keys >../a.out" \
    -- sh -c "cd b && exec '$KESTRO' --progress -E 2 -z ../b.log down.bin"
cmp -s a/up.bin b/up.bin || fail "up.bin differs at B"
cmp -s b/down.bin a/down.bin || fail "down.bin differs at A"

# Whole files have a measured rate, never above the line's.
for log in a.log b.log; do
    [ "$(grep -c '^[Ss] ' $log)" = 2 ] || fail "$log: $(cat $log)"
    awk -v max=$MAX_CPS '/^[Ss] / { if ($5 < 1 || $5 > max) bad = 1 } END { exit bad }' $log ||
        fail "$log: $(cat $log)"
done

tr '\r' '\n' <b.err | grep ' cps' >progress || fail "no progress line"
[ "$(wc -l <progress)" -ge 10 ] || fail "progress: $(cat progress)"
grep -o '[0-9]* cps' progress | awk -v max=$MAX_CPS '$1 > max { exit 1 }' || fail "progress: $(cat progress)"
tail -n 1 progress | grep -q '^Received 1 file(s), 20000 bytes, [0-9]* cps average; sent 1 file(s), 20000 bytes' ||
    fail "last progress line: $(tail -n 1 progress)"

has a.out "ZARN data link established. Data link i/o mode 8/8 bits."
has a.out "Received 1 file(s), 20000 bytes, "
has a.out "Sent 1 file(s), 20000 bytes, "
has a.out "Not completed: taken (File already exist)"
# The console runs raw: a line feed without its carriage return starts the next line under
# the end of this one.
python3 - a.out a.err <<'EOF' || fail "a bare line feed on the console"
import re, sys
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    start, end = data.find(b"\x1b[?1049h"), data.rfind(b"\x1b[?1049l")
    outside = data if start < 0 else data[:start] + data[end:]
    if re.search(rb"(?<!\r)\n", outside):
        sys.exit(name + ": " + repr(outside))
EOF
echo "transfer_figures: ok"
