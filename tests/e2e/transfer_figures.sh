# Over a 9600-baud cable, files both ways at once; end A on a screen, end B a door with
# --progress. No log line and no progress line shows more than the line's 960 bytes a second
# (1% allowed). A's console output outside its full screen ends every line in CR LF, shows
# the link established on one line and closes with the summary, naming the file B refused;
# B's progress, in a file, comes in lines of at most 79 columns ending in LF, and ends with
# its totals.
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

# B's standard error is a file: one line each, none of them wider than 79 columns.
grep -q $'\r' b.err && fail "a carriage return in B's standard error"
grep ' cps' b.err >progress || fail "no progress line"
[ "$(wc -l <progress)" -ge 10 ] || fail "progress: $(cat progress)"
awk 'length($0) > 79 { exit 1 }' b.err || fail "a line wider than 79: $(cat b.err)"
grep -o '[0-9]* cps' progress | awk -v max=$MAX_CPS '$1 > max { exit 1 }' || fail "progress: $(cat progress)"
grep -q '^Received 1 file(s), 20000 bytes, [0-9]* file bytes/s average (x0\.99 compressed)\.$' b.err &&
    grep -q '^Sent 1 file(s), 20000 bytes, [0-9]* file bytes/s average (x0\.99 compressed)\.$' b.err ||
    fail "last lines: $(tail -n 4 b.err)"
grep -o '[0-9]* file bytes/s' b.err | awk -v max=$MAX_CPS '$1 > max { exit 1 }' || fail "totals: $(cat b.err)"

has a.out "ZARN data link established. Data link i/o mode 8/8 bits."
has a.out "Received 1 file(s), 20000 bytes, "
has a.out "Sent 1 file(s), 20000 bytes, "
has a.out "Not completed: taken (File already exist: the receiving end's -o overwrites, -R renames)"
has a.out "Sent: up.bin"
has a.out "Received: down.bin"
# The console runs raw: a line feed without its carriage return starts the next line under
# the end of this one. Standard error sent to a file gets plain line feeds.
python3 - a.out a.err <<'EOF' || fail "a bare line feed on the console, or CR LF in a file"
import re, sys
for name, bad in zip(sys.argv[1:], [rb"(?<!\r)\n", rb"\r\n"]):
    data = open(name, "rb").read()
    start, end = data.find(b"\x1b[?1049h"), data.rfind(b"\x1b[?1049l")
    outside = data if start < 0 else data[:start] + data[end:]
    if re.search(bad, outside):
        sys.exit(name + ": " + repr(outside))
EOF
echo "transfer_figures: ok"
