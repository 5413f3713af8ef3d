# A door-mode end (line on its standard input and output) establishes with a device-mode
# end: the device end shows 8/8, and with -E both end by themselves with exit code 0. The
# door end writes nothing but the link onto the line.
. "$(dirname "$0")/lib/link.bash"

timeout "$SAFETY" "$CABLE" --door-a --stderr-a a.err --stderr-b b.err --report report \
    -- "$FAST" -E 60 -- sh -c "$(end_command b "$FAST" -E 60)"
[ $? = 0 ] || fail "an end did not exit with 0"
[ "$(mode_of b)" = "8/8" ] || fail "the device end shows '$(mode_of b)'"
# The door end shows nothing on a console and echoes nothing: its line is its output.
lacks a.err "KESTRO"
has a.err "ZARN data link"
# Nor does it print its progress onto the line: the device end shows the banner's text of
# what arrived there, and only that.
has b.err "KESTRO v1.0"
lacks b.err "0363407C8E"
lacks b.err "Initializing"
lacks b.err "established"
echo "establish_door: ok"
