#!/usr/bin/env python3
"""Trees and single texts at the compression limit, and compression on an unthrottled line.

    bench/trees.py [--build DIR] [--only WORD...] [--files N] [--zmodem] [--by-name]
                   [--fast-mib N] [--jobs N]

Paced cases: two door-mode kestro ends over tools/nullmodem, on pseudo-terminals, without -s
(the ends do not know the line's rate), one way (A sends):
- tree: N small C headers from /usr/include (1-5 KB each, unique base names, their
  directories kept), sent with --recursive (or by name one by one with --by-name, or when
  the build has no --recursive);
- text: one file of 1 MiB of C headers (a stretch of a tar of /usr/include).
Each at 115200 and 9600 baud, beside the line time of the same bytes as one
`tar | zstd -19` (its bytes * 10 / baud) and, with --zmodem, lrzsz's sz/rz.

Unthrottled case: 200 MiB of random bytes and 200 MiB of text, one way, compressed (the
default) and with --no-compress.

Figures: wall seconds from the start of the cable to both exits; line bytes A->B (the cable's
report); the ratio of the zstd line time to the wall time; CPU (user+system, both ends) and
peak RSS (the larger end) from /usr/bin/time; ok: every file arrived equal (and for trees,
at its path).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from compression import read_times, timed

CAP_S = 900


def pick_headers(count):
    """Relative paths under /usr/include of `count` headers of 1-5 KB whose base names differ even
    without regard to case: sent by name, a second Composite.h beside composite.h is refused."""
    picked, seen = [], set()
    for top, dirs, names in os.walk("/usr/include"):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(top, name)
            if not name.endswith(".h") or name.lower() in seen or os.path.islink(path):
                continue
            if 1000 <= os.path.getsize(path) <= 5000:
                picked.append(os.path.relpath(path, "/usr/include"))
                seen.add(name.lower())
                if len(picked) == count:
                    return picked
    return picked


def make_tree(root, headers):
    for rel in headers:
        target = os.path.join(root, "src", rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join("/usr/include", rel), target)
    os.makedirs(os.path.join(root, "src", "empty"), exist_ok=True)


def make_text(path, size):
    tar = subprocess.run(["tar", "cf", "-", "-C", "/usr/include", "."], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    with open(path, "wb") as f:
        f.write(tar.stdout[:size])


def zstd_line_bytes(work, names):
    tar = subprocess.Popen(["tar", "cf", "-"] + names, cwd=work, stdout=subprocess.PIPE)
    out = subprocess.run(["zstd", "-19", "-c"], stdin=tar.stdout, stdout=subprocess.PIPE)
    tar.wait()
    return len(out.stdout)


def has_recursive(build):
    text = subprocess.run([os.path.join(build, "kestro"), "--help"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT).stdout
    return b"--recursive" in text


def sent_bytes(report):
    try:
        with open(report) as f:
            for line in f:
                if "A->B" in line:
                    return int(line.split("sent=")[1].split()[0])
    except (OSError, IndexError, ValueError):
        pass
    return 0


def trees_equal(a, b):
    return subprocess.call(["diff", "-r", a, b], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0


def two_ends(prefix):
    """A work directory with the ends' directories a/ and b/: (work, path of a)."""
    work = tempfile.mkdtemp(prefix=prefix)
    for side in ("a", "b"):
        os.mkdir(os.path.join(work, side))
    return work, os.path.join(work, "a")


def run_kestro(build, baud, what, headers, recursive, size=0, compress=True):
    work, a = two_ends("kestro-trees-")
    try:
        if what == "tree":
            make_tree(a, headers)
            if recursive:
                names = "--recursive src"
            else:
                with open(os.path.join(work, "list"), "w") as f:
                    f.writelines(os.path.join("src", rel) + "\n" for rel in headers)
                names = "@../list"
        elif what == "text":
            make_text(os.path.join(a, "text"), 1 << 20)
            names = "text"
        else:  # unthrottled: `size` bytes of random bytes or text
            path = os.path.join(a, "big")
            if what == "fast-random":
                with open(path, "wb") as f:
                    for _ in range(size >> 20):
                        f.write(os.urandom(1 << 20))
            else:
                tar = subprocess.run(["tar", "cf", "-", "-C", "/usr/include", "."], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL).stdout
                with open(path, "wb") as f:
                    left = size
                    while left > 0:
                        f.write(tar[:left])
                        left -= min(left, len(tar))
            names = "big"
        opts = "-c -E 0" + ("" if compress else " --no-compress")
        kestro = os.path.join(build, "kestro")
        cmd_a = timed(f"cd a && exec {kestro} {opts} {names}", os.path.join(work, "a.time"))
        cmd_b = timed(f"cd b && exec {kestro} {opts}", os.path.join(work, "b.time"))
        cable = [os.path.join(build, "tools", "nullmodem")] + (["--baud", str(baud)] if baud else [])
        start = time.monotonic()
        subprocess.run(cable + ["--door-a", "--door-b", "--duration", str(CAP_S), "--stderr-a", "a.err",
                                "--stderr-b", "b.err", "--report", "report", "--", "sh", "-c", cmd_a, "--",
                                "sh", "-c", cmd_b], cwd=work)
        seconds = time.monotonic() - start
        if what == "tree":
            if recursive:
                ok = trees_equal(os.path.join(a, "src"), os.path.join(work, "b", "src"))
            else:
                ok = all(subprocess.call(["cmp", "-s", os.path.join(a, "src", rel),
                                          os.path.join(work, "b", os.path.basename(rel))]) == 0 for rel in headers)
        else:
            name = "text" if what == "text" else "big"
            ok = subprocess.call(["cmp", "-s", os.path.join(a, name), os.path.join(work, "b", name)]) == 0
        cpu_a, rss_a = read_times(os.path.join(work, "a.time"))
        cpu_b, rss_b = read_times(os.path.join(work, "b.time"))
        return {"seconds": seconds, "line": sent_bytes(os.path.join(work, "report")), "cpu": cpu_a + cpu_b,
                "rss": max(rss_a, rss_b), "ok": ok}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_zmodem(build, baud, what, headers):
    work, a = two_ends("zmodem-trees-")
    try:
        if what == "tree":
            make_tree(a, headers)
            names = " ".join(os.path.join("src", rel) for rel in headers)
        else:
            make_text(os.path.join(a, "text"), 1 << 20)
            names = "text"
        cmd_a = f"cd a && date +%s.%N > ../t0 && sz -q {names}; date +%s.%N > ../t1"
        subprocess.run([os.path.join(build, "tools", "nullmodem"), "--baud", str(baud), "--door-a", "--door-b",
                        "--duration", str(CAP_S), "--report", "report", "--", "sh", "-c", cmd_a, "--",
                        "sh", "-c", "cd b && exec rz -q"], cwd=work)
        with open(os.path.join(work, "t0")) as f0, open(os.path.join(work, "t1")) as f1:
            return {"seconds": float(f1.read()) - float(f0.read()), "line": sent_bytes(os.path.join(work, "report")),
                    "cpu": 0.0, "rss": 0, "ok": True}
    except (OSError, ValueError):
        return None
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--only", nargs="*", default=[], help="rows whose label holds one of these words")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--zmodem", action="store_true")
    parser.add_argument("--by-name", action="store_true", help="send the tree's files by name, one by one")
    parser.add_argument("--fast-mib", type=int, default=200)
    parser.add_argument("--runs", type=int, default=1, help="unthrottled runs of each mode, alternating")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    recursive = has_recursive(build) and not args.by_name
    headers = pick_headers(args.files)
    work = tempfile.mkdtemp(prefix="trees-zstd-")
    make_tree(work, headers)
    make_text(os.path.join(work, "text"), 1 << 20)
    tree_bytes = sum(os.path.getsize(os.path.join(work, "src", rel)) for rel in headers)
    limit = {"tree": zstd_line_bytes(work, ["src"]), "text": zstd_line_bytes(work, ["text"])}
    shutil.rmtree(work, ignore_errors=True)
    sizes = {"tree": tree_bytes, "text": 1 << 20}
    paced = []
    for baud in (115200, 9600):
        for what in ("tree", "text"):
            label = f"{baud}, {what}"
            if not args.only or any(w in label for w in args.only):
                paced.append((label, baud, what))
    fast = [] if args.only and "fast" not in args.only else [("fast-random", args.fast_mib << 20), ("fast-text", args.fast_mib << 20)]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        jobs = {}
        for label, baud, what in paced:
            jobs[label] = pool.submit(run_kestro, build, baud, what, headers, recursive)
            if args.zmodem and baud == 115200:
                jobs[label + " zmodem"] = pool.submit(run_zmodem, build, baud, what, headers)
        mode = "--recursive" if recursive else "by name"
        print(f"{len(headers)} headers, {tree_bytes} bytes ({mode}); 1 MiB text; zstd -19: tree "
              f"{limit['tree']} bytes, text {limit['text']} bytes")
        print()
        print("| line, data | Kestro wall s | line bytes | zstd -19 line s | limit / wall | CPU s | peak RSS | ZMODEM s |")
        print("|---|---|---|---|---|---|---|---|")
        for label, baud, what in paced:
            r = jobs[label].result()
            z = jobs.get(label + " zmodem")
            zr = z.result() if z else None
            line_s = limit[what] * 10 / baud
            zmodem_cell = f"{zr['seconds']:.1f}" if zr else ""
            print(f"| {label} ({sizes[what]} B) | {r['seconds']:.1f}{'' if r['ok'] else ' **failed**'} | "
                  f"{r['line']} | {line_s:.1f} | {line_s / r['seconds']:.2f} | {r['cpu']:.1f} | "
                  f"{r['rss'] / 1024:.1f} MiB | {zmodem_cell} |")
            sys.stdout.flush()
    if fast:
        print()
        print("| unthrottled, one way | compressed s | CPU s | peak RSS | --no-compress s | CPU s | peak RSS | on / off |")
        print("|---|---|---|---|---|---|---|---|")
        for kind, size in fast:
            # The unthrottled runs need the CPU: one at a time, the two modes alternating.
            ons, offs = [], []
            for _ in range(args.runs):
                ons.append(run_kestro(build, 0, kind, headers, recursive, size))
                offs.append(run_kestro(build, 0, kind, headers, recursive, size, compress=False))
            print(f"| {kind[5:]} {size >> 20} MiB | {fast_cell(ons)} | {fast_cell(offs)} | "
                  f"{median(ons, 'seconds') / median(offs, 'seconds'):.3f} |")
            sys.stdout.flush()


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def fast_cell(runs):
    """Median seconds (range), median CPU, largest peak RSS; failed runs marked."""
    failed = "" if all(r["ok"] for r in runs) else " **failed**"
    spread = f" ({min(r['seconds'] for r in runs):.1f}-{max(r['seconds'] for r in runs):.1f})" if len(runs) > 1 else ""
    return (f"{median(runs, 'seconds'):.1f}{spread}{failed} | {median(runs, 'cpu'):.1f} | "
            f"{max(r['rss'] for r in runs) / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
