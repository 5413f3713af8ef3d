#!/usr/bin/env python3
"""One end of a loopback TCP connection handed to a program, as a calling system hands a
door the caller's socket.

usage: tcp_end.py listen PORTFILE [--stdio] -- PROGRAM ARGS...
       tcp_end.py connect PORT [--stdio] -- PROGRAM ARGS...
  listen   takes a free port on 127.0.0.1, writes its number to PORTFILE, accepts one
           connection;
  connect  connects to PORT on 127.0.0.1.
The socket is the program's descriptor 5 (standard input and output left as they are), or
with --stdio its standard input and output (as inetd starts a server). The exit status is
the program's.
"""
import os
import socket
import sys


def main():
    role, where = sys.argv[1], sys.argv[2]
    rest = sys.argv[3:]
    stdio = rest[0] == "--stdio"
    program = rest[rest.index("--") + 1:]
    if role == "listen":
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        with open(where + ".tmp", "w") as f:
            f.write(str(listener.getsockname()[1]))
        os.rename(where + ".tmp", where)  # whole or absent: the reader never sees half
        conn, _ = listener.accept()
        listener.close()
    else:
        conn = socket.create_connection(("127.0.0.1", int(where)))
    fd = conn.detach()
    for target in (0, 1) if stdio else (5,):
        if fd != target:
            os.dup2(fd, target)
        os.set_inheritable(target, True)  # a socket is made close-on-exec
    if fd not in ((0, 1) if stdio else (5,)):
        os.close(fd)
    os.execvp(program[0], program)


main()
