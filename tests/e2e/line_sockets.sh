# A door on a handed socket: one end on --fd 5, the other on the descriptor a DOOR32.SYS
# names, over loopback TCP; both move their files both ways, identical, exit 0, and leave
# standard output alone. The drop file's speed goes into the log (one out of range as 0).
# Descriptors that cannot be the line, a local session and escapes that would read as
# control sequences are refused before any byte.
. "$(dirname "$0")/lib/sockets.bash"
need python3

make_files
printf '2\r\n6\r\n1000000\r\nThe BBS\r\n1\r\nA Caller\r\nacaller\r\n10\r\n60\r\n1\r\n1\r\n' >door32.sys
listen -- sh -c "cd a && exec '$FAST' --fd 5 -E 5 -z ../a.log random.a text.a </dev/null >../a.out 2>../a.err"
# The drop file names descriptor 6: the socket is moved there, 5 closed.
timeout "$SAFETY" python3 "$TCP_END" connect "$PORT" -- sh -c \
    "cd b && exec '$FAST' --door32 ../door32.sys -E 5 -z ../b.log random.b text.b 6<&5 5<&- </dev/null >../b.out 2>../b.err" \
    || fail "the --door32 end did not exit with 0"
wait "$LISTENER" || fail "the --fd end did not exit with 0"
check_files sockets
[ ! -s a.out ] && [ ! -s b.out ] || fail "a door wrote on its standard output"
grep -qE '^S +300000 +0 bps .* random\.a 0$' b.log || fail "b.log: $(cat b.log)"

# Refused, with the reason, and nothing written anywhere but standard error.
refused() {  # <code> <text> <command...>
    local code=$1 text=$2
    shift 2
    "$@" >out 2>err </dev/null
    [ $? = "$code" ] || fail "$* did not end with $code"
    grep -qF -- "$text" err || fail "$*: $(cat err)"
    [ ! -s out ] || fail "$* wrote on standard output"
}
refused 20 "descriptor 9: not open" "$KESTRO" --fd 9
refused 20 "descriptor 7: not open for both reading and writing" sh -c "exec '$KESTRO' --fd 7 7</dev/null"
printf '0\r\n0\r\n38400\r\n' >local.sys
refused 30 "local.sys line 1: local session, no line" "$KESTRO" --door32 local.sys
printf '2\r\nsocket\r\n38400\r\n' >bad.sys
refused 30 "bad.sys line 2: no descriptor number" "$KESTRO" --door32 bad.sys
refused 30 "missing.sys: No such file" "$KESTRO" --door32 missing.sys
refused 30 "0x5A \`Z\` cannot be escaped" "$KESTRO" --escape 0x1d,90
refused 30 "0x7B \`{\` is escaped whenever" "$KESTRO" --escape 123
refused 30 "--escape 1;2: byte values" "$KESTRO" --escape "1;2"
echo "line_sockets: ok"
