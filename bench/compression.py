#!/usr/bin/env python3
"""What compression gives a user: file bytes moved over the time both ends took, over the line.

    bench/compression.py [--build DIR] [--only WORD...] [--no-zmodem] [--jobs N]

Two door-mode kestro ends over tools/nullmodem, for three kinds of data (a text corpus: a tar
of the system's C headers; binaries: a tar of /usr/bin; random bytes), at 115200 and 9600 baud,
one way (A sends) and both ways (each end sends its own file of the kind), each compressed (both
ends announce it, the default) and with --no-compress; one way also ZMODEM (lrzsz's sz/rz,
installed with apt-get when missing; for comparison only).

- Effective rate: file bytes of a direction / wall seconds from the start of the cable with
  both ends until both exited (for ZMODEM: sz's run, start to exit) / (baud/10). 5.0x means
  five times the line's rate.
- CPU: user+system seconds of each kestro end (sz for ZMODEM), from /usr/bin/time; peak RSS
  likewise (the larger of the two ends).
- ok: every received file compares equal.
The runs go --jobs at a time (default 4): they are paced by the cable and use little CPU.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from recovery import ensure_lrzsz  # the same install of lrzsz, beside this script

# Bytes per direction, chosen for about a minute of line time without compression.
SIZES = {
    (115200, "text"): 4 << 20, (115200, "binaries"): 2 << 20, (115200, "random"): 640 << 10,
    (9600, "text"): 512 << 10, (9600, "binaries"): 192 << 10, (9600, "random"): 56 << 10,
}
ZMODEM_CAP_S = 600


def corpus(kind, size, seed, path):
    """A file of `size` bytes of the kind; `seed` picks another stretch for the other end."""
    if kind == "random":
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        return
    tree = "/usr/include" if kind == "text" else "/usr/bin"
    tar = subprocess.run(["tar", "cf", "-", "-C", tree, "."], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    data = tar.stdout
    start = (seed * size) % max(1, len(data) - size)
    with open(path, "wb") as f:
        f.write(data[start:start + size])


def timed(command, times_file):
    return f"exec /usr/bin/time -o {times_file} -f '%U %S %M' sh -c \"{command}\""


def read_times(path):
    try:
        with open(path) as f:
            user, system, rss = f.read().split()[-3:]
        return float(user) + float(system), int(rss)
    except (OSError, ValueError):
        return 0.0, 0


def run_kestro(build, baud, kind, both, compress):
    size = SIZES[(baud, kind)]
    work = tempfile.mkdtemp(prefix="kestro-compress-")
    try:
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
        corpus(kind, size, 0, os.path.join(work, "a", "from_a"))
        if both:
            corpus(kind, size, 1, os.path.join(work, "b", "from_b"))
        opts = f"-c -E 0 -s {baud}" + ("" if compress else " --no-compress")
        kestro = os.path.join(build, "kestro")
        cmd_a = timed(f"cd a && exec {kestro} {opts} from_a", os.path.join(work, "a.time"))
        cmd_b = timed(f"cd b && exec {kestro} {opts}" + (" from_b" if both else ""), os.path.join(work, "b.time"))
        start = time.monotonic()
        subprocess.run([os.path.join(build, "tools", "nullmodem"), "--baud", str(baud), "--door-a", "--door-b",
                        "--stderr-a", "a.err", "--stderr-b", "b.err", "--report", "report", "--",
                        "sh", "-c", cmd_a, "--", "sh", "-c", cmd_b], cwd=work)
        seconds = time.monotonic() - start
        pairs = [("a/from_a", "b/from_a")] + ([("b/from_b", "a/from_b")] if both else [])
        ok = all(subprocess.call(["cmp", "-s", os.path.join(work, x), os.path.join(work, y)]) == 0 for x, y in pairs)
        cpu_a, rss_a = read_times(os.path.join(work, "a.time"))
        cpu_b, rss_b = read_times(os.path.join(work, "b.time"))
        return {"eff": size / seconds / (baud / 10), "cpu": cpu_a + cpu_b, "rss": max(rss_a, rss_b), "ok": ok,
                "seconds": seconds}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_zmodem(build, baud, kind):
    size = SIZES[(baud, kind)]
    work = tempfile.mkdtemp(prefix="zmodem-compress-")
    try:
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
        corpus(kind, size, 0, os.path.join(work, "a", "from_a"))
        cmd_a = f"cd a && date +%s.%N > ../t0 && /usr/bin/time -o {work}/a.time -f '%U %S %M' sz -q from_a; date +%s.%N > ../t1"
        cmd_b = "cd b && exec rz -q"
        cable = subprocess.Popen([os.path.join(build, "tools", "nullmodem"), "--baud", str(baud), "--door-a",
                                  "--door-b", "--duration", str(ZMODEM_CAP_S), "--report", "report", "--",
                                  "sh", "-c", cmd_a, "--", "sh", "-c", cmd_b], cwd=work)
        cable.wait()
        with open(os.path.join(work, "t0")) as f0, open(os.path.join(work, "t1")) as f1:
            seconds = float(f1.read()) - float(f0.read())
        ok = subprocess.call(["cmp", "-s", os.path.join(work, "a/from_a"), os.path.join(work, "b/from_a")]) == 0
        cpu, rss = read_times(os.path.join(work, "a.time"))
        return {"eff": size / seconds / (baud / 10) if ok else 0.0, "cpu": cpu, "rss": rss, "ok": ok,
                "seconds": seconds}
    except OSError:
        return {"eff": 0.0, "cpu": 0.0, "rss": 0, "ok": False, "seconds": 0.0}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cell(r):
    text = f"{r['eff']:.2f}x, {r['cpu']:.1f} s CPU, {r['rss'] / 1024:.1f} MiB"
    return text if r["ok"] else text + " **failed**"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--only", nargs="*", default=[], help="rows whose label holds one of these words")
    parser.add_argument("--no-zmodem", action="store_true")
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if not args.no_zmodem:
        ensure_lrzsz()
    rows = []
    for baud in (115200, 9600):
        for kind in ("text", "binaries", "random"):
            for both in (False, True):
                label = f"{baud}, {kind}, {'both ways' if both else 'one way'} ({SIZES[(baud, kind)] >> 10} KiB)"
                if args.only and not any(w in label for w in args.only):
                    continue
                rows.append((label, baud, kind, both))
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        jobs = {}
        for label, baud, kind, both in rows:
            jobs[(label, "on")] = pool.submit(run_kestro, build, baud, kind, both, True)
            jobs[(label, "off")] = pool.submit(run_kestro, build, baud, kind, both, False)
            if not both and not args.no_zmodem:
                jobs[(label, "zmodem")] = pool.submit(run_zmodem, build, baud, kind)
        print("| line, data | Kestro compressed | Kestro --no-compress | ZMODEM one way |")
        print("|---|---|---|---|")
        for label, _, _, both in rows:
            zm = jobs.get((label, "zmodem"))
            print(f"| {label} | {cell(jobs[(label, 'on')].result())} | {cell(jobs[(label, 'off')].result())} | "
                  f"{cell(zm.result()) if zm else ''} |")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
