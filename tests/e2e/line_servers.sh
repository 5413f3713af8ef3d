# Two ends with no line options move files both ways, identical, both exit 0, through the
# real servers and clients a caller meets, with the damage each does to bytes:
# 1. inetutils telnetd running the door, the caller through the telnet client with its
#    escape character (0x1D) on: the server asks the client for remote flow control, whose
#    terminal then eats XON and XOFF;
# 2. busybox telnetd (no BINARY): a CR goes out as CR NUL;
# 3. sshd on a loopback port with keys made here, `ssh -tt` with its escape character on
#    (newline then `~`), and `ssh -T`.
# The caller's end starts once the client has set its terminal up and the door its own: a
# terminal that still echoes would hand an end its own handshake.
. "$(dirname "$0")/lib/sockets.bash"
need python3 socat stty

# door_script <options>: door.sh, the program a server runs instead of a login: its
# terminal raw, then "door.ready", then the door's end in a/.
door_script() {
    cat >door.sh <<DOOR
#!/bin/sh
[ -t 0 ] && stty raw -echo
touch '$WORK/door.ready'
cd '$WORK/a' && exec '$FAST' $1 -E 5 -z ../a.log random.a text.a 2>../a.err
DOOR
    chmod +x door.sh
    rm -f door.ready
}

# caller <client name> <client command>: the client bridged by socat to the end in b/ that
# dials, once the door is ready and the client's terminal is raw.
caller() {
    local client="\$(readlink /proc/\$(pgrep -P \$PPID -x $1)/fd/0)"
    timeout "$SAFETY" socat EXEC:"$2",pty,raw,echo=0 \
        SYSTEM:"until [ -e door.ready ]; do sleep 0.02; done; cd b && exec '$LIB/when_raw.sh' \"$client\" '$FAST' -E 5 -z ../b.log random.b text.b 2>../b.err",nofork \
        2>socat.err || fail "[$3] the caller's end did not exit with 0"
}

# both_logged <label>: each end logged what it sent and what it received.
both_logged() {
    check_files "$1"
    for log in a.log b.log; do
        grep -q '^S ' $log && grep -q '^s ' $log || fail "[$1] $log: $(cat $log)"
    done
}

TELNETD=$(command -v telnetd || echo /usr/sbin/telnetd)
if [ -x "$TELNETD" ] && command -v telnet >/dev/null; then
    make_files
    door_script ""
    listen --stdio -- "$TELNETD" -h -E "$WORK/door.sh"
    caller telnet "telnet -8 127.0.0.1 $PORT" telnetd
    wait "$LISTENER"
    both_logged telnetd
else
    echo "SKIP: inetutils telnetd or telnet is not installed (scripts/setup installs them)"
fi

if command -v busybox >/dev/null && busybox --list | grep -qx telnetd && command -v telnet >/dev/null; then
    make_files
    door_script ""
    listen --stdio -- busybox telnetd -i -l "$WORK/door.sh"
    caller telnet "telnet -8 127.0.0.1 $PORT" busybox
    wait "$LISTENER"
    both_logged busybox
else
    echo "SKIP: busybox telnetd is not installed (scripts/setup installs busybox-static)"
fi

SSHD=$(command -v sshd || echo /usr/sbin/sshd)
if [ -x "$SSHD" ] && command -v ssh >/dev/null && command -v ssh-keygen >/dev/null; then
    ssh-keygen -q -t ed25519 -N '' -f host_key && ssh-keygen -q -t ed25519 -N '' -f user_key ||
        fail "no keys made"
    cp user_key.pub authorized_keys
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >sshd_config <<CONFIG
ListenAddress 127.0.0.1
Port $port
HostKey $WORK/host_key
AuthorizedKeysFile $WORK/authorized_keys
PidFile $WORK/sshd.pid
PermitRootLogin yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
LogLevel ERROR
CONFIG
    mkdir -p /run/sshd 2>/dev/null
    "$SSHD" -D -e -f "$WORK/sshd_config" 2>sshd.err &
    SSHD_PID=$!
    trap 'kill $SSHD_PID 2>/dev/null; cleanup' EXIT
    ssh_to="ssh -i $WORK/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -p $port $(id -un)@127.0.0.1"
    wait_until 30 python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" ||
        fail "sshd did not listen: $(cat sshd.err)"
    for mode in -tt -T; do
        make_files
        door_script ""
        caller ssh "$ssh_to $mode $WORK/door.sh" "ssh $mode"
        both_logged "ssh $mode"
    done
else
    echo "SKIP: sshd, ssh or ssh-keygen is not installed (scripts/setup installs OpenSSH)"
fi
echo "line_servers: ok"
