#!/usr/bin/env python3
"""Sessions in a row on one line: does every one connect?

    bench/sessions.py [--build DIR] [--baud N] [--series N] [--sessions N] [--a-mode door|device]
                      [--leftover] [--stagger S]

As a sysop's line sees it: one cable (tools/nullmodem --print-paths) stays up, and sessions
follow one another on it. In each, end B runs a door-mode kestro on its terminal and, STAGGER
seconds later, end A runs kestro in door mode or in device mode (in a tmux terminal of its
own); each sends the other a small file and leaves by itself (-E 1). The next session starts
as soon as both have exited, so what the last one left on the line (its goodbye) is still
there. With --leftover, a goodbye `{}` is written into the line towards B before the first
session, as an earlier session of the caller would have left it.

A session connected when both ends exited 0 and both files arrived whole; one that has not
ended after LIMIT_S has not (the establishment gives up after 60 s). Printed: every session's
wall time (from the start of end B until both exited) and the count of sessions that
connected, per series (a fresh cable each).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

POLL_S = 0.02
LIMIT_S = 120
FILE_BYTES = 8 * 1024


def tmux(sock, *args):
    return subprocess.run(["tmux", "-S", sock, *args], capture_output=True, text=True).stdout


class DoorEnd:
    def __init__(self, kestro, args, cwd, line, err):
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
        with open(err, "wb") as err_file:
            self.proc = subprocess.Popen([kestro, *args], cwd=cwd, stdin=fd, stdout=fd, stderr=err_file,
                                         start_new_session=True)
        os.close(fd)

    def code(self):
        return self.proc.poll()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class DeviceEnd:
    """kestro -p LINE in a tmux terminal; its exit code is written to a file when it ends."""

    def __init__(self, kestro, args, cwd, line, sock, name):
        self.sock, self.name = sock, name
        self.rc = os.path.join(cwd, f"rc.{name}")
        quoted = " ".join(f"'{a}'" for a in args)
        command = (f"unset TMUX LINES COLUMNS; TERM=xterm-256color; cd '{cwd}' && "
                   f"'{kestro}' -c -h -p '{line}' {quoted}; echo $? > '{self.rc}'")
        tmux(sock, "new-session", "-d", "-s", name, "-x", "100", "-y", "30", command)

    def code(self):
        try:
            with open(self.rc) as f:
                text = f.read().strip()
            return int(text) if text else None
        except (OSError, ValueError):
            return None

    def kill(self):
        tmux(self.sock, "kill-session", "-t", f"={self.name}")


def one_series(build, args, series):
    work = tempfile.mkdtemp(prefix="kestro-sessions-")
    sock = os.path.join(work, "tmux.sock")
    kestro = os.path.join(build, "kestro")
    cable = subprocess.Popen([os.path.join(build, "tools", "nullmodem"), "--baud", str(args.baud), "--print-paths",
                              "--report", os.path.join(work, "report")],
                             stdout=subprocess.PIPE, text=True, start_new_session=True)
    path_a = cable.stdout.readline().strip()
    path_b = cable.stdout.readline().strip()
    connected = 0
    try:
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
        if args.leftover:
            fd = os.open(path_a, os.O_WRONLY | os.O_NOCTTY)
            os.write(fd, b"{}")
            os.close(fd)
            time.sleep(0.1)  # carried to B's side before B starts
        for n in range(1, args.sessions + 1):
            data = {side: os.urandom(FILE_BYTES) for side in ("a", "b")}
            for side in ("a", "b"):
                with open(os.path.join(work, side, f"{side}{series}.{n}"), "wb") as f:
                    f.write(data[side])
            start = time.monotonic()
            b = DoorEnd(kestro, ["-E", "1", f"b{series}.{n}"], os.path.join(work, "b"), path_b,
                        os.path.join(work, f"b.{n}.err"))
            time.sleep(args.stagger)
            a_args = ["-E", "1", f"a{series}.{n}"]
            if args.a_mode == "device":
                a = DeviceEnd(kestro, a_args, os.path.join(work, "a"), path_a, sock, f"a{n}")
            else:
                a = DoorEnd(kestro, a_args, os.path.join(work, "a"), path_a, os.path.join(work, f"a.{n}.err"))
            while time.monotonic() - start < LIMIT_S and (a.code() is None or b.code() is None):
                time.sleep(POLL_S)
            wall = time.monotonic() - start
            codes = (a.code(), b.code())
            a.kill()
            b.kill()

            def arrived(side, other):
                try:
                    with open(os.path.join(work, other, f"{side}{series}.{n}"), "rb") as f:
                        return f.read() == data[side]
                except OSError:
                    return False
            ok = codes == (0, 0) and arrived("a", "b") and arrived("b", "a")
            connected += ok
            print(f"series {series} session {n}: {'connected' if ok else 'FAILED'} in {wall:.1f} s "
                  f"(exit codes A {codes[0]}, B {codes[1]})")
            sys.stdout.flush()
    finally:
        tmux(sock, "kill-server")
        cable.terminate()
        cable.wait()
        shutil.rmtree(work, ignore_errors=True)
    return connected


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--series", type=int, default=3, help="series, each on a fresh cable")
    parser.add_argument("--sessions", type=int, default=3, help="sessions in a row in a series")
    parser.add_argument("--a-mode", choices=("door", "device"), default="door")
    parser.add_argument("--leftover", action="store_true", help="a goodbye `{}` on the line before the first")
    parser.add_argument("--stagger", type=float, default=1.0, help="seconds between B's start and A's")
    args = parser.parse_args()
    if args.a_mode == "device" and shutil.which("tmux") is None:
        sys.exit("sessions: tmux is needed for --a-mode device")
    build = os.path.abspath(args.build)
    total = 0
    for series in range(1, args.series + 1):
        total += one_series(build, args, series)
    print(f"\n{args.a_mode} A, door B{', a `{}` left before the first' if args.leftover else ''}: "
          f"{total} of {args.series * args.sessions} sessions connected "
          f"({args.series} series of {args.sessions} in a row)")
    return 0 if total == args.series * args.sessions else 1


if __name__ == "__main__":
    sys.exit(main())
