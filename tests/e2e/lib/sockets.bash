# Shared by the end-to-end tests on sockets and telnet: two kestro ends on a loopback TCP
# connection (tcp_end.py hands it over), a random and a text file each way.
. "$(dirname "${BASH_SOURCE[0]}")/link.bash"

LIB="$E2E_DIR/lib"
TCP_END="$LIB/tcp_end.py"

# need <command>...: skips the whole test with a clear line when one is missing.
need() {
    for c in "$@"; do
        command -v "$c" >/dev/null || { echo "SKIP: $c is not installed (scripts/setup installs it)"; exit 0; }
    done
}

make_files() {
    rm -rf a b port *.log *.err && mkdir a b
    head -c 300000 /dev/urandom >a/random.a
    head -c 200000 /dev/urandom >b/random.b
    seq 1 20000 | sed 's/$/ line of text\r/' >a/text.a
    seq 1 15000 | sed 's/$/ more text/' >b/text.b
}

# check_files <label>: both files of each end arrived whole at the other.
check_files() {
    for f in random.a text.a random.b text.b; do
        cmp -s "a/$f" "b/$f" || fail "[$1] $f differs or is missing"
    done
}

# listen <command...>: runs the command in the background with a listening socket's
# connection on descriptor 5 (tcp_end.py's options before the --), waits for the port.
listen() {
    rm -f port
    timeout "$SAFETY" python3 "$TCP_END" listen port "$@" &
    LISTENER=$!
    wait_until "$SAFETY" test -s port || fail "no port to connect to"
    PORT=$(cat port)
}
