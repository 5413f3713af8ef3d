#!/usr/bin/env python3
"""Throughput of two kestro ends over the lines a door gets today, unthrottled, on loopback.

    bench/lines.py [--build DIR] [--mib N] [--runs N] [CASE...]
    cases: socket telnet telnetd | telnetd-bare busybox ssh-tt ssh-T | cable eat-1d-xon eat-control

- socket:  both ends on one TCP connection handed over as --fd 5 (tests/e2e/lib/tcp_end.py);
- telnet:  one end --telnet --fd 5 on the connection, the other behind the inetutils telnet
           client (-8 -E), which socat bridges to it, with --escape telnet;
- telnetd: inetutils telnetd runs one end as its door (-E) with --escape telnet, the other
           behind the client as above.
With no line options on either end (two ends that both escape for lines that damage bytes):
- telnetd-bare: inetutils telnetd and the client `telnet -8` (escape character on, remote
           flow control);
- busybox: busybox telnetd (no BINARY) and `telnet -8`;
- ssh-tt, ssh-T: sshd on a loopback port with keys made for the run, the caller through
           `ssh -tt` (escape character on) or `ssh -T`;
- cable, eat-1d-xon, eat-control: tools/nullmodem unthrottled, clean or eating 0x1D and XON,
           or every control byte (0x00-0x1F, 0x7F). "lost s" is the wall time over the
           damaging cable less the median over the clean one: what the line costs before it
           settles, its escapes included.

Each end sends one random file of N MiB while it receives the other's, and leaves by itself
(-E 0). MB/s is the file's bytes (10^6) over the wall time from the start of the first end to
both exited (handshake and goodbye included), the same for each direction since both run at
once; CPU is each kestro end's user+system seconds over that time (bash's `times`). The
telnet client, socat and telnetd are not counted. Medians of --runs runs.
"""
import argparse
import os
import pwd
import shutil
import socket
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


def caller(work, port, command, client_command=None, client="telnet"):
    """socat bridging the client to the end that dials, once the door is ready (when it says
    so) and the client's terminal is raw (see tests/e2e/line_servers.sh)."""
    tty = f"$(readlink /proc/$(pgrep -P $PPID -x {client})/fd/0)"
    client_command = client_command or f"telnet -8 -E 127.0.0.1 {port}"
    ready = f"until [ -e {work}/door.ready ]; do sleep 0.02; done; "
    return subprocess.Popen(
        ["socat", f"EXEC:{client_command},pty,raw,echo=0",
         f"SYSTEM:{ready}exec {WHEN_RAW} \"{tty}\" {command},nofork"],
        stderr=subprocess.DEVNULL)


def door_script(work, kestro, options):
    """The program a server runs for the door: its terminal raw, then door.ready, then the end."""
    door = f"{work}/door.sh"
    with open(door, "w") as f:
        f.write(f"#!/bin/sh\n[ -t 0 ] && stty raw -echo\ntouch {work}/door.ready\n"
                f"exec {timed(work, 'a', kestro, options, 'fa')}\n")
    os.chmod(door, 0o755)
    return door


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sshd(work):
    """sshd on a loopback port, keys made here; returns (process, the ssh command's start)."""
    for key in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{work}/{key}"],
                       check=True)
    shutil.copy(f"{work}/user_key.pub", f"{work}/authorized_keys")
    port = free_port()
    with open(f"{work}/sshd_config", "w") as f:
        f.write(f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {work}/host_key\n"
                f"AuthorizedKeysFile {work}/authorized_keys\nPidFile {work}/sshd.pid\n"
                "PermitRootLogin yes\nPasswordAuthentication no\nUsePAM no\nStrictModes no\n"
                "LogLevel ERROR\n")
    os.makedirs("/run/sshd", exist_ok=True)
    sshd = subprocess.Popen([shutil.which("sshd") or "/usr/sbin/sshd", "-D", "-e", "-f",
                             f"{work}/sshd_config"], stderr=subprocess.DEVNULL)
    for _ in range(LIMIT_S * 50):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            break
        except OSError:
            time.sleep(0.02)
    user = pwd.getpwuid(os.getuid()).pw_name
    return sshd, (f"ssh -i {work}/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                  f"-o LogLevel=ERROR -p {port} {user}@127.0.0.1")


EAT = {"cable": [], "eat-1d-xon": ["--eat", "0x1D,0x11"], "eat-control": ["--eat", "control"]}


def cable_ends(work, kestro, case, build):
    return subprocess.Popen([os.path.join(build, "tools", "nullmodem"), *EAT[case], "--door-a",
                             "--door-b", "--", timed(work, "a", kestro, "", "fa"), "--",
                             timed(work, "b", kestro, "", "fb")], stderr=subprocess.DEVNULL)


def run_case(case, kestro, size, work, build, ssh):
    for end in "ab":
        os.makedirs(f"{work}/{end}", exist_ok=True)
        for f in os.listdir(f"{work}/{end}"):
            os.unlink(f"{work}/{end}/{f}")
    with open(f"{work}/a/fa", "wb") as f:
        f.write(os.urandom(size))
    with open(f"{work}/b/fb", "wb") as f:
        f.write(os.urandom(size))
    port_file = f"{work}/port"
    for stale in (port_file, f"{work}/door.ready"):
        if os.path.exists(stale):
            os.unlink(stale)
    start = time.monotonic()
    second = None
    if case in EAT:
        first = cable_ends(work, kestro, case, build)
    elif case.startswith("ssh"):
        first = caller(work, 0, timed(work, "b", kestro, "", "fb"),
                       f"{ssh} {case[3:]} {door_script(work, kestro, '')}", "ssh")
    elif case in ("telnetd-bare", "busybox"):
        server = ([shutil.which("telnetd") or "/usr/sbin/telnetd", "-h", "-E"]
                  if case == "telnetd-bare" else ["busybox", "telnetd", "-i", "-l"])
        first = subprocess.Popen([sys.executable, TCP_END, "listen", port_file, "--stdio", "--",
                                  *server, door_script(work, kestro, "")], stderr=subprocess.DEVNULL)
        port = wait_port(port_file)
        second = caller(work, port, timed(work, "b", kestro, "", "fb"), f"telnet -8 127.0.0.1 {port}")
    elif case == "telnetd":
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
    if case in EAT or case.startswith("ssh") or second is not None:
        pass
    elif case == "socket":
        port = wait_port(port_file)
        second = subprocess.Popen([sys.executable, TCP_END, "connect", port, "--",
                                   timed(work, "b", kestro, "--fd 5", "fb")])
    else:
        port = wait_port(port_file)
        options = "" if case == "telnetd" else "--escape telnet"
        if case == "telnetd":
            open(f"{work}/door.ready", "w").close()  # its door waits for a raw terminal itself
        second = caller(work, port, timed(work, "b", kestro, options, "fb"))
    codes = [second.wait(LIMIT_S) if second else 0, first.wait(LIMIT_S)]
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
    print(f"{'case':12} {'MB/s each way':>14} {'wall s':>7} {'lost s':>7} {'CPU s A':>8} {'CPU s B':>8} "
          f"{'CPU % A':>8} {'CPU % B':>8}  ok")
    clean_wall = None
    for case in args.cases:
        runs = []
        with tempfile.TemporaryDirectory(prefix="kestro-lines-") as work:
            sshd, ssh = start_sshd(work) if case.startswith("ssh") else (None, None)
            try:
                for _ in range(args.runs):
                    runs.append(run_case(case, kestro, size, work, args.build, ssh))
            finally:
                if sshd:
                    sshd.terminate()
                    sshd.wait()
        wall = statistics.median(r[0] for r in runs)
        cpu_a = statistics.median(r[1][0] for r in runs)
        cpu_b = statistics.median(r[1][1] for r in runs)
        ok = sum(1 for r in runs if r[2])
        if case == "cable":
            clean_wall = wall
        lost = f"{wall - clean_wall:7.2f}" if case in EAT and clean_wall is not None else f"{'':7}"
        print(f"{case:12} {size / wall / 1e6:14.1f} {wall:7.2f} {lost} {cpu_a:8.2f} {cpu_b:8.2f} "
              f"{100 * cpu_a / wall:8.0f} {100 * cpu_b / wall:8.0f}  {ok}/{len(runs)}", flush=True)


main()
