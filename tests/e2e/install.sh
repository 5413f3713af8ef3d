# cmake --install into a fresh prefix installs the program, the cable under its own name
# and the manual page, and the installed programs run; the cable answers --version and
# says what is wrong in one line.
. "$(dirname "$0")/lib/link.bash"
: "${KESTRO_SOURCE:?source directory}"

prefix="$WORK/prefix"
cmake --install "$KESTRO_BUILD" --prefix "$prefix" >install.out 2>&1 ||
    fail "cmake --install failed: $(cat install.out)"
[ -x "$prefix/bin/kestro" ] || fail "no bin/kestro"
[ -x "$prefix/bin/kestro-nullmodem" ] || fail "no bin/kestro-nullmodem"
cmp -s "$prefix/share/man/man1/kestro.1" "$KESTRO_SOURCE/docs/kestro.1" ||
    fail "share/man/man1/kestro.1 is missing or not the page of the tree"
"$prefix/bin/kestro" --version | grep -q '^kestro ' || fail "the installed kestro does not run"
"$prefix/bin/kestro-nullmodem" --help | grep -q -- '--print-paths' ||
    fail "the installed cable does not run"
# It calls itself by that name, and a mistake costs one line, not the whole usage.
[ "$("$prefix/bin/kestro-nullmodem" --version)" = "kestro-nullmodem 1.0" ] || fail "the cable's --version"
"$prefix/bin/kestro-nullmodem" --baud 2>cable.err && fail "the cable took --baud without a value"
[ "$(cat cable.err)" = "kestro-nullmodem: missing value for --baud
Try 'kestro-nullmodem --help'." ] || fail "the cable's error: $(cat cable.err)"
echo "install: ok"
