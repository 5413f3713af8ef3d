#!/usr/bin/env python3
"""Recovery on noisy lines: Kestro both ways and one way, and ZMODEM one way, on the same cable.

    bench/recovery.py [--build DIR] [--jobs N] [--seeds N] [--only WORD...]

Over tools/nullmodem, 1 MiB of random bytes per direction at 115200 baud, with 0, 1e-5, 1e-4
and 1e-3 corrupted bytes per byte (three noise seeds each), with 250 ms one-way latency, and
96 KiB at 9600 baud on a clean line; then one transfer both ways through a 30-second stall of
the cable. ZMODEM is lrzsz's sz/rz (installed with apt-get when missing), for comparison only.

Efficiency = bytes / (seconds x baud/10), per direction, with two measures of seconds:
- wall: from the start of the cable with both ends until both have exited, what a user waits
  for (handshake, transfer, goodbye and its wait included);
- growth (Kestro): from the first poll (every 20 ms) that saw the received file grow to the
  poll that saw it whole, so the handshake and the automatic exit are not counted.
ZMODEM's seconds: the sender's run, start to exit (its receiver may wait long for a last packet
on a pseudo-terminal). Each cell shows the median and the range over seeds (and, both ways,
over the two directions). Goodbye time-outs: runs in which an end printed "Waiting for ZARN
termination... time-out".

Longest gap: the longest time in which an end had data queued that it had not sent yet and its
line carried nothing new, from the trace that the test build kestro_trace writes of each frame
and each block's first sending (KESTRO_TRACE); the frames are put on a model of the line at
baud/10, so a block waiting behind the end's own backlog is not a gap (see parse_trace).
Enquiries: timeout enquiries in all runs of the row, both ends.
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
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import throughput  # noqa: E402  (shared cable and file helpers)

MIB = 1024 * 1024
POLL_S = 0.02
KESTRO_CAP_S = 900     # a Kestro run that takes longer has failed
ZMODEM_CAP_S = 420     # ZMODEM at 1e-3 may never finish: stop it here and count it failed
RZ_GRACE_S = 20        # after sz exits, rz gets this long before it is stopped
STALL = (20, 30)       # the stall case: at 20 s, for 30 s


def noise_rows(seeds):
    rows = []
    for rate in (0, 1e-5, 1e-4, 1e-3):
        label = "115200, clean" if rate == 0 else f"115200, noise {rate:g}"
        opts = [] if rate == 0 else ["--corrupt", f"{rate:g}"]
        rows.append((label, 115200, MIB, opts, list(range(1, seeds + 1))))
    rows.append(("115200, 250 ms latency", 115200, MIB, ["--latency", "250"], [1]))
    rows.append(("9600, clean (96 KiB)", 9600, 96 * 1024, [], [1]))
    return rows


def kestro_command(kestro, side, files, trace):
    return (f"cd {side} && KESTRO_TRACE=../{side}.trace exec '{kestro}' -E 1 -z ../{side}.log {files}"
            if trace else f"cd {side} && exec '{kestro}' -E 1 -z ../{side}.log {files}")


FRAME_WIRE_EXTRA = 2  # the `{}` after every frame


def parse_trace(path, baud):
    """Longest gap (s) on the line with unsent data queued and nothing new carried; timeout
    enquiries. Each frame is put on a model of the line: it starts when it was built or when
    the frame before it has gone out, whichever is later, and lasts its bytes at baud/10, so
    a frame waiting behind the end's own backlog is not a gap."""
    longest = 0.0
    timeouts = 0
    line_free = 0.0       # when the line has carried every frame built so far
    last_new_end = None   # when the last frame with new data was carried
    queued = False        # unsent data was queued since then
    block = None
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) != 5:
                    continue
                t, kind, n, unsent = float(parts[0]) / 1e3, parts[1], int(parts[3]), int(parts[4])
                if kind == "T":
                    timeouts += 1
                if kind in "NR":
                    block = kind
                    continue
                if kind == "F":
                    start = max(t, line_free)
                    line_free = start + (n + FRAME_WIRE_EXTRA) / (baud / 10)
                    if block == "N":
                        if last_new_end is not None and queued:
                            longest = max(longest, start - last_new_end)
                        last_new_end = line_free
                        queued = unsent > 0
                    block = None
                    continue
                if unsent > 0:
                    queued = True
    except OSError:
        pass
    return longest, timeouts


def run_kestro(build, baud, size, cable_opts, seed, both, stall=None):
    # Runs that start together would meet the ends' whole-second clock (-E 1) in step: a
    # random delay before the start (not counted) gives each its own phase.
    time.sleep(random.uniform(0, 1))
    kestro = os.path.join(build, "bench", "kestro_trace")
    work = tempfile.mkdtemp(prefix="kestro-recovery-")
    try:
        senders = ("a", "b") if both else ("a",)
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
        for side in senders:
            throughput.make_file(os.path.join(work, side, f"from_{side}"), size)
        cmds = [kestro_command(kestro, side, f"from_{side}" if side in senders else "", True)
                for side in ("a", "b")]
        options = ["--baud", str(baud), "--seed", str(seed), *cable_opts]
        if stall:
            options += ["--stall", f"{stall[0]}:{stall[1]}"]
        start = time.monotonic()  # wall time: from the start of the cable with both ends
        cable = throughput.start_cable(build, work, options, cmds[0], cmds[1])
        targets = {side: os.path.join(work, "b" if side == "a" else "a", f"from_{side}") for side in senders}
        first, done = {}, {}
        while cable.poll() is None:
            now = time.monotonic()
            if now - start > KESTRO_CAP_S:
                cable.send_signal(signal.SIGTERM)
                break
            throughput.note_progress(targets, size, now, first, done)
            time.sleep(POLL_S)
        status = cable.wait()
        wall = time.monotonic() - start
        throughput.note_progress(targets, size, time.monotonic(), first, done)  # whole at the very end
        ok = status == 0
        effs = []
        for side in senders:
            src = os.path.join(work, side, f"from_{side}")
            ok = ok and subprocess.call(["cmp", "-s", src, targets[side]]) == 0
            if side in first and side in done and done[side] > first[side][0]:
                t0, got0 = first[side]
                effs.append((size - got0) / (done[side] - t0) / (baud / 10))
            else:
                effs.append(0.0)
        gaps, timeouts = zip(*(parse_trace(os.path.join(work, f"{side}.trace"), baud) for side in ("a", "b")))
        return {"eff": effs, "wall": [size / (wall * baud / 10)] * len(senders), "gap": max(gaps),
                "timeouts": sum(timeouts), "ok": ok, "seconds": wall,
                "goodbye": 1 if throughput.goodbye_timeouts(work) else 0}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_zmodem(build, baud, size, cable_opts, seed):
    work = tempfile.mkdtemp(prefix="zmodem-recovery-")
    try:
        for side in ("a", "b"):
            os.mkdir(os.path.join(work, side))
        throughput.make_file(os.path.join(work, "a", "from_a"), size)
        cmd_a = ("cd a && date +%s.%N > ../t0 && sz -q from_a; echo $? > ../sz.rc; "
                 "date +%s.%N > ../t1")
        cmd_b = "cd b && exec rz -q"
        options = ["--baud", str(baud), "--seed", str(seed), *cable_opts]
        cable = throughput.start_cable(build, work, options, cmd_a, cmd_b)
        start = time.monotonic()
        sz_done = None
        while cable.poll() is None:
            now = time.monotonic()
            if sz_done is None and os.path.exists(os.path.join(work, "t1")):
                sz_done = now
            if now - start > ZMODEM_CAP_S or (sz_done is not None and now - sz_done > RZ_GRACE_S):
                cable.send_signal(signal.SIGTERM)
                break
            time.sleep(POLL_S)
        cable.wait()

        def read(name):
            try:
                with open(os.path.join(work, name)) as f:
                    return f.read().strip()
            except OSError:
                return ""
        t0, t1, rc = read("t0"), read("t1"), read("sz.rc")
        dst = os.path.join(work, "b", "from_a")
        ok = rc == "0" and os.path.exists(dst) and \
            subprocess.call(["cmp", "-s", os.path.join(work, "a", "from_a"), dst]) == 0
        eff = size / (float(t1) - float(t0)) / (baud / 10) if ok and t0 and t1 else 0.0
        return {"eff": [eff], "ok": ok}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cell(results, key="eff", pct=True):
    values = [v for r in results for v in r[key]]
    if not values:
        return ""
    med, low, high = statistics.median(values), min(values), max(values)
    text = f"{100 * med:.1f}%" if pct else f"{med:.2f}"
    if len(values) > 1:
        text += f" ({100 * low:.1f}–{100 * high:.1f})" if pct else f" ({low:.2f}–{high:.2f})"
    failed = sum(1 for r in results if not r["ok"])
    return text + (f" **{failed} failed**" if failed else "")


def ensure_lrzsz():
    if shutil.which("sz") and shutil.which("rz"):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.call(sudo + ["apt-get", "install", "-y", "-qq", "lrzsz"], env=env) != 0:
        subprocess.check_call(sudo + ["apt-get", "update", "-qq"], env=env)
        subprocess.check_call(sudo + ["apt-get", "install", "-y", "-qq", "lrzsz"], env=env)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--jobs", type=int, default=4, help="transfers run at once (each paced by the cable)")
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=[], help="rows whose label holds one of these words")
    parser.add_argument("--no-zmodem", action="store_true")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if not args.no_zmodem:
        ensure_lrzsz()

    rows = [r for r in noise_rows(args.seeds) if not args.only or any(w in r[0] for w in args.only)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        jobs = []
        for label, baud, size, opts, seeds in rows:
            for seed in seeds:
                jobs.append((label, "both", pool.submit(run_kestro, build, baud, size, opts, seed, True)))
                jobs.append((label, "one", pool.submit(run_kestro, build, baud, size, opts, seed, False)))
                if not args.no_zmodem:
                    jobs.append((label, "zmodem", pool.submit(run_zmodem, build, baud, size, opts, seed)))
        stall_job = None
        if not args.only or any(w in "stall" for w in args.only):
            stall_job = pool.submit(run_kestro, build, 115200, MIB, [], 1, True, STALL)
        results = {}
        for label, kind, job in jobs:
            results.setdefault((label, kind), []).append(job.result())

    print("| line | Kestro both ways, wall | growth, per direction | longest gap (s) | Kestro one way, wall "
          "| growth | longest gap (s) | ZMODEM one way | timeout enquiries both / one way | goodbye time-outs both / one way |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for label, *_ in rows:
        both, one = results.get((label, "both"), []), results.get((label, "one"), [])
        zm = results.get((label, "zmodem"), [])
        gaps_both = [{"eff": [r["gap"]], "ok": True} for r in both]
        gaps_one = [{"eff": [r["gap"]], "ok": True} for r in one]
        print(f"| {label} | {cell(both, 'wall')} | {cell(both)} | {cell(gaps_both, pct=False)} | "
              f"{cell(one, 'wall')} | {cell(one)} | {cell(gaps_one, pct=False)} | {cell(zm)} | "
              f"{sum(r['timeouts'] for r in both)} / {sum(r['timeouts'] for r in one)} | "
              f"{sum(r['goodbye'] for r in both)} / {sum(r['goodbye'] for r in one)} |")
    print("\nEvery run, share of the line by wall time (seed order):")
    for label, *_ in rows:
        for kind in ("both", "one"):
            runs = results.get((label, kind), [])
            if runs:
                marks = ["" if r["ok"] else " failed" for r in runs]
                marks = [m + (" goodbye time-out" if r["goodbye"] else "") for r, m in zip(runs, marks)]
                print(f"- {label}, {'both ways' if kind == 'both' else 'one way'}: "
                      + ", ".join(f"{100 * r['wall'][0]:.1f}% ({r['seconds']:.1f} s){m}" for r, m in zip(runs, marks)))
    if stall_job is not None:
        r = stall_job.result()
        print(f"\nStall of {STALL[1]} s at {STALL[0]} s, 115200, 1 MiB both ways: "
              f"{'identical files, exit 0' if r['ok'] else 'FAILED'} after {r['seconds']:.0f} s "
              f"(wall, {100 * r['wall'][0]:.1f}% of the line); "
              f"timeout enquiries {r['timeouts']}, longest gap {r['gap']:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
