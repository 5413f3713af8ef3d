#!/usr/bin/env python3
"""How long a chat line waits behind our own file data, as the user at the other end sees it.

    bench/chat_latency.py [--build DIR] [--baud N] [--kib N] [--lines N] [--runs N]

Two device-mode ends over tools/nullmodem, each in a tmux terminal of its own. End A sends one
file of random bytes to end B; once B's copy has grown for a few seconds, a line is typed at A
(behind A's own data) and, as a control, one at B (whose direction carries no file data), each
a few seconds apart. A line's latency is from the moment tmux was told to press Enter to the
first poll (every 10 ms) of the other end's screen that shows it. The figures are wall time as
a user waits for them. The file (by default 45 s of line time) must still be crossing when a
line behind it shows; a line that arrives after the file was whole is not counted. With
--runs, a summary per direction: lines counted, median, worst, lost.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

POLL_S = 0.01


def tmux(sock, *args):
    return subprocess.run(["tmux", "-S", sock, *args], capture_output=True, text=True).stdout


def wait_for_screen(sock, session, text, limit_s):
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        if text in tmux(sock, "capture-pane", "-p", "-t", f"={session}:"):
            return time.monotonic()
        time.sleep(POLL_S)
    return None


def grown(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def one_run(build, baud, kib, lines, run):
    work = tempfile.mkdtemp(prefix="kestro-chat-")
    sock = os.path.join(work, "tmux.sock")
    cable = None
    try:
        for end in ("a", "b"):
            os.mkdir(os.path.join(work, end))
        with open(os.path.join(work, "a", "data.bin"), "wb") as f:
            f.write(os.urandom(kib * 1024))
        cable = subprocess.Popen([os.path.join(build, "tools", "nullmodem"), "--baud", str(baud), "--print-paths"],
                                 stdout=subprocess.PIPE, text=True)
        path_a = cable.stdout.readline().strip()
        path_b = cable.stdout.readline().strip()
        kestro = os.path.join(build, "kestro")
        env = "unset TMUX LINES COLUMNS; TERM=xterm-256color"
        tmux(sock, "new-session", "-d", "-s", "b", "-x", "100", "-y", "30",
             f"{env}; cd {work}/b && {kestro} -c -h -p {path_b}; sleep 60")
        tmux(sock, "new-session", "-d", "-s", "a", "-x", "100", "-y", "30",
             f"{env}; cd {work}/a && {kestro} -c -h -p {path_a} data.bin; sleep 60")
        target = os.path.join(work, "b", "data.bin")
        end = time.monotonic() + 60
        while grown(target) == 0 and time.monotonic() < end:
            time.sleep(POLL_S)
        if grown(target) == 0:
            print(f"run {run}: no data arrived", file=sys.stderr)
            return []
        results = []
        for i in range(lines):
            time.sleep(3)
            for typer, reader, direction in (("a", "b", "behind data"), ("b", "a", "control")):
                text = f"line-{run}-{i}-{typer}"
                tmux(sock, "send-keys", "-t", f"={typer}:", text)
                time.sleep(0.2)  # the text is in the input field before Enter
                sent = time.monotonic()
                tmux(sock, "send-keys", "-t", f"={typer}:", "Enter")
                seen = wait_for_screen(sock, reader, text, 30)
                latency = None if seen is None else seen - sent
                done = grown(target) * 100 // (kib * 1024)
                shown = "lost" if latency is None else f"{latency:.2f} s"
                if done >= 100:
                    print(f"run {run} line {i} {direction}: {shown}, the file was whole by then: not counted")
                    continue
                results.append((direction, latency, done))
                print(f"run {run} line {i} {direction}: {shown} (file {done}% across)")
                sys.stdout.flush()
        return results
    finally:
        tmux(sock, "kill-server")
        if cable is not None:
            cable.kill()
            cable.wait()
        shutil.rmtree(work, ignore_errors=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--kib", type=int, default=0, help="the file's size (default: 45 s of line time)")
    parser.add_argument("--lines", type=int, default=4)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    if shutil.which("tmux") is None:
        sys.exit("chat_latency: tmux is needed")
    kib = args.kib or args.baud * 45 // 10 // 1024
    results = []
    for run in range(args.runs):
        results += one_run(os.path.abspath(args.build), args.baud, kib, args.lines, run)
    for direction in ("behind data", "control"):
        got = [r[1] for r in results if r[0] == direction and r[1] is not None]
        lost = sum(1 for r in results if r[0] == direction and r[1] is None)
        if got:
            print(f"{args.baud} baud, {kib} KiB, {direction}: {len(got)} lines, median {sorted(got)[len(got) // 2]:.2f} s, "
                  f"worst {max(got):.2f} s, lost {lost}")


if __name__ == "__main__":
    main()
