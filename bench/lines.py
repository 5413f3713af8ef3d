#!/usr/bin/env python3
"""Throughput of two kestro ends over the lines a door gets today, unthrottled, on loopback.

    bench/lines.py [--build DIR] [--mib N] [--runs N] [CASE...]   (cases: socket telnet telnetd)

- socket:  both ends on one TCP connection handed over as --fd 5 (tests/e2e/lib/tcp_end.py);
- telnet:  one end --telnet --fd 5 on the connection, the other behind the inetutils telnet
           client (-8 -E), which socat bridges to it, with --escape telnet;
- telnetd: inetutils telnetd runs one end as its door (-E) with --escape telnet, the other
           behind the client as above.

Each end sends one random file of N MiB while it receives the other's, and leaves by itself
(-E 0). MB/s is the file's bytes (10^6) over the wall time from the start of the first end to
both exited (handshake and goodbye included), the same for each direction since both run at
once; CPU is each kestro end's user+system seconds over that time (bash's `times`). The
telnet client, socat and telnetd are not counted. Medians of --runs runs.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB = os.path.join(ROOT, "tests", "e2e", "lib")
TCP_END = os.path.join(LIB, "tcp_end.py")
WHEN_RAW = os.path.join(LIB, "when_raw.sh")
LIMIT_S = 600


def timed(work, end, kestro, options, name):
    """A script for one end: kestro in its directory, its CPU times to a file. Returns its path."""
    path = f"{work}/{end}.sh"
    with open(path, "w") as f:
        f.write(f"#!/bin/bash\ncd {work}/{end} || exit 2\n{kestro} {options} -E 0 {name} 2>../{end}.err\n"
                f"rc=$?\ntimes >../{end}.cpu\nexit $rc\n")
    os.chmod(path, 0o755)
    return path


def wait_port(path):
    for _ in range(LIMIT_S * 50):
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return open(path).read()
        time.sleep(0.02)
    sys.exit("no port")


def caller(work, port, command):
    """socat bridging the telnet client to the end that dials, once the client's terminal
    is raw (see tests/e2e/line_telnet.sh)."""
    client = "$(readlink /proc/$(pgrep -P $PPID -x telnet)/fd/0)"
    return subprocess.Popen(
        ["socat", f"EXEC:telnet -8 -E 127.0.0.1 {port},pty,raw,echo=0",
         f"SYSTEM:{WHEN_RAW} \"{client}\" {command},nofork"],
        stderr=subprocess.DEVNULL)


def run_case(case, kestro, size, work):
    for end in "ab":
        os.makedirs(f"{work}/{end}", exist_ok=True)
        for f in os.listdir(f"{work}/{end}"):
            os.unlink(f"{work}/{end}/{f}")
    with open(f"{work}/a/fa", "wb") as f:
        f.write(os.urandom(size))
    with open(f"{work}/b/fb", "wb") as f:
        f.write(os.urandom(size))
    port_file = f"{work}/port"
    if os.path.exists(port_file):
        os.unlink(port_file)
    start = time.monotonic()
    if case == "telnetd":
        door = f"{work}/door.sh"
        with open(door, "w") as f:
            f.write("#!/bin/sh\nstty raw -echo\n"
                    f"exec {WHEN_RAW} \"$(tty)\" {timed(work, 'a', kestro, '--escape telnet', 'fa')}\n")
        os.chmod(door, 0o755)
        first = subprocess.Popen([sys.executable, TCP_END, "listen", port_file, "--stdio", "--",
                                  shutil.which("telnetd") or "/usr/sbin/telnetd", "-h", "-E", door],
                                 stderr=subprocess.DEVNULL)
    else:
        options = "--telnet --fd 5" if case == "telnet" else "--fd 5"
        first = subprocess.Popen([sys.executable, TCP_END, "listen", port_file, "--",
                                  timed(work, "a", kestro, options, "fa")])
    port = wait_port(port_file)
    if case == "socket":
        second = subprocess.Popen([sys.executable, TCP_END, "connect", port, "--",
                                   timed(work, "b", kestro, "--fd 5", "fb")])
    else:
        options = "" if case == "telnetd" else "--escape telnet"
        second = caller(work, port, timed(work, "b", kestro, options, "fb"))
    codes = [second.wait(LIMIT_S), first.wait(LIMIT_S)]
    wall = time.monotonic() - start
    same = all(subprocess.run(["cmp", "-s", f"{work}/a/{f}", f"{work}/b/{f}"]).returncode == 0
               for f in ("fa", "fb"))
    cpu = []
    for end in "ab":
        try:
            line = open(f"{work}/{end}.cpu").read().split("\n")[1].split()
            cpu.append(sum(float(t.split("m")[0]) * 60 + float(t.split("m")[1].rstrip("s"))
                           for t in line))
        except (OSError, IndexError, ValueError):
            cpu.append(float("nan"))
    return wall, cpu, same and codes == [0, 0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--mib", type=int, default=32)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("cases", nargs="*", default=["socket", "telnet", "telnetd"])
    args = parser.parse_args()
    kestro = os.path.join(args.build, "kestro")
    size = args.mib * 1024 * 1024
    print(f"{args.mib} MiB each way at once, median of {args.runs}")
    print(f"{'case':8} {'MB/s each way':>14} {'wall s':>7} {'CPU s A':>8} {'CPU s B':>8} {'CPU % A':>8} {'CPU % B':>8}  ok")
    for case in args.cases:
        runs = []
        with tempfile.TemporaryDirectory(prefix="kestro-lines-") as work:
            for _ in range(args.runs):
                runs.append(run_case(case, kestro, size, work))
        wall = statistics.median(r[0] for r in runs)
        cpu_a = statistics.median(r[1][0] for r in runs)
        cpu_b = statistics.median(r[1][1] for r in runs)
        ok = sum(1 for r in runs if r[2])
        print(f"{case:8} {size / wall / 1e6:14.1f} {wall:7.2f} {cpu_a:8.2f} {cpu_b:8.2f} "
              f"{100 * cpu_a / wall:8.0f} {100 * cpu_b / wall:8.0f}  {ok}/{len(runs)}")


main()
