# --help and --version answer on standard output with exit code 0 before anything else
# runs (no list file read, no log opened); the manual page renders without a warning and
# names every option letter, every long option and every exit code.
. "$(dirname "$0")/lib/link.bash"
: "${KESTRO_SOURCE:?source directory}"

letters="C D E F H R U X c d e h j k o p q r s t u v w x y z"
long_options="--speed --progress --help --version --escape --plain --fd --door32 --telnet"

"$KESTRO" -z help.log @missing.list --help >help.out 2>help.err
[ $? = 0 ] || fail "--help did not exit with 0"
[ -s help.err ] && fail "--help wrote on standard error"
[ -e help.log ] && fail "--help opened the log"
has help.out "Usage: kestro -p DEVICE"
# An option is named where it stands at the start of an entry or after a comma.
for l in $letters; do
    grep -qE -- "(^ +|, | {2})-$l( |,|$)" help.out || fail "--help does not name -$l"
done
for o in $long_options; do has help.out "  $o"; done

"$KESTRO" -p /nonexistent/line --version >version.out 2>&1
[ $? = 0 ] || fail "--version did not exit with 0"
grep -qE '^kestro [0-9]+\.[0-9]+$' version.out || fail "--version printed: $(cat version.out)"

if ! command -v man >/dev/null; then
    echo "SKIP: man is not installed (scripts/setup installs man-db): manual page not checked"
    echo "help_manual: ok"
    exit 0
fi
page="$KESTRO_SOURCE/docs/kestro.1"
LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
    >/dev/null 2>man.err
[ -s man.err ] && fail "the manual page renders with warnings: $(cat man.err)"
LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man -E UTF-8 -l "$page" >man.txt 2>&1 ||
    fail "the manual page does not render"
# section <title>: the lines of one top-level section of the rendered page.
section() { awk -v t="$1" '/^[A-Z]/ { on = ($0 == t) } on' man.txt; }
section OPTIONS >options.txt
section "EXIT STATUS" >exit.txt
for l in $letters; do
    grep -qE -- "^ {7}(-[A-Za-z], )*-$l( |,|$)" options.txt || fail "OPTIONS lacks an entry for -$l"
done
for o in $long_options; do
    grep -qE -- "^ {7}$o( |$)" options.txt || fail "OPTIONS lacks an entry for $o"
done
for code in 0 1 2 3 10 20 30; do
    grep -qE "^ {7}$code( |$)" exit.txt || fail "EXIT STATUS lacks the code $code"
done
echo "help_manual: ok"
