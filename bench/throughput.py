#!/usr/bin/env python3
"""Kestro throughput benchmark: two door-mode ends over tools/nullmodem.

    bench/throughput.py [--build DIR] [--kib N] [--runs N] [--jobs N] [CASE...]
                                                     (cases: clean slow noisy fast idle digest digest-perf)

Each transfer case gives both ends one file to send, so both directions run at once,
and lets them leave by themselves (-E 1). Two measures of time:

- wall: from the start of the cable with both ends until both have exited, which is what
  a user waits for (handshake, transfer, the goodbye and its wait included). Its share of
  the line is the file's bytes over (wall seconds x baud/10), the same for both directions.
  Lead: from the start to the first data seen; tail: from both files whole to both exited
  (it holds the -E 1 wait, up to a second: the ends' clock counts whole seconds; --ends
  "-c -E 0" leaves at once).
- growth: the bench polls the received files' sizes every 20 ms; a direction's rate is the
  bytes that arrived between the first poll that saw data and the poll that saw the file
  whole, over that time (the pace of the data alone).

A run whose end printed "Waiting for ZARN termination... time-out" is marked: the goodbye
was not heard and that end waited for it. Wire overhead is the
cable's "sent" count for the direction over the file size, less one (handshake,
acknowledgements for the other direction, framing, escapes and repeats included).
Peak RSS is VmHWM and CPU is utime+stime, both read from /proc of each end at every
poll. The idle case links two ends with nothing to do and counts their CPU over 10 s.

The digest case prices the whole-file check: one file one way, unthrottled, between two ends
of the test build kestro_trace, alternately with the check (both ends announce it) and
without (KESTRO_NO_EXTENDED=1 at both ends), --digest-runs times each. It gives the medians
of the time from the cable's start to the file whole at the receiver (the sender's hash
before its offer included), of the rate while the data moved, and of each end's CPU. The
digest-perf case runs the checked transfer --digest-runs times with each end under perf record
(CPU samples, kernel time included) and gives the share of each end's samples in libxxhash.
"""
import argparse
import concurrent.futures
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import statistics
import tempfile
import time

POLL_S = 0.02
TICKS = os.sysconf("SC_CLK_TCK")

# name: (baud or 0 for unthrottled, bytes per direction, extra cable options)
CASES = {
    "clean": (115200, 512 * 1024, []),
    "noisy": (115200, 512 * 1024, ["--corrupt", "0.0001", "--seed", "11"]),
    "slow": (9600, 48 * 1024, []),
    "fast": (0, 200 * 1024 * 1024, []),
}
IDLE_SECONDS = 10


def note_progress(targets, size, now, first, done):
    """For each received file: when it first grew (and to what size), and when it was whole."""
    for key, path in targets.items():
        try:
            st = os.stat(path)
        except OSError:
            continue
        got = st.st_size
        if got > 0 and key not in first:
            first[key] = (now, got)
        if got >= size and key not in done:
            # When its last byte was written: exact, where the poll may come late (or not at
            # all, when the ends leave at once).
            done[key] = now - max(0.0, time.time() - st.st_mtime)


def children(pid):
    """Pids whose parent is pid (the two ends the cable started)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(int(entry))
        except OSError:
            pass
    return sorted(found)


def sample(pid):
    """(peak RSS in KiB, CPU seconds) of a live process, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / TICKS
        hwm = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    hwm = int(line.split()[1])
        return hwm, cpu
    except (OSError, IndexError, ValueError):
        return None


def make_file(path, size):
    with open("/dev/urandom", "rb") as src, open(path, "wb") as dst:
        left = size
        while left > 0:
            block = src.read(min(left, 1 << 20))
            dst.write(block)
            left -= len(block)


def read_report(path):
    sent = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) > 2 and parts[1] in ("A->B", "B->A"):
                sent[parts[1]] = int(parts[2].split("=")[1])
    return sent


def start_cable(build, work, cable_options, cmd_a, cmd_b, extra=()):
    cable = os.path.join(build, "tools", "nullmodem")
    args = [cable, *cable_options, *extra, "--door-a", "--door-b",
            "--stderr-a", os.path.join(work, "a.err"), "--stderr-b", os.path.join(work, "b.err"),
            "--report", os.path.join(work, "report"), "--",
            "sh", "-c", cmd_a, "--", "sh", "-c", cmd_b]
    env = dict(os.environ, TERM="xterm")
    return subprocess.Popen(args, cwd=work, env=env)


class ends_watch:
    """Follows the two ends' peak RSS and CPU until they exit."""

    def __init__(self, cable_pid):
        self.cable_pid = cable_pid
        self.pids = []
        self.last = {}

    def poll(self):
        if len(self.pids) < 2:
            self.pids = children(self.cable_pid)
        for pid in self.pids:
            s = sample(pid)
            # An end that has exited but is not reaped yet shows no VmHWM: keep the last.
            if s is not None and s[0] > 0:
                self.last[pid] = s

    def figures(self):
        return [self.last.get(pid, (0, 0.0)) for pid in self.pids[:2]]


def goodbye_timeouts(work):
    """The ends ("A", "B") that printed that their wait for the peer's goodbye timed out."""
    found = ""
    for side in ("a", "b"):
        try:
            with open(os.path.join(work, f"{side}.err"), errors="replace") as f:
                if "termination... time-out" in f.read():
                    found += side.upper()
        except OSError:
            pass
    return found


def run_transfer(build, kestro, name, baud, size, noise, jitter=0.0, ends="-E 1"):
    # Runs that start together would meet the ends' whole-second clock (-E 1) in step: a
    # random delay before the start (not counted) gives each run its own phase.
    time.sleep(random.uniform(0, jitter))
    work = tempfile.mkdtemp(prefix=f"kestro-bench-{name}-")
    try:
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
            make_file(os.path.join(work, side, f"from_{side}"), size)
        cmd = "cd {} && exec '" + kestro + "' " + ends + " -z ../{}.log from_{}"
        options = (["--baud", str(baud)] if baud else []) + noise
        start = time.monotonic()  # wall time: from the start of the cable with both ends
        cable = start_cable(build, work, options, cmd.format("a", "a", "a"), cmd.format("b", "b", "b"))
        watch = ends_watch(cable.pid)
        # Direction A->B lands in b/from_a, B->A in a/from_b.
        targets = {"A->B": os.path.join(work, "b", "from_a"), "B->A": os.path.join(work, "a", "from_b")}
        first = {}
        done = {}
        while cable.poll() is None:
            now = time.monotonic()
            note_progress(targets, size, now, first, done)
            watch.poll()
            time.sleep(POLL_S)
        elapsed = time.monotonic() - start
        note_progress(targets, size, time.monotonic(), first, done)  # files made whole at the very end
        status = cable.wait()
        sent = read_report(os.path.join(work, "report"))
        ok = status == 0
        for side, other in (("a", "b"), ("b", "a")):
            src = os.path.join(work, side, f"from_{side}")
            dst = os.path.join(work, other, f"from_{side}")
            ok = ok and os.path.exists(dst) and subprocess.call(["cmp", "-s", src, dst]) == 0
        rows = []
        for direction in ("A->B", "B->A"):
            rate = 0.0
            if direction in first and direction in done and done[direction] > first[direction][0]:
                t0, got0 = first[direction]
                rate = (size - got0) / (done[direction] - t0)
            overhead = sent.get(direction, 0) / size - 1
            rows.append((direction, rate, overhead))
        # Where the wall time goes: before the first data arrived, and after both files were whole.
        lead = min((t for t, _ in first.values()), default=start) - start
        tail = start + elapsed - max(done.values(), default=start + elapsed)
        return {"ok": ok, "rows": rows, "figures": watch.figures(), "wall": elapsed,
                "lead": lead, "tail": tail, "timeouts": goodbye_timeouts(work)}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_one_way(build, work, source, size, extended, profile=False):
    """One file A->B unthrottled: (seconds to the file whole, data rate, CPU A, CPU B, ok).
    With profile, each end runs under perf record, its samples in ../a.perf and ../b.perf."""
    for side in ("a", "b"):
        shutil.rmtree(os.path.join(work, side), ignore_errors=True)
        os.mkdir(os.path.join(work, side))
    os.link(source, os.path.join(work, "a", "big"))
    trace = os.path.join(build, "bench", "kestro_trace")
    switch = "" if extended else "KESTRO_NO_EXTENDED=1 "
    perf = "perf record -q -F 997 -o ../{}.perf -- " if profile else ""
    cmd = "cd {} && " + switch + "{}exec " + perf + "'" + trace + "' -E 1{}"
    trace_file = os.path.join(work, "a.trace")
    start = time.monotonic()
    if profile:
        cmd_a, cmd_b = cmd.format("a", f"KESTRO_TRACE={trace_file} ", "a", " big"), cmd.format("b", "", "b", "")
    else:
        cmd_a, cmd_b = cmd.format("a", f"KESTRO_TRACE={trace_file} ", " big"), cmd.format("b", "", "")
    cable = start_cable(build, work, [], cmd_a, cmd_b)
    watch = ends_watch(cable.pid)
    targets = {"A->B": os.path.join(work, "b", "big")}
    first, done = {}, {}
    while cable.poll() is None:
        note_progress(targets, size, time.monotonic(), first, done)
        watch.poll()
        time.sleep(POLL_S)
    ok = cable.wait() == 0 and subprocess.call(["cmp", "-s", source, targets["A->B"]]) == 0
    if "A->B" not in done or "A->B" not in first or done["A->B"] <= first["A->B"][0]:
        return None
    t0, got0 = first["A->B"]
    (_, cpu_a), (_, cpu_b) = (watch.figures() + [(0, 0.0)] * 2)[:2]
    return done["A->B"] - start, (size - got0) / (done["A->B"] - t0), cpu_a, cpu_b, offer_delay(trace_file), ok


def offer_delay(trace_file):
    """Milliseconds from the sender's opening block to its first offer, by its trace."""
    opening = offer = None
    with open(trace_file) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3 or parts[1] != "N":
                continue
            if parts[2] == "0" and opening is None:
                opening = float(parts[0])
            if parts[2] == "2":
                offer = float(parts[0])
                break
    return offer - opening if opening is not None and offer is not None else float("nan")


def run_digest_cost(build, size, runs):
    work = tempfile.mkdtemp(prefix="kestro-bench-digest-")
    try:
        source = os.path.join(work, "source")
        make_file(source, size)
        got = {True: [], False: []}
        for i in range(runs):
            for extended in ((True, False) if i % 2 == 0 else (False, True)):
                r = run_one_way(build, work, source, size, extended)
                if r is not None:
                    got[extended].append(r)
        print(f"| digest {size // (1024 * 1024)} MiB one way, unthrottled | runs | to whole file (s) (min-max) "
              f"| data bytes/s | opening to offer (ms) | CPU A s | CPU B s | ok |")
        print("|---|---|---|---|---|---|---|---|")
        for extended in (True, False):
            rows = got[extended]
            if not rows:
                continue
            med = [statistics.median(r[k] for r in rows) for k in range(5)]
            spread = f"{min(r[0] for r in rows):.2f}-{max(r[0] for r in rows):.2f}"
            label = "checked (CAP_EXTENDED)" if extended else "not checked"
            print(f"| {label} | {len(rows)} | {med[0]:.2f} ({spread}) | {med[1]:,.0f} | {med[4]:.1f} | {med[2]:.2f} "
                  f"| {med[3]:.2f} | {'yes' if all(r[5] for r in rows) else 'NO'} |")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def hash_share(perf_file):
    """Share of an end's CPU samples (its kernel time included) spent in libxxhash (its
    vector routines are not all named, so the library is counted whole)."""
    out = subprocess.run(["perf", "report", "-i", perf_file, "--stdio", "--sort", "dso"],
                         capture_output=True, text=True).stdout
    share = 0.0
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0].endswith("%") and "libxxhash" in parts[1]:
            share += float(parts[0].rstrip("%"))
    return share


def run_digest_profile(build, size, runs):
    """Checked runs under perf: how much of each end's CPU the hashing takes."""
    if shutil.which("perf") is None:
        print("digest-perf: perf is not installed (linux-perf)")
        return
    work = tempfile.mkdtemp(prefix="kestro-bench-digest-perf-")
    try:
        source = os.path.join(work, "source")
        make_file(source, size)
        print(f"| digest {size // (1024 * 1024)} MiB one way, checked, under perf | to whole file (s) "
              f"| opening to offer (ms) | libxxhash, share of A's samples | of B's samples | ok |")
        print("|---|---|---|---|---|---|")
        for i in range(runs):
            r = run_one_way(build, work, source, size, True, profile=True)
            if r is None:
                continue
            a, b = (hash_share(os.path.join(work, f"{side}.perf")) for side in ("a", "b"))
            print(f"| run {i + 1} | {r[0]:.2f} | {r[4]:.1f} | {a:.2f}% | {b:.2f}% | {'yes' if r[5] else 'NO'} |")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_idle(build, kestro):
    work = tempfile.mkdtemp(prefix="kestro-bench-idle-")
    try:
        os.mkdir(os.path.join(work, "a"))
        os.mkdir(os.path.join(work, "b"))
        cmd = "cd {} && exec '" + kestro + "'"
        settle = 3
        cable = start_cable(build, work, [], cmd.format("a"), cmd.format("b"),
                            ["--duration", str(settle + IDLE_SECONDS + 2)])
        watch = ends_watch(cable.pid)
        time.sleep(settle)  # handshake and opening blocks are over by then
        watch.poll()
        before = watch.figures()
        time.sleep(IDLE_SECONDS)
        watch.poll()
        after = watch.figures()
        cable.wait()
        return [b[1] - a[1] for a, b in zip(before, after)], after
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cell_range(values, fmt):
    if len(values) == 1:
        return fmt(values[0])
    return f"{fmt(statistics.median(values))} ({fmt(min(values))}–{fmt(max(values))})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--fast-mib", type=int, default=200, help="file size per direction, unthrottled case")
    parser.add_argument("--seed", type=int, default=11, help="noise seed of the noisy case")
    parser.add_argument("--digest-runs", type=int, default=5, help="runs of each mode, digest case")
    parser.add_argument("--kib", type=int, default=0, help="file size per direction of the paced cases")
    parser.add_argument("--runs", type=int, default=1, help="runs of each transfer case")
    parser.add_argument("--jobs", type=int, default=1, help="paced runs at once (each uses little CPU)")
    parser.add_argument("--ends", default="-E 1", help="options of both ends (default: -E 1; e.g. \"-c -E 0\")")
    parser.add_argument("cases", nargs="*", default=["clean", "noisy", "slow", "fast", "idle"])
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    kestro = os.path.join(build, "kestro")
    CASES["fast"] = (0, args.fast_mib * 1024 * 1024, [])
    CASES["noisy"] = (115200, 512 * 1024, ["--corrupt", "0.0001", "--seed", str(args.seed)])
    if args.kib:
        for name in ("clean", "noisy", "slow"):
            CASES[name] = (CASES[name][0], args.kib * 1024, CASES[name][2])
    print("| case | run | wall s | lead / tail s | % of line, wall | A->B growth B/s (%) | B->A growth B/s (%) "
          "| overhead A->B / B->A | peak RSS A / B | CPU s A / B | goodbye time-out | ok |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name in args.cases:
        if name == "digest":
            run_digest_cost(build, args.fast_mib * 1024 * 1024, args.digest_runs)
            continue
        if name == "digest-perf":
            run_digest_profile(build, args.fast_mib * 1024 * 1024, args.digest_runs)
            continue
        if name == "idle":
            cpu, figures = run_idle(build, kestro)
            print(f"| idle {IDLE_SECONDS} s | | | | | | | | {figures[0][0] / 1024:.1f} / {figures[1][0] / 1024:.1f} MiB "
                  f"| {cpu[0]:.2f} / {cpu[1]:.2f} | | |")
            continue
        baud, size, noise = CASES[name]
        label = f"{name} {baud or 'unthrottled'} {size // 1024} KiB" + (f" ({args.ends})" if args.ends != "-E 1" else "")
        # The unthrottled case needs the CPU: it runs alone.
        jobs = args.jobs if baud else 1
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            runs = [pool.submit(run_transfer, build, kestro, name, baud, size, noise, 1.0, args.ends) for _ in range(args.runs)]
            results = []
            for number, job in enumerate(runs, 1):
                r = job.result()
                results.append(r)
                wall_share = size / (r["wall"] * baud / 10) if baud else 0.0
                r["wall_share"] = wall_share
                growth = []
                for _, rate, _ in r["rows"]:
                    growth.append(f"{rate:,.0f} ({100 * rate / (baud / 10):.1f}%)" if baud else f"{rate:,.0f}")
                (hwm_a, cpu_a), (hwm_b, cpu_b) = (r["figures"] + [(0, 0.0)] * 2)[:2]
                print(f"| {label} | {number} | {r['wall']:.1f} | {r['lead']:.1f} / {r['tail']:.1f} | {f'{100 * wall_share:.1f}%' if baud else ''} "
                      f"| {growth[0]} | {growth[1]} "
                      f"| {100 * r['rows'][0][2]:.1f}% / {100 * r['rows'][1][2]:.1f}% "
                      f"| {hwm_a / 1024:.1f} / {hwm_b / 1024:.1f} MiB | {cpu_a:.2f} / {cpu_b:.2f} "
                      f"| {r['timeouts'] or 'no'} | {'yes' if r['ok'] else 'NO'} |")
                sys.stdout.flush()
        if len(results) > 1:
            walls = [r["wall"] for r in results]
            summary = f"{label}, {len(results)} runs: wall {cell_range(walls, lambda v: f'{v:.1f} s')}"
            if baud:
                summary += f", share of the line by wall time {cell_range([r['wall_share'] for r in results], lambda v: f'{100 * v:.1f}%')}"
            summary += (f"; goodbye time-outs in {sum(1 for r in results if r['timeouts'])} runs"
                        f"; not ok: {sum(1 for r in results if not r['ok'])}")
            print(f"\n{summary}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
