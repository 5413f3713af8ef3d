# Telnet both ways round, each moving files both ways, identical, both ends exit 0:
# 1. --telnet: kestro holds the raw connection and speaks telnet to the inetutils client
#    (-8 -E), which socat bridges to a pseudo-terminal where the other end runs;
# 2. inetutils telnetd runs the door (-E, instead of login) with --plain --escape telnet;
#    the caller, with no options, starts first on a pseudo-terminal that still echoes
#    (cooked): it says "the line echoes what we send", links with nothing, logs nothing,
#    and links with the door once the telnet client has dialed on that terminal.
# In 1 the caller's end starts once the client has set its terminal up.
. "$(dirname "$0")/lib/sockets.bash"
need python3 socat telnet stty
TELNETD=$(command -v telnetd || echo /usr/sbin/telnetd)
[ -x "$TELNETD" ] || { echo "SKIP: telnetd is not installed (scripts/setup installs inetutils-telnetd)"; exit 0; }

# caller <options>: the telnet client on $PORT, bridged to the end in b/ that dials. With
# nofork the end is started by the socat that started the client; its terminal is the
# client's standard input.
caller() {
    local client='$(readlink /proc/$(pgrep -P $PPID -x telnet)/fd/0)'
    timeout "$SAFETY" socat EXEC:"telnet -8 -E 127.0.0.1 $PORT",pty,raw,echo=0 \
        SYSTEM:"cd b && exec '$LIB/when_raw.sh' \"$client\" '$FAST' $1 -E 5 -z ../b.log random.b text.b 2>../b.err",nofork \
        2>socat.err || fail "the caller's end did not exit with 0"
}

make_files
listen -- sh -c "cd a && exec '$FAST' --telnet --fd 5 -E 5 -z ../a.log random.a text.a </dev/null 2>../a.err"
caller "--escape telnet"
wait "$LISTENER" || fail "the --telnet end did not exit with 0"
check_files --telnet

make_files
cat >door.sh <<DOOR
#!/bin/sh
stty raw -echo
exec "$LIB/when_raw.sh" "\$(tty)" sh -c "cd '$WORK/a' && exec '$FAST' --plain --escape telnet -E 5 -z ../a.log random.a text.a 2>../a.err"
DOOR
chmod +x door.sh
listen --stdio -- "$TELNETD" -h -E "$WORK/door.sh"
timeout "$SAFETY" socat PTY,link="$WORK/tty" \
    SYSTEM:"cd b && exec '$FAST' -E 5 -z ../b.log random.b text.b 2>../b.err" 2>socat.err &
socat_pid=$!
wait_for b.err "the line echoes what we send"
[ ! -s b.log ] || fail "the caller logged on its echo: $(cat b.log)"
lacks b.err "ZARN data link"
timeout "$SAFETY" telnet -8 -E 127.0.0.1 "$PORT" <tty >tty 2>/dev/null &
wait "$socat_pid" || fail "the caller's end did not exit with 0"
wait "$LISTENER"
check_files telnetd
grep -q '^S ' a.log && grep -q '^s ' a.log || fail "the door's log: $(cat a.log)"
[ "$(grep -c '^[Ss] ' b.log)" = 4 ] || fail "the caller's log: $(cat b.log)"
echo "line_telnet: ok"
