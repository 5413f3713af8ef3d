# Against a scripted peer: a block of version 2 ends with "Incompatible program version.";
# a peer that says goodbye right after its confirming `{}` ends the link with
# "ZARN data link terminated." (not a session with nobody until the time-out). Of the
# peer's bytes the console shows its banner's text only: its title sequence never reaches
# the terminal, nor does its block.
. "$(dirname "$0")/lib/link.bash"
PEER="$E2E_DIR/lib/handshake_peer.py"

run_against() {
    start_cable
    python3 "$PEER" "$END_B" "$1" 2>peer.err &
    peer=$!
    "$FAST" -p "$END_A" <a.keys >a.out 2>a.err
    rc=$?
    wait $peer || fail "[$1] the scripted peer: $(cat peer.err)"
    [ "$rc" = 0 ] || fail "[$1] exit code $rc"
    kill "$CABLE_PID"
    wait "$CABLE_PID" 2>/dev/null
    CABLE_PID=
}

run_against v2
has a.err "Incompatible program version."
lacks a.out "ZARN data link established."

run_against goodbye
has a.out "ZARN data link established."
has a.err "ZARN data link terminated."
has a.err "KESTRO v1.0"
lacks a.err "forged"
lacks a.err "036300"
LC_ALL=C grep -q "[$(printf '\001-\014\016-\037\177-\377')]" a.err && fail "raw control bytes echoed: $(cat -v a.err)"
echo "establish_peer: ok"
