# How two real ends answer offers and requests, shown by the files on disk, the log lines
# (-X adds the refusal lines) and the result messages on the screen, in three runs:
#  1. (both ends check whole files) resume "r" from byte 1,000 onto the sender's own first
#     bytes; an unrelated first 1,000 bytes are never resumed onto ("e" at both ends, the
#     local file untouched); equal size "x" only with equal content (-y deletes the sender's
#     copy then, and every confirmed one), equal size with other content "e"; a longer local
#     file "e"; -o replaces a longer local file; the sender's modification time is kept;
#  2. -R stores .0, then .1; -w refuses a shorter file; two -d names, then "t"; a -U request
#     served with -r ("d"), one for a missing name and one for a wildcard name under -k ("m"),
#     one to a peer without -r ("p");
#  3. -j refuses with "q".
# Exit codes carry the uploads-outstanding bit where an end had an offer refused.
. "$(dirname "$0")/lib/link.bash"

# run_ends <label> <options and names A> <options and names B>: device-mode ends working in
# a/ and b/, logs in a.log and b.log, screens in a.out and b.out.
run_ends() {
    LABEL=$1
    rm -f a.log b.log
    timeout "$SAFETY" "$CABLE" --stderr-a a.err --stderr-b b.err --report report \
        -- sh -c "cd a && exec '$FAST' -p {} -E 30 -z ../a.log $2 <../a.keys >../a.out" \
        -- sh -c "cd b && exec '$FAST' -p {} -E 30 -z ../b.log $3 <../b.keys >../b.out"
}
exit_codes() { [ "$(grep -ac "end A exit=$1$\|end B exit=$2$" report)" = 2 ] || fail "[$LABEL] exit codes: $(cat report)"; }
# logged <log> <letter> <size> <name> [count]: log lines in the fixed format.
logged() {
    local n
    n=$(grep -acE "^$2 +$3 +0 bps +[0-9]+ cps   0 errors     0 +[0-9]+ $4 0$" "$1")
    [ "$n" = "${5:-1}" ] || fail "[$LABEL] $1: $n '$2' lines for $4 of size $3: $(cat "$1")"
}
lines_in() { [ "$(wc -l <"$1")" = "$2" ] || fail "[$LABEL] $1 should have $2 lines: $(cat "$1")"; }
same() { cmp -s "$1" "$2" || fail "[$LABEL] $1 and $2 differ"; }
gone() { [ ! -e "$1" ] || fail "[$LABEL] $1 is still there"; }
shown() { grep -aqF -- "$2" "$1" || fail "[$LABEL] $1 never showed \"$2\""; }
random() { head -c "$2" /dev/urandom >"$1"; }

mkdir a b ref
# Run 1. A (-o -y -X) sends resume.bin, same.bin, longer.bin, new.bin, other.bin and
# prefix.bin; B (-X) sends over.bin.
random ref/resume.bin 5000; cp ref/resume.bin a/; head -c 1000 ref/resume.bin >b/resume.bin
random a/same.bin 3000; cp a/same.bin b/
random a/longer.bin 2000; random b/longer.bin 4000; cp b/longer.bin ref/longer.b
random ref/new.bin 1500; cp ref/new.bin a/; touch -d "2020-01-02 03:04:05" a/new.bin
random a/other.bin 3000; random b/other.bin 3000; cp b/other.bin ref/other.b
random a/prefix.bin 5000; random b/prefix.bin 1000; cp b/prefix.bin ref/prefix.b
random b/over.bin 3000; random a/over.bin 6000
run_ends resume-skip-overwrite "-o -y -X resume.bin same.bin longer.bin new.bin other.bin prefix.bin" "-X over.bin"
exit_codes 2 0
same ref/resume.bin b/resume.bin  # resumed at 1,000: sent from 0 it would be 6,000 bytes long
same ref/new.bin b/new.bin
[ "$(stat -c %Y b/new.bin)" = "$(date -d "2020-01-02 03:04:05" +%s)" ] || fail "[$LABEL] new.bin lost its time"
same ref/longer.b b/longer.bin; same ref/other.b b/other.bin; same ref/prefix.b b/prefix.bin
same b/over.bin a/over.bin
gone a/resume.bin; gone a/new.bin; gone a/same.bin
for f in longer other prefix; do [ -e a/$f.bin ] || fail "[$LABEL] refused $f.bin was deleted"; done
logged b.log S 5000 resume.bin; logged b.log S 1500 new.bin; logged b.log E 3000 same.bin
logged b.log E 2000 longer.bin; logged b.log E 3000 other.bin; logged b.log E 5000 prefix.bin
logged b.log s 3000 over.bin
logged a.log s 5000 resume.bin; logged a.log s 1500 new.bin; logged a.log e 2000 longer.bin
logged a.log e 3000 other.bin; logged a.log e 5000 prefix.bin; logged a.log S 3000 over.bin
lines_in a.log 6; lines_in b.log 7

# Run 2. A (-R -X) sends short.txt, t1 and t2 and requests served.txt, missing.txt and w*;
# B (-w -r -k -X, receive names short.txt and n2.txt) sends ren1.txt and ren2.txt and
# requests nope.txt.
rm -rf a b && mkdir a b
random a/short.txt 3000; head -c 1000 a/short.txt >b/short.txt
random a/t1 100; random a/t2 200
random b/served.txt 4000; random 'b/w*' 10
random b/ren1.txt 1000; random a/ren1.txt 3000; cp a/ren1.txt ref/ren1.a
random b/ren2.txt 1100; random a/ren2.txt 3000; random a/ren2.txt.0 3000
run_ends rename-w-d-requests "-R -X short.txt t1 t2 -U served.txt missing.txt 'w*'" \
    "-w -r -k -X ren1.txt ren2.txt -U nope.txt -d short.txt n2.txt"
exit_codes 3 1  # a request that brings nothing leaves its download outstanding
same ref/ren1.a a/ren1.txt; same b/ren1.txt a/ren1.txt.0; same b/ren2.txt a/ren2.txt.1
same b/served.txt a/served.txt
[ "$(head -c 1000 a/short.txt | cmp - b/short.txt && stat -c %s b/short.txt)" = 1000 ] ||
    fail "[$LABEL] -w: the shorter file was touched"
same a/t1 b/n2.txt; gone b/t1; gone b/t2
logged a.log S 1000 ren1.txt.0; logged a.log S 1100 ren2.txt.1; logged a.log S 4000 served.txt
logged a.log e 3000 short.txt; logged a.log s 100 t1; logged a.log e 200 t2
logged b.log E 3000 short.txt; logged b.log S 100 n2.txt
logged b.log s 1000 ren1.txt; logged b.log s 1100 ren2.txt; logged b.log s 4000 served.txt
lines_in a.log 6; lines_in b.log 5
shown a.out "Requested file not found (missing.txt)"; shown a.out "Requested file not found (w*)"
shown b.out "Download request denied (nope.txt)"
shown a.out "Download request denied (nope.txt: -r would serve it)"

# Run 3. A (-j -X) refuses B's file; B's own receive names are used up by A's files.
rm -rf a b && mkdir a b
random b/q.bin 700; random a/kept.bin 800
run_ends refuse-all "-j -X kept.bin" "q.bin"
exit_codes 0 2
same a/kept.bin b/kept.bin; gone a/q.bin
logged a.log E 700 q.bin; logged a.log s 800 kept.bin; logged b.log e 700 q.bin
logged b.log S 800 kept.bin
lines_in a.log 2; lines_in b.log 2
shown b.out "Upload request denied (q.bin)"
echo "transfer_answers: ok"
