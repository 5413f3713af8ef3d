#!/usr/bin/env python3
"""Kestro fault campaign: two real ends over tools/nullmodem, under faults and hostile input.

    bench/faults.py [--build DIR] [--long] [--runs N] [--out FILE] [--update] [CASE...]

Run by hand, as root (the disk cases mount small tmpfs file systems), never in CI. Every
case starts a cable with --print-paths and the ends in door mode on its two terminals,
does its harm (noise, kill -9, a full disk, a file-size limit, a hostile peer, a flood, a
frozen peer, planted links, a hang-up, SIGTERM, a self-offer...), then checks what each end
did and what is on the disk. Where a case breaks a transfer off, a second round on a fresh
cable resumes it and the result is compared byte for byte.

Bytes lost: bytes of files that an end claimed done (a sender's 's' log line, a receiver's
'S' line, or a sent file deleted by -y) that the receiver does not hold intact, plus bytes
changed in files that must never be written (files outside the download directory, our
own uploads). It must be 0 in every row.

The default (--quick) runs each case once or twice with files of 32 KiB; --long runs each
five times with files of 256 KiB. The table is written to docs/reliability.md (--out) and
to standard output; with --update only the rows of the cases run are replaced or added.
"""
import argparse
import datetime
import fcntl
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
TICKS = os.sysconf("SC_CLK_TCK")
POLL_S = 0.05
END_LIMIT_S = 120       # an end still running after this is a failure (and is killed)
ORDERLY_S = 10          # an end must leave this soon after a hang-up, a SIGTERM, a goodbye
SPIN_CPU_S = 2.0        # CPU seconds an end may use after the line is gone
# Ends whose every offer is refused wait 120 s before they may leave by themselves (-E):
# on a clock ten times as fast that is 12 s.
REFUSALS_CLOCK = {"env": {"KESTRO_CLOCK_RATE": "10"}}


class Config:
    build = ""
    peer = ""  # the hostile peer; another build's may be used to try an older kestro
    keep = False  # leave each run's work directory for a look
    size = 32 * 1024
    runs = 1
    long = False


def kestro():
    return os.path.join(Config.build, "kestro")


def fastclock():
    return os.path.join(Config.build, "kestro_fastclock")


def trace_build():
    """The test build that can send wrong digests (KESTRO_SPOIL_DIGESTS); otherwise kestro."""
    return os.path.join(Config.build, "bench", "kestro_trace")


def refusals_clock():
    return {"binary": fastclock(), "env": REFUSALS_CLOCK["env"]}


# ------------------------------------------------------------------ processes and the cable

class End:
    """One door-mode end: its line is the cable's terminal on standard input and output. With
    `line` None, a device-mode end (its -p is in args) whose console is no terminal: keys from
    /dev/null, what it draws into OUT (the err file's name with .out). `nohup`: started with
    SIGHUP ignored; `user`: run as that uid (and gid)."""

    def __init__(self, binary, args, cwd, line, err, env=None, fsize=None, nohup=False, user=None):
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY) if line else os.open(os.devnull, os.O_RDONLY)
        self.out = err + ".out"
        out = fd if line else os.open(self.out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

        def limits():
            if fsize is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
            # Explicitly: a campaign started under nohup would hand its ignored SIGHUP on.
            signal.signal(signal.SIGHUP, signal.SIG_IGN if nohup else signal.SIG_DFL)
            if user is not None:
                os.setgid(user)
                os.setuid(user)

        with open(err, "wb") as err_file:
            self.proc = subprocess.Popen([binary, *args], cwd=cwd, stdin=fd, stdout=out, stderr=err_file,
                                         env=dict(os.environ, **(env or {})), start_new_session=True,
                                         preexec_fn=limits)
        os.close(fd)
        if out != fd:
            os.close(out)
        self.pid = self.proc.pid
        self.err = err
        self.code = None        # exit code, or -signal
        self.usage = None       # rusage at the end
        self.ended_at = None

    def poll(self):
        if self.code is not None:
            return True
        pid, status, usage = os.wait4(self.pid, os.WNOHANG)
        if pid == 0:
            return False
        self.code = os.waitstatus_to_exitcode(status)
        self.usage = usage
        self.ended_at = time.monotonic()
        self.proc.returncode = self.code
        return True

    def cpu(self):
        """CPU seconds used so far (utime + stime), or the total once it has ended."""
        if self.usage is not None:
            return self.usage.ru_utime + self.usage.ru_stime
        try:
            with open(f"/proc/{self.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / TICKS
        except (OSError, IndexError, ValueError):
            return 0.0

    def peak_kib(self):
        try:
            with open(f"/proc/{self.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def signal(self, number):
        if self.code is None:
            try:
                os.kill(self.pid, number)
            except ProcessLookupError:
                pass

    def kill(self):
        if not self.poll():
            self.signal(signal.SIGCONT)
            self.signal(signal.SIGKILL)
            while not self.poll():
                time.sleep(POLL_S)

    def stderr(self):
        with open(self.err, "rb") as f:
            return f.read().decode("latin-1")

    def orderly(self):
        """Ended by itself with an exit status of outstanding work (0-3)."""
        return self.code is not None and 0 <= self.code <= 3


# Runs a device-mode end in a tmux terminal as a job-control shell would: the end in a
# process group of its own, the terminal's foreground one (a group without a parent outside
# it would be orphaned, and the kernel drops a stop signal to it). The wrapper ignores the
# signals a terminal sends (so it outlives a closed terminal), writes both process ids and
# then the end's exit code, and stays so that the terminal can be looked at.
TERMINAL_WRAPPER = r"""
import os, signal, subprocess, sys, time
TERMINAL = (signal.SIGHUP, signal.SIGTSTP, signal.SIGINT, signal.SIGQUIT, signal.SIGTTOU, signal.SIGTTIN)
for s in TERMINAL:
    signal.signal(s, signal.SIG_IGN)
pids, rc, err = sys.argv[1:4]
def child():
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpid())  # SIGTTOU is still ignored here
    for s in TERMINAL:
        signal.signal(s, signal.SIG_DFL)
with open(err, "wb") as e:
    p = subprocess.Popen(sys.argv[4:], stderr=e, preexec_fn=child)
with open(pids, "w") as f:
    f.write(f"{p.pid} {os.getpid()}")
code = p.wait()
with open(rc + ".new", "w") as f:
    f.write(str(code))
os.rename(rc + ".new", rc)
time.sleep(3600)
"""


class TerminalEnd(End):
    """A device-mode end in a tmux terminal of its own, 100x30 (see TERMINAL_WRAPPER)."""

    def __init__(self, h, side, binary, args, env=None):
        self.h, self.name = h, f"{side}{h.rounds}"
        self.err = h.path(f"{side}.{h.rounds}.err")
        self.rc = h.path(f"{side}.{h.rounds}.rc")
        pids = h.path(f"{side}.{h.rounds}.pids")
        wrapper = h.path("terminal_wrapper.py")
        with open(wrapper, "w") as f:
            f.write(TERMINAL_WRAPPER)
        settings = " ".join(f"{k}={v}" for k, v in (env or {}).items())
        command = (f"cd '{h.dir(side)}' && unset TMUX LINES COLUMNS && exec env TERM=xterm-256color {settings} "
                   f"python3 '{wrapper}' '{pids}' '{self.rc}' '{self.err}' '{binary}' "
                   + " ".join(f"'{a}'" for a in args))
        h.tmux("new-session", "-d", "-s", self.name, "-x", "100", "-y", "30", command)
        self.tty = h.tmux("display-message", "-p", "-t", f"={self.name}:", "#{pane_tty}").strip()
        wait_until(lambda: size_of(pids) > 0, 10)
        with open(pids) as f:
            self.pid, self.wrapper = (int(n) for n in f.read().split())
        self.code = None
        self.usage = None
        self.ended_at = None

    def poll(self):
        if self.code is not None:
            return True
        try:
            with open(self.rc) as f:
                code = int(f.read())
        except (OSError, ValueError):
            return False
        self.code = code  # -N: killed by signal N
        self.ended_at = time.monotonic()
        return True

    def kill(self):
        if not self.poll():
            self.signal(signal.SIGCONT)
            self.signal(signal.SIGKILL)
            wait_until(self.poll, 10)

    def release(self):
        """The terminal and the wrapper go (the harness's end)."""
        self.kill()
        self.close_terminal()
        try:
            os.kill(self.wrapper, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def cpu(self):
        return 0.0

    def screen(self):
        return self.h.tmux("capture-pane", "-p", "-t", f"={self.name}:")

    def keys(self, *keys):
        self.h.tmux("send-keys", "-t", f"={self.name}:", *keys)

    def close_terminal(self):
        self.h.tmux("kill-session", "-t", f"={self.name}")

    def stopped(self):
        try:
            with open(f"/proc/{self.pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "T"
        except OSError:
            return False

    def terminal_sane(self):
        """The terminal is in the shell's mode: lines edited, keys echoed."""
        modes = subprocess.run(["stty", "-a", "-F", self.tty], capture_output=True, text=True).stdout.split()
        return "icanon" in modes and "echo" in modes


def lock_file(line):
    """The lock file a device-mode end on this line creates."""
    return "/run/lock/LCK.." + os.path.realpath(line)[len("/dev/"):].replace("/", "_")


class Cable:
    def __init__(self, work, options, tag):
        self.report = os.path.join(work, f"report.{tag}")
        self.proc = subprocess.Popen([os.path.join(Config.build, "tools", "nullmodem"), "--print-paths",
                                      "--report", self.report, *options],
                                     stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.a = self.proc.stdout.readline().strip()
        self.b = self.proc.stdout.readline().strip()
        if not self.a or not self.b:
            raise RuntimeError("the cable gave no paths")

    def stop(self, how=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(how)
            self.proc.wait()


def wait_until(test, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if test():
            return True
        time.sleep(POLL_S)
    return test()


def wait_ends(ends, limit=END_LIMIT_S):
    """True when every end has exited within the limit; those still running are killed."""
    done = wait_until(lambda: all([e.poll() for e in ends]), limit)  # every end polled: its end time
    for e in ends:
        e.kill()
    return done


class Harness:
    """The work directory, cables and ends of one run; all of it goes at the end."""

    def __init__(self, name):
        self.work = tempfile.mkdtemp(prefix=f"kestro-faults-{name}-")
        self.ends = []
        self.cables = []
        self.mounts = []
        self.rounds = 0
        self.tmux_socket = None

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def dir(self, *parts):
        p = self.path(*parts)
        os.makedirs(p, exist_ok=True)
        return p

    def cable(self, options=()):
        self.rounds += 1
        c = Cable(self.work, list(options), self.rounds)
        self.cables.append(c)
        return c

    def end(self, side, binary, args, line, env=None, fsize=None, nohup=False, user=None):
        e = End(binary, args, self.dir(side), line, self.path(f"{side}.{self.rounds}.err"), env, fsize, nohup, user)
        self.ends.append(e)
        return e

    def tmux(self, *args):
        if self.tmux_socket is None:
            self.tmux_socket = self.path("tmux.sock")
        return subprocess.run(["tmux", "-S", self.tmux_socket, *args], capture_output=True, text=True).stdout

    def terminal_end(self, side, binary, args, env=None):
        e = TerminalEnd(self, side, binary, args, env)
        self.ends.append(e)
        return e

    def pair(self, options, args_a, args_b, binary=None, env=None, fsize_b=None):
        """A cable and both ends, A and B, working in a/ and b/."""
        c = self.cable(options)
        binary = binary or kestro()
        a = self.end("a", binary, args_a, c.a, env)
        b = self.end("b", binary, args_b, c.b, env, fsize_b)
        return c, a, b

    def mount_tmpfs(self, where, options):
        os.makedirs(where, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", where], check=True)
        self.mounts.append(where)

    def unmount(self, where):
        if where in self.mounts:
            subprocess.run(["umount", where], check=False)
            self.mounts.remove(where)

    def close(self):
        for e in self.ends:
            getattr(e, "release", e.kill)()
        for c in self.cables:
            c.stop(signal.SIGKILL)
        for m in list(self.mounts):
            self.unmount(m)
        if self.tmux_socket is not None:
            self.tmux("kill-server")
        if Config.keep:
            print(f"  kept {self.work}", file=sys.stderr)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


# ------------------------------------------------------------------ files, logs, checks

def make_file(path, size, seed):
    data = random.Random(seed).randbytes(size)
    with open(path, "wb") as f:
        f.write(data)
    return data


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return -1


def log_lines(path):
    """(letter, size, name) of every line of a transfer log."""
    lines = []
    try:
        with open(path, errors="replace") as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 11:
                    lines.append((parts[0], int(parts[1]), parts[10]))
    except OSError:
        pass
    return lines


def logged(path, letter, name):
    return any(l == letter and n == name for l, _, n in log_lines(path))


class Verdict:
    """What one run came to: faults found (empty: it held) and bytes lost."""

    def __init__(self):
        self.faults = []
        self.lost = 0
        self.note = ""

    def need(self, condition, fault):
        if not condition:
            self.faults.append(fault)
        return condition

    def claimed(self, source, target, claims):
        """A file an end claimed done must be intact at the receiver."""
        if any(claims) and read(target) != source:
            self.lost += len(source)
            self.faults.append(f"{os.path.basename(target)} claimed done but not intact")

    def untouched(self, path, before):
        now = read(path)
        if now != before:
            self.lost += max(len(before or b""), len(now or b""))
            self.faults.append(f"{os.path.basename(path)} was written")

    def orderly(self, end, name):
        self.need(end.orderly(), f"{name} did not end orderly (code {end.code})")


def transfer_claims(h, name, sender_log, receiver_log, stored=None, deleted=False):
    return [logged(sender_log, "s", name), logged(receiver_log, "S", stored or name), deleted]


# ------------------------------------------------------------------ cases

def noise_case(options):
    def run(h, seed):
        v = Verdict()
        src_a = make_file(h.path(h.dir("a"), "from_a"), Config.size, seed)
        src_b = make_file(h.path(h.dir("b"), "from_b"), Config.size, seed + 1000)
        _, a, b = h.pair(["--baud", "115200", "--seed", str(seed), *options],
                         ["-E", "1", "-z", "../a.log", "from_a"], ["-E", "1", "-z", "../b.log", "from_b"])
        v.need(wait_ends([a, b]), "the ends did not finish")
        v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
        v.need(read(h.path("b", "from_a")) == src_a and read(h.path("a", "from_b")) == src_b,
               "a received file differs")
        v.claimed(src_a, h.path("b", "from_a"), transfer_claims(h, "from_a", h.path("a.log"), h.path("b.log")))
        v.claimed(src_b, h.path("a", "from_b"), transfer_claims(h, "from_b", h.path("b.log"), h.path("a.log")))
        return v
    return run


def mid_file(h, side, name, fraction=0.2, limit=60):
    return wait_until(lambda: size_of(h.path(side, name)) >= Config.size * fraction, limit)


def resume_round(h, v, source, name, sender_args=(), receiver_args=(), receiver_dir=None):
    """A fresh cable and two ends: the broken-off file must come whole."""
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a2.log", *sender_args, name],
                     ["-E", "1", "-z", "../b2.log", *receiver_args])
    v.need(wait_ends([a, b]), "the resuming run did not finish")
    target = h.path("b", receiver_dir or "", name)
    v.need(read(target) == source, "not whole after the resuming run")
    v.need(a.code == 0 and b.code == 0, f"resuming run exit codes {a.code} and {b.code}")
    stored = os.path.join(receiver_dir, name) if receiver_dir else name
    v.claimed(source, target, transfer_claims(h, name, h.path("a2.log"), h.path("b2.log"), stored))


def kill9_case(h, seed):
    """kill -9 of the receiver (even runs) or the sender (odd runs) mid-file, then a resume."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    h.dir("b")
    env = {"KESTRO_CLOCK_RATE": "5"}  # the survivor's 60-second silence ends in 12 s
    _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-z", "../a.log", "big"], ["-E", "1", "-z", "../b.log"],
                     binary=fastclock(), env=env)
    victim, survivor = (b, a) if seed % 2 == 0 else (a, b)
    if not v.need(mid_file(h, "b", "big"), "the file never started"):
        return v
    victim.signal(signal.SIGKILL)
    v.need(wait_ends([a, b], 60), "the surviving end did not leave")
    v.orderly(survivor, "the surviving end")
    v.need(not logged(h.path("b.log"), "S", "big") and not logged(h.path("a.log"), "s", "big"),
           "a log claims the broken file")
    resume_round(h, v, src, "big")
    return v


def disk_full_case(h, seed):
    """The receiver's download directory fills up; -y at the sender must keep its file."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    small = h.path("b", "small")
    h.mount_tmpfs(small, f"size={Config.size // 2}")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-y", "-z", "../a.log", "big"],
                     ["-E", "1", "-X", "-z", "../b.log", "-d", "small/"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.need("No space left on device" in b.stderr(), "the receiver did not say why")
    v.need(read(h.path("a", "big")) == src, "the sender lost its file")
    v.need(not logged(h.path("b.log"), "S", "small/big"), "the receiver logged the file as received")
    v.claimed(src, h.path("b", "small", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log"), "small/big"))
    os.makedirs(h.path("b", "roomy"))
    shutil.copy(h.path("b", "small", "big"), h.path("b", "roomy", "big"))
    h.unmount(small)
    resume_round(h, v, src, "big", ["-y"], ["-d", "roomy/"], "roomy")
    return v


def fsize_case(h, seed):
    """The receiver runs under a file-size limit (RLIMIT_FSIZE) below the file's size."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "big"],
                     ["-E", "1", "-X", "-z", "../b.log"], fsize_b=Config.size // 2)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(b, "the limited receiver")
    v.orderly(a, "the sender")
    v.need(logged(h.path("b.log"), "E", "big"), "no 'E' line for the file")
    v.need("File too large" in b.stderr(), "the receiver did not say why")
    v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
    resume_round(h, v, src, "big")
    return v


def hostile_names_case(h, seed):
    """A peer offers names with directories, control bytes, overlong names and false sizes."""
    v = Verdict()
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-X", "-z", "../a.log", "-d", "dl/"], c.a)
    peer = h.end("b", Config.peer, ["names", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the receiver")
    v.need(peer.code == 0, f"the hostile peer ended with {peer.code}")
    # Offers 0 to 4 are stored under their base names, in the download directory only.
    stored = {"escape1": 0, "kestro-hostile": 1, "escape2": 2, "C:\\dos\\path": 3, "n" * 250: 4}
    for name, n in stored.items():
        content = read(h.path("b", f"content.{n}"))
        v.need(read(h.path("a", "dl", name)) == content, f"offer {n} not stored whole as dl/{name[:20]}")
    expected = set(stored) | {"huge"}
    # The peer runs the real session: a file the receiver gave up on (the overlong name)
    # is offered again under the peer's own name for it, content.N; that must come whole.
    for name in os.listdir(h.path("a", "dl")):
        if name.startswith("content.") and read(h.path("a", "dl", name)) == read(h.path("b", name)):
            expected.add(name)
    v.need(set(os.listdir(h.path("a", "dl"))) <= expected, "an unexpected name in the download directory")
    v.need(sorted(os.listdir(h.path("a"))) == ["dl"], "a file outside the download directory")
    v.need(not os.path.exists("/etc/kestro-hostile") and not os.path.exists(h.path("escape1")),
           "a file written outside")
    refused = [l for l in (read(h.path("results")) or b"").decode("latin-1").splitlines() if l.startswith("q ")]
    v.need(len(refused) == 7, f"{len(refused)} of 7 malformed offers refused")
    v.need("File name too long" in victim.stderr(), "the overlong name was not reported")
    v.need(not logged(h.path("a.log"), "S", "dl/huge"), "the oversized offer was logged as received")
    for name, n in stored.items():
        v.claimed(read(h.path("b", f"content.{n}")) or b"", h.path("a", "dl", name),
                  [logged(h.path("a.log"), "S", "dl/" + name)])
    return v


def flood_case(h, seed):
    """A peer floods offers, requests of missing names and chat."""
    v = Verdict()
    count = 2000 if Config.long else 200
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-r", "-z", "../a.log", "-d", "dl/"], c.a)
    peer = h.end("b", Config.peer, ["flood", "../results", str(count)], c.b)
    peak = [0]

    def watch():
        peak[0] = max(peak[0], victim.peak_kib())
        return victim.poll() and peer.poll()
    v.need(wait_until(watch, END_LIMIT_S * 3), "the flood did not end")
    wait_ends([victim, peer], 1)
    v.need(victim.code == 0, f"the receiver ended with {victim.code} (nothing was outstanding)")
    v.need(peer.code == 0, f"the flooding peer ended with {peer.code}")
    missing = [l for l in (read(h.path("results")) or b"").decode().splitlines() if l.startswith("m ")]
    v.need(len(missing) == count, f"{len(missing)} of {count} requests answered 'not found'")
    intact = 0
    for i in range(count):
        content = read(h.path("b", f"content.{i}"))
        if read(h.path("a", "dl", f"flood.{i}")) == content:
            intact += 1
        else:
            v.claimed(content or b"", h.path("a", "dl", f"flood.{i}"), [logged(h.path("a.log"), "S", f"dl/flood.{i}")])
    v.need(intact == count, f"{intact} of {count} flooded files stored whole")
    v.need(peak[0] < 16 * 1024, f"the receiver's memory reached {peak[0]} KiB")
    v.note = f"{count} offers and requests, receiver peak {peak[0] / 1024:.1f} MiB"
    return v


def freeze_case(seconds, fast):
    """The sender is stopped (SIGSTOP) mid-file: for some seconds, and it goes on; or (on a
    fast clock) until the receiver has left after its silence time-out, and a second run
    resumes."""
    def run(h, seed):
        v = Verdict()
        src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
        h.dir("b")
        env = {"KESTRO_CLOCK_RATE": "5"} if fast else None
        _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-z", "../a.log", "big"],
                         ["-E", "1", "-z", "../b.log"], binary=fastclock() if fast else kestro(), env=env)
        if not v.need(mid_file(h, "b", "big"), "the file never started"):
            return v
        a.signal(signal.SIGSTOP)
        if fast:  # frozen until the receiver has given up on it
            receiver_left = wait_until(b.poll, END_LIMIT_S)
        else:
            time.sleep(seconds)  # the fault itself: the peer is frozen this long
        a.signal(signal.SIGCONT)
        v.need(wait_ends([a, b]), "the ends did not finish")
        v.orderly(a, "the frozen end")
        v.orderly(b, "the waiting end")
        v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
        if fast:
            v.need(receiver_left, "the receiver waited past its silence time-out")
            resume_round(h, v, src, "big")
        else:
            v.need(read(h.path("b", "big")) == src and a.code == 0 and b.code == 0, "the transfer did not go on")
        return v
    return run


def planted_links_case(h, seed):
    """Links stand in the download directory under offered names: a symbolic link to a file
    outside (shorter: it would be resumed into), a hard link, a dangling symbolic link.
    Without -R they are refused; with -R (odd runs) the files arrive as NAME.0."""
    v = Verdict()
    rename = seed % 2 == 1
    outside = h.dir("outside")
    before = {n: make_file(os.path.join(outside, n), 1000, seed + i) for i, n in enumerate(["secret1", "secret2"])}
    sources = {n: make_file(h.path(h.dir("a"), n), 8192, seed + 10 + i) for i, n in enumerate(["doc1", "doc2", "doc3"])}
    h.dir("b")
    os.symlink("../outside/secret1", h.path("b", "doc1"))
    os.link(os.path.join(outside, "secret2"), h.path("b", "doc2"))
    os.symlink("../outside/new3", h.path("b", "doc3"))
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "doc1", "doc2", "doc3"],
                     ["-E", "1", "-z", "../b.log", *(["-R"] if rename else [])], **refusals_clock())
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    for n, data in before.items():
        v.untouched(os.path.join(outside, n), data)
    v.need(not os.path.exists(os.path.join(outside, "new3")), "a file was created through a dangling link")
    for n, data in sources.items():
        if rename:
            v.need(read(h.path("b", n + ".0")) == data, f"{n}.0 not stored whole")
        v.claimed(data, h.path("b", n + ".0"), [logged(h.path("b.log"), "S", n + ".0")])
    return v


def served_symlink_case(h, seed):
    """A served directory holds a symbolic link to a file outside; the peer requests both."""
    v = Verdict()
    secret = make_file(h.path(h.dir("outside"), "secret"), 1000, seed)
    real = make_file(h.path(h.dir("a", "pub"), "real.txt"), 4096, seed + 1)
    os.symlink("../../outside/secret", h.path("a", "pub", "sym.txt"))
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-r", "-E", "1", "-z", "../a.log", "pub/"],
                     ["-E", "1", "-z", "../b.log", "-U", "real.txt", "sym.txt"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(read(h.path("b", "real.txt")) == real, "the real file did not arrive")
    v.need(not os.path.exists(h.path("b", "sym.txt")), "the link was served")
    v.need(a.code == 0, f"the serving end exited {a.code}: a request that found nothing is no upload")
    v.need(b.code == 0, f"the requesting end exited {b.code}")
    v.untouched(h.path("outside", "secret"), secret)
    if os.path.exists(h.path("b", "sym.txt")):
        v.lost += 1000  # the secret's bytes went where they must not
    return v


def hangup_case(h, seed):
    """The line hangs up mid-file (the cable is killed): both ends leave at once, without
    spinning, and a second run resumes."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    h.dir("b")
    c, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-z", "../a.log", "big"], ["-E", "1", "-z", "../b.log"])
    if not v.need(mid_file(h, "b", "big"), "the file never started"):
        return v
    cpu_before = {e.pid: e.cpu() for e in (a, b)}
    hung = time.monotonic()
    c.stop(signal.SIGKILL)
    v.need(wait_ends([a, b], ORDERLY_S * 3), "an end did not leave after the hang-up")
    for e, name in ((a, "the sender"), (b, "the receiver")):
        v.orderly(e, name)
        if e.ended_at is not None:
            v.need(e.ended_at - hung <= ORDERLY_S, f"{name} took {e.ended_at - hung:.0f} s to leave")
        spent = e.cpu() - cpu_before[e.pid]
        v.need(spent <= SPIN_CPU_S, f"{name} used {spent:.1f} CPU s after the hang-up")
    v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
    resume_round(h, v, src, "big")
    return v


def sigterm_case(target):
    """SIGTERM to one end mid-file: it leaves orderly (its log lines written, exit status of
    the outstanding work), the other end is told goodbye and leaves too; then a resume."""
    def run(h, seed):
        v = Verdict()
        src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
        h.dir("b")
        _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-X", "-z", "../a.log", "big"],
                         ["-E", "1", "-X", "-z", "../b.log"])
        victim, other = (a, b) if target == "sender" else (b, a)
        if not v.need(mid_file(h, "b", "big"), "the file never started"):
            return v
        sent = time.monotonic()
        victim.signal(signal.SIGTERM)
        v.need(wait_ends([a, b], ORDERLY_S * 3), "an end did not leave")
        v.orderly(victim, f"the {target} (SIGTERM)")
        v.orderly(other, "the other end")
        for e, name in ((victim, f"the {target}"), (other, "the other end")):
            if e.ended_at is not None:
                v.need(e.ended_at - sent <= ORDERLY_S, f"{name} took {e.ended_at - sent:.0f} s to leave")
        letter, log = ("e", "a.log") if target == "sender" else ("E", "b.log")
        v.need(logged(h.path(log), letter, "big"), f"no '{letter}' line for the unfinished file")
        v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
        resume_round(h, v, src, "big")
        return v
    return run


def self_offer_case(h, seed):
    """Both ends send a file of the same name: each is offered the name of its own upload.
    Without -R both refuse; with -R (odd runs) each stores the other's as same.bin.0."""
    v = Verdict()
    rename = seed % 2 == 1
    mine_a = make_file(h.path(h.dir("a"), "same.bin"), Config.size, seed)
    mine_b = make_file(h.path(h.dir("b"), "same.bin"), Config.size // 4, seed + 1)
    flags = ["-R"] if rename else []
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", *flags, "same.bin"],
                     ["-E", "1", "-z", "../b.log", *flags, "same.bin"], **refusals_clock())
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "end A")
    v.orderly(b, "end B")
    v.untouched(h.path("a", "same.bin"), mine_a)
    v.untouched(h.path("b", "same.bin"), mine_b)
    if rename:
        v.need(read(h.path("a", "same.bin.0")) == mine_b and read(h.path("b", "same.bin.0")) == mine_a,
               "the renamed copies are not whole")
    v.claimed(mine_a, h.path("b", "same.bin.0"), [logged(h.path("b.log"), "S", "same.bin.0")])
    v.claimed(mine_b, h.path("a", "same.bin.0"), [logged(h.path("a.log"), "S", "same.bin.0")])
    return v


def unwritable_dir_case(h, seed):
    """The download directory cannot be written (a read-only file system): the receiver says
    why on standard error, and the sender, with -y, keeps its file."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "doc"), 8192, seed)
    h.mount_tmpfs(h.path("b", "ro"), "ro,size=64k")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-y", "-z", "../a.log", "doc"],
                     ["-E", "1", "-z", "../b.log", "-d", "ro/"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.need("cannot create ro/doc: Read-only file system" in b.stderr(), "the receiver did not say why")
    v.need(read(h.path("a", "doc")) == src, "the sender lost its file")
    v.claimed(src, h.path("b", "ro", "doc"), transfer_claims(h, "doc", h.path("a.log"), h.path("b.log"), "ro/doc"))
    return v


# ---- -y, vanished files, the transfer log

def ended_in_order(h, v, a, b, src, name):
    """Sender a and receiver b ended by themselves, with the exit codes of outstanding work,
    and the file is intact at b if either end claimed it done."""
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.claimed(src, h.path("b", name), transfer_claims(h, name, h.path("a.log"), h.path("b.log")))


def y_changed_case(kind):
    """-y, and the file being sent grows (appended to) or is replaced by mv mid-file: the
    receiver gets what was offered, and the sender keeps the file, which holds bytes the peer
    never got."""
    def run(h, seed):
        v = Verdict()
        src = make_file(h.path(h.dir("a"), "doc"), Config.size, seed)
        h.dir("b")
        _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-y", "-X", "-z", "../a.log", "doc"],
                         ["-E", "1", "-z", "../b.log"])
        if not v.need(mid_file(h, "b", "doc"), "the file never started"):
            return v
        if kind == "grown":
            extra = random.Random(seed + 7).randbytes(Config.size // 2)
            with open(h.path("a", "doc"), "ab") as f:
                f.write(extra)
            now = src + extra
        else:
            now = make_file(h.path("a", "doc.new"), Config.size * 2 // 3, seed + 7)
            os.rename(h.path("a", "doc.new"), h.path("a", "doc"))
        ended_in_order(h, v, a, b, src, "doc")
        v.need(read(h.path("b", "doc")) == src, "the receiver does not hold what was offered")
        if read(h.path("a", "doc")) != now:
            v.faults.append("-y deleted the changed file")
            v.lost += len(now) - (len(src) if kind == "grown" and read(h.path("b", "doc")) == src else 0)
        v.need("kept doc" in a.stderr(), "the sender did not say why it kept the file")
        return v
    return run


def y_same_size_case(h, seed):
    """-y, and the receiver has an unrelated file of the same name and size: a receiver that
    checks whole files refuses the taken name, one that does not answers "x"; either way the
    sender keeps its file and says why."""
    v = Verdict()
    mine = make_file(h.path(h.dir("a"), "same"), Config.size, seed)
    theirs = make_file(h.path(h.dir("b"), "same"), Config.size, seed + 1)
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-y", "-X", "-z", "../a.log", "same"],
                     ["-E", "1", "-z", "../b.log"], **refusals_clock())
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.untouched(h.path("b", "same"), theirs)
    if read(h.path("a", "same")) != mine:
        v.faults.append("-y deleted a file the peer matched by size only")
        v.lost += len(mine)
    v.need("kept same" in a.stderr() or "Not completed: same (" in a.stderr(),
           "the sender did not say why it kept the file")
    return v


def received_vanished_case(what):
    """The file being received is deleted, or the download directory removed, mid-file; the
    sender has -y. The receiver must not confirm it, and the sender must keep its copy."""
    def run(h, seed):
        v = Verdict()
        src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
        into = ["-d", "dl/"] if what == "directory" else []
        folder = h.dir("b", "dl") if what == "directory" else h.dir("b")
        _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-y", "-X", "-z", "../a.log", "big"],
                         ["-E", "1", "-X", "-z", "../b.log", *into])
        if not v.need(wait_until(lambda: size_of(os.path.join(folder, "big")) >= Config.size * 0.2, 60),
                      "the file never started"):
            return v
        if what == "directory":
            shutil.rmtree(folder)
        else:
            os.unlink(os.path.join(folder, "big"))
        v.need(wait_ends([a, b]), "the ends did not finish")
        v.orderly(a, "the sender")
        v.orderly(b, "the receiver")
        target = os.path.join(folder, "big")
        stored = "dl/big" if what == "directory" else "big"
        claims = transfer_claims(h, "big", h.path("a.log"), h.path("b.log"), stored)
        v.claimed(src, target, claims)
        if read(h.path("a", "big")) != src and read(target) != src and not any(claims):
            v.faults.append("-y deleted the only copy")
            v.lost += len(src)
        v.need("removed or replaced" in b.stderr() or "cannot" in b.stderr(), "the receiver did not say why")
        return v
    return run


def log_name_case(h, seed):
    """Once a first file is in, the peer offers the name of our transfer log, which lies in
    the download directory, holding forged log lines longer than the log (with -o on odd
    runs): the log must hold our own lines only."""
    v = Verdict()
    h.dir("a")
    overwrite = ["-o"] if seed % 2 == 1 else []
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-X", "-z", "a.log", *overwrite], c.a)
    peer = h.end("b", Config.peer, ["forge", "../results", "a.log"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the receiver")
    v.need(peer.code == 0, f"the peer ended with {peer.code}")
    log = read(h.path("a", "a.log")) or b""
    if b"FORGED" in log:
        v.faults.append("the peer's bytes went into the transfer log")
        v.lost += sum(len(line) for line in log.splitlines(True) if b"FORGED" in line)
    v.need(logged(h.path("a", "a.log"), "S", "real"), "the log lost the receiver's own line")
    v.need(read(h.path("a", "real")) == read(h.path("b", "content.0")), "the first file did not arrive")
    return v


# ---- hang-ups and the terminal

def still_crossing(h, v, name):
    """A fault meant for the middle of a file must come before the file is whole, or the run
    shows nothing (a loaded machine can poll late)."""
    return v.need(size_of(h.path("b", name)) < Config.size, "the file was whole before the fault: the run shows nothing")


def sighup_door_case(h, seed):
    """Two SIGHUPs to a door-mode sender (no -t) mid-file: it ends in order at once (its log
    line written, no goodbye: the line is gone), the peer by its silence time-out (fast
    clock); a resume follows. Odd runs: started with SIGHUP ignored (nohup), it goes on."""
    v = Verdict()
    nohup = seed % 2 == 1
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    h.dir("b")
    c = h.cable(["--baud", "19200"])
    a = h.end("a", kestro(), ["-E", "1", "-X", "-z", "../a.log", "big"], c.a, nohup=nohup)
    b = h.end("b", fastclock(), ["-E", "1", "-X", "-z", "../b.log"], c.b, env={"KESTRO_CLOCK_RATE": "5"})
    if not v.need(mid_file(h, "b", "big", 0.1), "the file never started"):
        return v
    if not still_crossing(h, v, "big"):
        return v
    sent = time.monotonic()
    a.signal(signal.SIGHUP)
    time.sleep(0.1)
    a.signal(signal.SIGHUP)
    ended_in_order(h, v, a, b, src, "big")
    if nohup:
        v.need(a.code == 0 and read(h.path("b", "big")) == src, "SIGHUP ignored at start stopped the transfer")
        return v
    v.need(a.ended_at is not None and a.ended_at - sent <= ORDERLY_S, "the sender did not leave at once")
    v.need(logged(h.path("a.log"), "e", "big"), "no 'e' line for the unfinished file")
    resume_round(h, v, src, "big")
    return v


def device_leaves_case(how):
    """A device-mode sender in a terminal, mid-file: SIGHUP twice (no -t), or its terminal
    closed. It ends in order (its log line, its lock file removed, the terminal as the shell
    had it) and says goodbye, so the peer leaves at once too; a resume follows."""
    def run(h, seed):
        v = Verdict()
        src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
        h.dir("b")
        c = h.cable(["--baud", "38400"])
        a = h.terminal_end("a", kestro(), ["-c", "-h", "-p", c.a, "-E", "1", "-X", "-z", "../a.log", "big"])
        b = h.end("b", kestro(), ["-E", "1", "-X", "-z", "../b.log"], c.b)
        if not v.need(mid_file(h, "b", "big"), "the file never started") or not still_crossing(h, v, "big"):
            return v
        v.need(os.path.exists(lock_file(c.a)), "no lock file while it ran")
        sent = time.monotonic()
        if how == "sighup":
            a.signal(signal.SIGHUP)
            time.sleep(0.1)
            a.signal(signal.SIGHUP)
        else:
            a.close_terminal()
        v.need(wait_ends([a, b], ORDERLY_S * 3), "an end did not leave")
        for e, name in ((a, "the device end"), (b, "the peer")):
            v.orderly(e, name)
            if e.ended_at is not None:
                v.need(e.ended_at - sent <= ORDERLY_S, f"{name} took {e.ended_at - sent:.0f} s to leave")
        v.need("terminated" in b.stderr(), "the peer was not told goodbye")
        v.need(not os.path.exists(lock_file(c.a)), "the lock file was left behind")
        v.need(logged(h.path("a.log"), "e", "big"), "no 'e' line for the unfinished file")
        if how == "sighup":
            v.need(a.terminal_sane(), "the terminal was left in raw mode")
        v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
        resume_round(h, v, src, "big")
        return v
    return run


SUSPEND_S = 70


def suspend_case(h, seed):
    """Ctrl+Z (odd runs: SIGTSTP) in a device-mode sender mid-file, stopped for 70 s (past
    the peer's 60-second silence time-out), then SIGCONT: the terminal is the shell's while
    stopped, and the transfer goes on to the end."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    h.dir("b")
    c = h.cable(["--baud", "38400"])
    a = h.terminal_end("a", kestro(), ["-c", "-h", "-p", c.a, "-E", "1", "-z", "../a.log", "big"])
    b = h.end("b", kestro(), ["-E", "1", "-z", "../b.log"], c.b)
    if not v.need(mid_file(h, "b", "big"), "the file never started") or not still_crossing(h, v, "big"):
        return v
    if seed % 2 == 0:
        a.keys("C-z")
    else:
        a.signal(signal.SIGTSTP)
    if v.need(wait_until(a.stopped, 10), "Ctrl+Z did not stop it" if seed % 2 == 0 else "SIGTSTP did not stop it"):
        v.need(a.terminal_sane(), "the terminal stayed in raw mode while stopped")
    time.sleep(SUSPEND_S)  # the fault itself: stopped this long
    v.need(b.code is None and not b.poll(), "the peer left while the end was stopped")
    a.signal(signal.SIGCONT)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.need(read(h.path("b", "big")) == src, "the file did not arrive whole")
    v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
    return v


def door_pipes_case(h, seed):
    """`true | kestro -c -E 1 | cat`: a door whose line is two pipes, the input at its end. It
    must end at once with "Carrier lost.", not after the link's time-out."""
    v = Verdict()
    h.dir("a")
    script = (f"true | '{kestro()}' -c -E 1 2>../a.err | cat >../a.out; "
              "echo ${PIPESTATUS[1]} >../a.rc")
    began = time.monotonic()
    done = subprocess.run(["bash", "-c", script], cwd=h.path("a"), timeout=END_LIMIT_S).returncode == 0
    took = time.monotonic() - began
    code = (read(h.path("a.rc")) or b"").strip()
    v.need(done and code in (b"0", b"1", b"2", b"3"), f"exit code {code.decode() or 'none'}")
    v.need(took <= ORDERLY_S, f"it took {took:.0f} s to end")
    v.need(b"Carrier lost." in (read(h.path("a.err")) or b""), "no \"Carrier lost.\"")
    v.note = f"ended after {took:.1f} s"
    return v


# ---- raw bytes from the peer

def forbidden_text(data, screen=False):
    """What in these bytes could act on a terminal: bytes that are not UTF-8, control
    characters but tab, CR and LF, DEL and C1, bidirectional controls. The screen's own
    output holds the display's escape sequences and character-set shifts: there, C0 is let
    be (the peer's sequences are looked for by the case itself)."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        return f"bytes that are not UTF-8 ({data[error.start:error.start + 4]!r})"
    for ch in text:
        o = ord(ch)
        if (o < 0x20 and ch not in "\t\r\n" and not screen) or 0x7F <= o <= 0x9F or o == 0x61C \
                or 0x200E <= o <= 0x200F or 0x202A <= o <= 0x202E or 0x2066 <= o <= 0x2069:
            return f"U+{o:04X}"
    return None


def banner_case(h, seed):
    """The peer's banner holds a window title and a terminal reset: the handshake echo of a
    device-mode end must show none of it raw."""
    v = Verdict()
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-c", "-h", "-p", c.a], None)
    peer = h.end("b", Config.peer, ["banner", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the device end")
    v.need(peer.code == 0, f"the peer ended with {peer.code}")
    err = read(victim.err) or b""
    v.need(b"PWNED" in err, "the banner was not echoed at all")
    screen = read(victim.out) or b""
    for name, bad in (("standard error", forbidden_text(err)), ("the screen output", forbidden_text(screen, True))):
        v.need(bad is None, f"{bad} on {name}")
    v.need(b"\x1b]0;PWNED" not in screen and b"\x1bc" not in screen, "the banner's sequences on the screen")
    return v


def raw_names_case(h, seed):
    """The peer offers names holding C1 controls (raw and as UTF-8), DEL, bidirectional
    controls and "euro€": the controls are refused, and nothing raw reaches the log, the
    messages or the summary; "€" stays."""
    v = Verdict()
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-c", "-h", "-p", c.a, "-X", "-z", "../a.log", "-d", "dl/"], None)
    peer = h.end("b", Config.peer, ["rawnames", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the receiver")
    v.need(peer.code == 0, f"the peer ended with {peer.code}")
    stored = set(os.listdir(h.path("a", "dl").encode()))
    for name in (b"c1utf8\xc2\x85name", b"csiutf8\xc2\x9b2Jname", b"del\x7fname", b"rlo\xe2\x80\xaegnp.exe",
                 b"lri\xe2\x81\xa6name", b"alm\xd8\x9cname"):
        v.need(name not in stored, f"{name!r} was stored")
    v.need("euro€".encode() in stored, "euro€ was not stored")
    v.need(logged(h.path("a.log"), "S", "dl/euro€"), "euro€ was not logged as it is")
    for name, data in (("the log", read(h.path("a.log")) or b""), ("standard error", read(victim.err) or b""),
                       ("the screen output", read(victim.out) or b"")):
        bad = forbidden_text(data, name == "the screen output")
        v.need(bad is None, f"{bad} in {name}")
    return v


def chat_escape_case(h, seed):
    """The peer's chat lines hold ESC[K and escape sequences never finished on their line:
    the plain line after them must show on the screen."""
    v = Verdict()
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    victim = h.terminal_end("a", kestro(), ["-c", "-h", "-p", c.a])
    peer = h.end("b", Config.peer, ["chat", "../results", "../stop"], c.b)
    shown = wait_until(lambda: "plain line after the escapes" in victim.screen(), 30)
    v.need(shown, "the line after the escapes did not show")
    with open(h.path("stop"), "w"):
        pass
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the device end")
    return v


# ---- silently wrong

NOBODY = 65534


def unreadable_upload_case(h, seed):
    """One file of three in an upload batch cannot be read (the sender runs as nobody): it is
    never offered, the sender says why and logs it, and the other two arrive."""
    v = Verdict()
    os.chmod(h.work, 0o755)
    folder = h.dir("a")
    files = {n: make_file(os.path.join(folder, n), 8192, seed + i) for i, n in enumerate(["f1", "f2", "f3"])}
    for n in [*files, "."]:
        os.chown(os.path.join(folder, n), NOBODY, NOBODY)
    os.chmod(os.path.join(folder, "f2"), 0)
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    a = h.end("a", kestro(), ["-E", "1", "-X", "-z", "a.log", "f1", "f2", "f3"], c.a, user=NOBODY)
    b = h.end("b", kestro(), ["-E", "1", "-X", "-z", "../b.log"], c.b)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 2, f"the sender exited {a.code}, not 2 (an upload outstanding)")
    v.need(b.code == 0, f"the receiver exited {b.code}")
    for n in ("f1", "f3"):
        v.need(read(h.path("b", n)) == files[n], f"{n} did not arrive")
        v.claimed(files[n], h.path("b", n), transfer_claims(h, n, h.path("a", "a.log"), h.path("b.log")))
    v.need(not os.path.exists(h.path("b", "f2")) and not any(n == "f2" for _, _, n in log_lines(h.path("b.log"))),
           "the unreadable file was offered")
    v.need("f2" in a.stderr() and "Permission denied" in a.stderr(), "the sender did not say why f2 was not sent")
    v.need(any(n == "f2" for _, _, n in log_lines(h.path("a", "a.log"))), "no log line for f2")
    return v


def lock_case(h, seed):
    """Lock files with no number in them (fast-clock build, its own lock directory): a fresh
    empty one, and an old one of garbage while another process holds the port's flock, refuse
    the port with the file's path; an old one of garbage that nobody holds is stale."""
    v = Verdict()
    locks = h.dir("locks")
    env = {"KESTRO_LOCK_DIR": locks}
    src = make_file(h.path(h.dir("a"), "f"), 4096, seed)
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    lock = os.path.join(locks, os.path.basename(lock_file(c.a)))

    def refused(why):
        a = h.end("a", fastclock(), ["-c", "-h", "-p", c.a, "-E", "1", "f"], None, env=env)
        ended = wait_ends([a], 20)
        v.need(ended and a.code == 20, f"{why}: exit code {a.code}, not 20")
        v.need(lock in a.stderr(), f"{why}: the message does not name the lock file")
        v.need(os.path.exists(lock), f"{why}: the lock file was removed")

    with open(lock, "wb"):
        pass
    refused("a fresh empty lock file")
    with open(lock, "wb") as f:
        f.write(b"\x00\xffgarbage\n")
    old = time.time() - 60
    os.utime(lock, (old, old))
    holder = os.open(c.a, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        refused("an old garbage lock file while the port's flock is held")
    finally:
        os.close(holder)
    a = h.end("a", fastclock(), ["-c", "-h", "-p", c.a, "-E", "1", "f"], None, env=env)
    b = h.end("b", fastclock(), ["-E", "1"], c.b, env=env)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"a stale garbage lock file: exit codes {a.code} and {b.code}")
    v.need(read(h.path("b", "f")) == src, "a stale garbage lock file: the file did not arrive")
    v.need(not os.path.exists(lock), "the lock file was left behind")
    return v


def broken_download_exit_case(h, seed):
    """A download breaks (the receiver's file-size limit), a later one arrives: the receiver
    exits 1 (downloads outstanding), not 0."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    small = make_file(h.path("a", "small"), 1024, seed + 1)
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "big", "small"],
                     ["-E", "1", "-X", "-z", "../b.log"], fsize_b=Config.size // 2)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(read(h.path("b", "small")) == small, "the later file did not arrive")
    v.need(b.code == 1, f"the receiver exited {b.code}, not 1")
    v.orderly(a, "the sender")
    v.claimed(src, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
    return v


def missing_uploads_exit_case(h, seed):
    """Named uploads that are not found, or too large (a sparse 3 GiB file), beside one that
    is sent: the sender exits 2 (uploads outstanding), not 0."""
    v = Verdict()
    present = make_file(h.path(h.dir("a"), "present"), 4096, seed)
    with open(h.path("a", "huge"), "wb") as f:
        f.truncate(3 << 30)
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "missing1", "present", "missing2", "huge"],
                     ["-E", "1", "-z", "../b.log"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(read(h.path("b", "present")) == present, "the present file did not arrive")
    v.need(a.code == 2, f"the sender exited {a.code}, not 2")
    v.need(b.code == 0, f"the receiver exited {b.code}")
    v.need(not os.path.exists(h.path("b", "huge")), "the oversized file was offered")
    return v


# ---- the whole-file check

def taken_prefix_case(equal):
    """The receiver holds a file of the offered name whose bytes are not the sender's: a
    shorter one (an unrelated first part) or one of the same size. It is never resumed onto
    nor skipped as already there: without -o the offer ends refused at both ends and the file
    stays as it was; with -o (odd runs) it is replaced by the whole file once that is whole."""
    def run(h, seed):
        v = Verdict()
        overwrite = seed % 2 == 1
        src = make_file(h.path(h.dir("a"), "doc"), Config.size, seed)
        mine = make_file(h.path(h.dir("b"), "doc"), Config.size if equal else Config.size // 4, seed + 1)
        _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-y", "-X", "-z", "../a.log", "doc"],
                         ["-E", "1", "-X", "-z", "../b.log", *(["-o"] if overwrite else [])], **refusals_clock())
        v.need(wait_ends([a, b]), "the ends did not finish")
        v.orderly(a, "the sender")
        v.orderly(b, "the receiver")
        if overwrite:
            v.need(read(h.path("b", "doc")) == src, "not replaced by the whole file")
            v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
        else:
            v.untouched(h.path("b", "doc"), mine)
            v.need(read(h.path("a", "doc")) == src, "-y deleted the refused file")
            v.need(logged(h.path("a.log"), "e", "doc") and logged(h.path("b.log"), "E", "doc"),
                   "the refusal is not logged at both ends")
            v.need(a.code == 2 and b.code == 0, f"exit codes {a.code} and {b.code}: only the upload is outstanding")
        v.need(not os.path.exists(h.path("b", "doc.kestro-new")), "a temporary file was left")
        v.claimed(src, h.path("b", "doc"), transfer_claims(h, "doc", h.path("a.log"), h.path("b.log")))
        return v
    return run


def changed_while_sent_case(h, seed):
    """The sender's file is rewritten in place (same size, new bytes) as its first bytes
    arrive, well before the sender has read it to its end (the data channels hold 32 KiB):
    the check fails, and the file goes again with its new bytes."""
    v = Verdict()
    size = max(4 * Config.size, 128 * 1024)
    make_file(h.path(h.dir("a"), "live"), size, seed)
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "live"], ["-E", "1", "-z", "../b.log"])
    if not v.need(wait_until(lambda: size_of(h.path("b", "live")) > 0, 60), "the file never started"):
        return v
    new = random.Random(seed + 500).randbytes(size)
    with open(h.path("a", "live"), "r+b") as f:
        f.write(new)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.need(read(h.path("b", "live")) == new, "the new bytes did not arrive")
    v.need("failed its check: sent again" in a.stderr(), "the sender did not say it sends it again")
    v.claimed(new, h.path("b", "live"), transfer_claims(h, "live", h.path("a.log"), h.path("b.log")))
    return v


def wrong_digest_case(h, seed):
    """A test build sends wrong digests: once (even runs), the file arrives on its second
    offer; twice (odd runs), it ends failed at both ends, and the receiver's copy (the true
    first quarter of the file, resumed onto) is as it was."""
    v = Verdict()
    twice = seed % 2 == 1
    src = make_file(h.path(h.dir("a"), "doc"), Config.size, seed)
    h.dir("b")
    held = src[:Config.size // 4]
    if twice:
        with open(h.path("b", "doc"), "wb") as f:
            f.write(held)
    c = h.cable(["--baud", "115200"])
    a = h.end("a", trace_build(), ["-E", "1", "-z", "../a.log", "doc"], c.a,
              {"KESTRO_SPOIL_DIGESTS": "2" if twice else "1"})
    b = h.end("b", kestro(), ["-E", "1", "-X", "-z", "../b.log"], c.b)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    if twice:
        v.untouched(h.path("b", "doc"), held)
        v.need(a.code == 2 and b.code == 1, f"exit codes {a.code} and {b.code}: the failure is outstanding")
        v.need(logged(h.path("a.log"), "e", "doc") and logged(h.path("b.log"), "E", "doc"),
               "the failure is not logged at both ends")
    else:
        v.need(read(h.path("b", "doc")) == src, "not whole after its second offer")
        v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.claimed(src, h.path("b", "doc"), transfer_claims(h, "doc", h.path("a.log"), h.path("b.log")))
    return v


# ---- the hostile campaign's faults

def short_file_case(h, seed):
    """A peer offers a file 1,000 bytes larger than the data it sends and waits for "c": after
    a minute without progress (real time) the file ends, failed, through the abort exchange
    (the receiver's watch or the peer's own, whichever comes first), and the run ends by -E."""
    v = Verdict()
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-E", "1", "-X", "-z", "../a.log", "-d", "dl/"], c.a)
    peer = h.end("b", Config.peer, ["short", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish (a file that stops short hangs them)")
    v.orderly(victim, "the receiver")
    v.need(peer.code == 0, f"the peer ended with {peer.code}")
    said = "no data came" in victim.stderr() or "confirmed nothing for a minute" in peer.stderr()
    v.need(said, "neither end said why it gave up")
    v.need(logged(h.path("a.log"), "E", "dl/short.bin"), "no 'E' line for the stalled file")
    content = read(h.path("b", "content.0")) or b""
    held = read(h.path("a", "dl", "short.bin")) or b""
    v.need(content.startswith(held), "the partial file holds bytes that were not sent")
    v.claimed(content, h.path("a", "dl", "short.bin"), [logged(h.path("a.log"), "S", "dl/short.bin")])
    return v


def long_frame_case(h, seed):
    """A peer that announces compression sends a frame one byte longer than its offer: not a
    byte past the offered size is written, and the file, offered again at its true size (as
    content.0, the peer's own name for it), arrives whole."""
    v = Verdict()
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-E", "1", "-X", "-z", "../a.log", "-d", "dl/"], c.a)
    peer = h.end("b", Config.peer, ["longframe", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the receiver")
    v.need("does not hold the bytes offered" in victim.stderr(), "the receiver did not say why")
    content = read(h.path("b", "content.0")) or b""
    v.need(size_of(h.path("a", "dl", "long.bin")) <= 1000, "a byte past the offered size was written")
    v.need(read(h.path("a", "dl", "content.0")) == content, "not whole after its second offer")
    v.claimed(content, h.path("a", "dl", "long.bin"), [logged(h.path("a.log"), "S", "dl/long.bin")])
    v.claimed(content, h.path("a", "dl", "content.0"), [logged(h.path("a.log"), "S", "dl/content.0")])
    return v


def false_claims_case(h, seed):
    """A peer announces compression and whole-file checks but speaks the basic protocol: it
    reads the extended offer as a 0-byte file and confirms at once. That "c" came before the
    file's last byte left: not confirmed, not deleted by -y, not logged as sent, and said.
    Odd runs with --no-compress."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "doc"), 30000, seed)
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    flags = ["--no-compress"] if seed % 2 == 1 else []
    victim = h.end("a", kestro(), ["-E", "1", "-y", "-X", "-z", "../a.log", *flags, "doc"], c.a)
    peer = h.end("b", Config.peer, ["claims", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the sender")
    v.need(victim.code == 2, f"the sender exited {victim.code}, not 2 (the upload outstanding)")
    if read(h.path("a", "doc")) != src:
        v.faults.append("-y deleted a file the peer never had")
        v.lost += len(src)
    v.need(not logged(h.path("a.log"), "s", "doc"), "the file was logged as sent")
    v.need("before its last byte was sent" in victim.stderr(), "the sender did not say why")
    return v


def no_room_case(h, seed):
    """The download directory is a 64 KiB file system and a 256 KiB file is offered (sender
    with -y): it is refused at once, with the reason at both ends, nothing of it written; the
    small file behind it arrives."""
    v = Verdict()
    big = make_file(h.path(h.dir("a"), "big"), 256 * 1024, seed)
    small = make_file(h.path("a", "small"), 4096, seed + 1)
    h.mount_tmpfs(h.path("b", "small-fs"), "size=64k")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-y", "-z", "../a.log", "big", "small"],
                     ["-E", "1", "-X", "-z", "../b.log", "-d", "small-fs/"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.need(read(h.path("a", "big")) == big, "-y deleted the refused file")
    v.need(not os.path.exists(h.path("b", "small-fs", "big")), "the file too large was begun")
    v.need(read(h.path("b", "small-fs", "small")) == small, "the small file did not arrive")
    v.need("no room for" in b.stderr(), "the receiver did not say why")
    v.need("Not completed: big (No room for the file)" in a.stderr(), "the sender did not say why")
    v.need(a.code == 2 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.claimed(small, h.path("b", "small-fs", "small"),
              transfer_claims(h, "small", h.path("a.log"), h.path("b.log"), "small-fs/small"))
    return v


def reoffer_e0_case(h, seed):
    """-E 0 at both ends; the receiver's file-size limit breaks the first of two files, and
    the abort exchange drops both: the second is offered again, and the receiver waits for it
    instead of ending first."""
    v = Verdict()
    big = make_file(h.path(h.dir("a"), "big"), Config.size, seed)
    small = make_file(h.path("a", "small"), 4096, seed + 1)
    h.dir("b")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "0", "-z", "../a.log", "big", "small"],
                     ["-E", "0", "-X", "-z", "../b.log"], fsize_b=Config.size // 2)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.orderly(b, "the receiver")
    v.need(read(h.path("b", "small")) == small, "the file offered again did not arrive")
    v.claimed(small, h.path("b", "small"), transfer_claims(h, "small", h.path("a.log"), h.path("b.log")))
    v.claimed(big, h.path("b", "big"), transfer_claims(h, "big", h.path("a.log"), h.path("b.log")))
    return v


def cp437_names_case(h, seed):
    """A peer that announces nothing offers names in code page 437 ("caf\x82.txt", "\x9bent"):
    they are stored, logged and shown as UTF-8 ("café.txt", "¢ent")."""
    v = Verdict()
    h.dir("a", "dl")
    c = h.cable(["--baud", "115200"])
    victim = h.end("a", kestro(), ["-E", "1", "-z", "../a.log", "-d", "dl/"], c.a)
    peer = h.end("b", Config.peer, ["cp437", "../results"], c.b)
    v.need(wait_ends([victim, peer]), "the ends did not finish")
    v.orderly(victim, "the receiver")
    for n, name in enumerate(["café.txt", "¢ent"]):
        content = read(h.path("b", f"content.{n}")) or b""
        v.need(read(h.path("a", "dl", name)) == content, f"{name} not stored whole under its UTF-8 name")
        v.need(logged(h.path("a.log"), "S", "dl/" + name), f"{name} not logged as UTF-8")
        v.claimed(content, h.path("a", "dl", name), [logged(h.path("a.log"), "S", "dl/" + name)])
    bad = forbidden_text(read(h.path("a.log")) or b"")
    v.need(bad is None, f"{bad} in the log")
    return v


def dangling_temporary_case(h, seed):
    """The receiver holds a shorter file of the name with other bytes, and a dangling link
    stands where the new file would go: NAME.kestro-new with -o (even runs), NAME.0 with -R
    (odd runs). The next free name is taken; nothing is created through the link."""
    v = Verdict()
    rename = seed % 2 == 1
    src = make_file(h.path(h.dir("a"), "doc"), Config.size, seed)
    old = make_file(h.path(h.dir("b"), "doc"), Config.size // 4, seed + 1)
    h.dir("outside")
    os.symlink("../outside/new", h.path("b", "doc.0" if rename else "doc.kestro-new"))
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", "doc"],
                     ["-E", "1", "-X", "-z", "../b.log", "-R" if rename else "-o"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.need(not os.path.exists(h.path("outside", "new")), "a file was created through the dangling link")
    stored = "doc.1" if rename else "doc"
    v.need(read(h.path("b", stored)) == src, f"not stored whole as {stored}")
    if rename:
        v.untouched(h.path("b", "doc"), old)
    v.claimed(src, h.path("b", stored), [logged(h.path("b.log"), "S", stored)])
    return v


def long_name_case(h, seed):
    """-o replaces a file whose name is 250 bytes long (NAME.kestro-new would pass 255)."""
    v = Verdict()
    name = "n" * 250
    src = make_file(h.path(h.dir("a"), name), Config.size, seed)
    make_file(h.path(h.dir("b"), name), Config.size // 4, seed + 1)
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", name],
                     ["-E", "1", "-o", "-z", "../b.log"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.need(read(h.path("b", name)) == src, "not replaced by the whole file")
    v.need(sorted(os.listdir(h.path("b"))) == [name], "a temporary file was left")
    v.claimed(src, h.path("b", name), transfer_claims(h, name, h.path("a.log"), h.path("b.log")))
    return v


def stale_temporary_case(h, seed):
    """kill -9 of a receiver that replaces a file (-o) mid-file leaves its temporary; the next
    run, replacing the same name, removes it and replaces the file."""
    v = Verdict()
    src = make_file(h.path(h.dir("a"), "doc"), Config.size, seed)
    make_file(h.path(h.dir("b"), "doc"), Config.size // 4, seed + 1)
    env = {"KESTRO_CLOCK_RATE": "5"}
    _, a, b = h.pair(["--baud", "38400"], ["-E", "1", "-z", "../a.log", "doc"], ["-E", "1", "-o", "-z", "../b.log"],
                     binary=fastclock(), env=env)
    if not v.need(wait_until(lambda: size_of(h.path("b", "doc.kestro-new")) >= Config.size * 0.2, 60),
                  "the temporary never grew"):
        return v
    b.signal(signal.SIGKILL)
    v.need(wait_ends([a, b], 60), "the sender did not leave")
    v.need(os.path.exists(h.path("b", "doc.kestro-new")), "no temporary left by the killed run")
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a2.log", "doc"], ["-E", "1", "-o", "-z", "../b2.log"])
    v.need(wait_ends([a, b]), "the second run did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    v.need(read(h.path("b", "doc")) == src, "not replaced by the whole file")
    v.need(sorted(os.listdir(h.path("b"))) == ["doc"], "the left-over temporary stayed")
    v.claimed(src, h.path("b", "doc"), transfer_claims(h, "doc", h.path("a2.log"), h.path("b2.log")))
    return v


def pre_1970_case(h, seed):
    """--times: files of 1960, 1970 and 2400 arrive with their own modification times."""
    v = Verdict()
    h.dir("b")
    times = {"old": -300000000, "epoch": 0, "far": 13569465600}
    sources = {}
    for i, (name, t) in enumerate(times.items()):
        sources[name] = make_file(h.path(h.dir("a"), name), 4096, seed + i)
        os.utime(h.path("a", name), (t, t))
    _, a, b = h.pair(["--baud", "115200"], ["-E", "1", "-z", "../a.log", *times], ["-E", "1", "--times", "-z", "../b.log"])
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.need(a.code == 0 and b.code == 0, f"exit codes {a.code} and {b.code}")
    for name, t in times.items():
        v.need(read(h.path("b", name)) == sources[name], f"{name} did not arrive")
        got = os.stat(h.path("b", name)).st_mtime if os.path.exists(h.path("b", name)) else None
        v.need(got == t, f"{name} has the time {got}, not {t}")
        v.claimed(sources[name], h.path("b", name), transfer_claims(h, name, h.path("a.log"), h.path("b.log")))
    return v


def raw_local_names_case(h, seed):
    """Local files named with ESC, BEL and a line feed, which cannot be sent (a FIFO, a missing
    name, an unreadable file): what the sender says of them on standard error is filtered as
    its summary is (no title sequence, no forged "kestro:" line)."""
    v = Verdict()
    os.chmod(h.work, 0o755)
    folder = h.dir("a")
    evil = "t\x1b]0;owned\x07\nkestro: forged"
    os.mkfifo(os.path.join(folder, evil + "-fifo"))
    make_file(os.path.join(folder, evil + "-locked"), 100, seed)
    os.chmod(os.path.join(folder, evil + "-locked"), 0)
    good = make_file(os.path.join(folder, "good"), 4096, seed + 1)
    os.chown(folder, NOBODY, NOBODY)
    h.dir("b")
    c = h.cable(["--baud", "115200"])
    a = h.end("a", kestro(), ["-E", "1", "-X", "-z", "a.log", evil + "-fifo", evil + "-missing",
                              evil + "-locked", "good"], c.a, user=NOBODY)
    b = h.end("b", kestro(), ["-E", "1", "-z", "../b.log"], c.b)
    v.need(wait_ends([a, b]), "the ends did not finish")
    v.orderly(a, "the sender")
    v.need(read(h.path("b", "good")) == good, "the plain file did not arrive")
    err = read(a.err) or b""
    bad = forbidden_text(err)
    v.need(bad is None, f"{bad} on standard error")
    v.need(b"\nkestro: forged" not in err, "a forged kestro: line on standard error")
    v.need(err.count(b"t?]0;owned??kestro: forged") >= 3, "the names are not shown, filtered")
    return v


# name: (what is done, run function, runs in --quick)
CASES = {
    "noise-corrupt-1e-4": ("115200 baud, 1 byte in 10,000 changed, files both ways", noise_case(["--corrupt", "0.0001"]), 1),
    "noise-corrupt-1e-3": ("115200 baud, 1 byte in 1,000 changed, files both ways", noise_case(["--corrupt", "0.001"]), 1),
    "noise-bursts": ("115200 baud, bursts of 8 changed bytes at 1 in 10,000", noise_case(["--corrupt", "0.0001", "--burst", "8"]), 1),
    "noise-drop-1e-4": ("115200 baud, 1 byte in 10,000 lost", noise_case(["--drop", "0.0001"]), 1),
    "noise-insert-1e-4": ("115200 baud, 1 stray byte per 10,000", noise_case(["--insert", "0.0001"]), 1),
    "kill-9": ("kill -9 of the receiver or the sender mid-file, then a resuming run", kill9_case, 2),
    "disk-full": ("the download directory's file system fills up mid-file (sender with -y), then a resume", disk_full_case, 1),
    "file-size-limit": ("the receiver runs under RLIMIT_FSIZE of half the file, then a resume", fsize_case, 1),
    "unwritable-dir": ("the download directory is a read-only file system (sender with -y)", unwritable_dir_case, 1),
    "hostile-names": ("a peer offers ../, absolute, control-byte, 250/300-byte names, negative and 2 GiB sizes", hostile_names_case, 1),
    "flood": ("a peer floods offers of small files, requests of missing names and chat", flood_case, 1),
    "frozen-short": ("the sender is stopped (SIGSTOP) for 3 s mid-file", freeze_case(3, False), 1),
    "frozen-long": ("the sender is stopped until the receiver's silence time-out ends it (fast clock), then a resume", freeze_case(0, True), 1),
    "planted-links": ("symbolic, hard and dangling links under offered names; with and without -R", planted_links_case, 2),
    "served-symlink": ("a symbolic link to a file outside in a served (-r) directory is requested", served_symlink_case, 1),
    "hang-up": ("the line hangs up mid-file (the cable is killed), then a resume", hangup_case, 1),
    "sigterm-sender": ("SIGTERM to the sender mid-file, then a resume", sigterm_case("sender"), 1),
    "sigterm-receiver": ("SIGTERM to the receiver mid-file, then a resume", sigterm_case("receiver"), 1),
    "self-offer": ("both ends send a file of the same name (offered the name of its own upload); with and without -R", self_offer_case, 2),
    "unrelated-prefix": ("the receiver holds a shorter file of the name with other bytes; with and without -o", taken_prefix_case(False), 2),
    "equal-size-other": ("the receiver holds a file of the name and size with other bytes; with and without -o", taken_prefix_case(True), 2),
    "changed-while-sent": ("the sender's file is rewritten in place (same size) while it is sent", changed_while_sent_case, 1),
    "digest-forced-wrong": ("a test build sends wrong digests: once, then twice (a resumed file)", wrong_digest_case, 2),
    "y-grown": ("-y, the file being sent grows mid-file", y_changed_case("grown"), 1),
    "y-replaced": ("-y, the file being sent is replaced by mv mid-file", y_changed_case("replaced"), 1),
    "y-same-size": ("-y, the receiver has an unrelated file of the same name and size", y_same_size_case, 1),
    "received-deleted": ("the file being received is deleted mid-file (sender with -y)", received_vanished_case("file"), 1),
    "received-dir-removed": ("the download directory is removed mid-file (sender with -y)", received_vanished_case("directory"), 1),
    "log-name": ("the peer offers the name of our transfer log (in the download directory) holding forged lines; with and without -o", log_name_case, 2),
    "sighup-door": ("two SIGHUPs to a door-mode sender mid-file (no -t), then a resume; started under nohup", sighup_door_case, 2),
    "sighup-device": ("two SIGHUPs to a device-mode sender in a terminal mid-file (no -t), then a resume", device_leaves_case("sighup"), 1),
    "terminal-closed": ("the terminal of a device-mode sender is closed mid-file, then a resume", device_leaves_case("closed"), 1),
    "suspend-70s": ("Ctrl+Z, or SIGTSTP, in a device-mode sender mid-file, stopped for 70 s, then SIGCONT", suspend_case, 2),
    "door-two-pipes": ("`true | kestro -c -E 1 | cat`: a door whose line is two pipes", door_pipes_case, 1),
    "banner-escape": ("the peer's banner holds a window title and a terminal reset (device mode)", banner_case, 1),
    "raw-names": ("the peer offers names with C1 controls (raw, UTF-8), DEL, U+202E, U+2066, U+061C, and euro€", raw_names_case, 1),
    "chat-escape": ("the peer's chat lines hold ESC[K and unfinished escape sequences (device mode)", chat_escape_case, 1),
    "unreadable-upload": ("one file of three in an upload batch cannot be read", unreadable_upload_case, 1),
    "lock-unnumbered": ("lock files with no number: fresh and empty, old garbage with the port held, old garbage", lock_case, 1),
    "exit-broken-download": ("a download breaks (file-size limit), a later one arrives: the receiver's exit code", broken_download_exit_case, 1),
    "exit-missing-uploads": ("named uploads not found or too large (3 GiB) beside one sent: the sender's exit code", missing_uploads_exit_case, 1),
    "false-claims": ("a peer announces compression and whole-file checks but speaks the basic protocol (-y); with and without --no-compress", false_claims_case, 2),
    "short-file": ("a peer offers 1,000 bytes more than it sends and waits for \"c\"", short_file_case, 1),
    "frame-one-byte-long": ("a peer that announces compression sends a frame one byte longer than offered", long_frame_case, 1),
    "no-room": ("a 256 KiB file offered to a 64 KiB download file system (sender with -y), a small one behind it", no_room_case, 1),
    "reoffer-E0": ("-E 0 at both ends, the first of two files breaks (file-size limit): the second comes again", reoffer_e0_case, 1),
    "cp437-names": ("a peer that announces nothing offers names in code page 437", cp437_names_case, 1),
    "dangling-temporary": ("a dangling link under NAME.kestro-new (-o) or NAME.0 (-R) beside a file to replace", dangling_temporary_case, 2),
    "long-name-o": ("-o replaces a file whose name is 250 bytes long", long_name_case, 1),
    "stale-temporary": ("kill -9 of a receiver mid-file with -o, then a run that replaces the same name", stale_temporary_case, 1),
    "pre-1970-times": ("--times with files of 1960, 1970 and 2400", pre_1970_case, 1),
    "raw-local-names": ("local names holding ESC, BEL and a line feed that cannot be sent (FIFO, missing, unreadable)", raw_local_names_case, 1),
}


def run_case(name):
    what, run, quick_runs = CASES[name]
    runs = Config.runs or (5 if Config.long else quick_runs)
    results = []
    for i in range(runs):
        began = time.monotonic()
        h = Harness(name)
        try:
            v = run(h, i)
        except Exception as error:  # a broken harness is a failed run, not a crash of the campaign
            v = Verdict()
            v.faults.append(f"campaign error: {error}")
        finally:
            h.close()
        results.append(v)
        print(f"  {name} run {i + 1} ({time.monotonic() - began:.0f} s): "
              f"{'held' if not v.faults else '; '.join(v.faults)}", file=sys.stderr)
    return what, results


def git_revision():
    try:
        return subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def outcome(results):
    failed = [v for v in results if v.faults]
    notes = [v.note for v in results if v.note]
    if not failed:
        return "held" + (f" ({notes[-1]})" if notes else "")
    return f"FAILED {len(failed)} of {len(results)}: " + "; ".join(failed[0].faults)


def merged_report(rows, path, elapsed):
    """The report at `path` with the rows of the cases run now put in (replaced or added), and
    a line that says which rows are of this run."""
    with open(path) as f:
        old = f.read().splitlines()
    fresh = {name: f"| {name} | {what} | {len(results)} | {outcome(results)} | {sum(v.lost for v in results)} |"
             for name, what, results in rows}
    lines = []
    for line in old:
        name = line.split("|")[1].strip() if line.startswith("| ") else None
        if line.startswith("Rows ") and "run again" in line:
            continue
        lines.append(fresh.pop(name) if name in fresh else line)
        if line.startswith("Run "):
            lines.append(f"Rows {', '.join(n for n, _, _ in rows)}: run again "
                         f"{datetime.date.today().isoformat()} on commit {git_revision()}, "
                         f"{'--long' if Config.long else '--quick'}, {elapsed:.0f} s.")
    lines.extend(fresh.values())
    return "\n".join(lines) + "\n"


def write_report(rows, path, elapsed, update=False):
    if update and os.path.exists(path):
        text = merged_report(rows, path, elapsed)
        with open(path, "w") as f:
            f.write(text)
        print(text)
        return
    lines = [
        "# Reliability: the fault campaign",
        "",
        "Written by `bench/faults.py` (run by hand, as root, never in CI); do not edit by hand.",
        f"Run {datetime.date.today().isoformat()} on commit {git_revision()}, "
        f"{'--long' if Config.long else '--quick'} ({Config.size // 1024} KiB files), {elapsed:.0f} s.",
        "",
        "Two ends over `tools/nullmodem`, in door mode, or in device mode where a terminal matters",
        "(in tmux); the bench's `hostile_peer` plays the rule-breaking peer, and the unreadable",
        "file's sender runs as `nobody`. Bytes lost: bytes of files an end claimed done (a sender's 's' log line, a",
        "receiver's 'S' line, a sent file deleted by -y) that the receiver does not hold intact,",
        "plus bytes changed in files that must never be written (outside the download directory,",
        "our own uploads). Where a run breaks a file off, a second run resumes it and compares it",
        "byte for byte.",
        "",
        "| case | what is done | runs | outcome | bytes lost |",
        "|---|---|---|---|---|",
    ]
    for name, what, results in rows:
        lost = sum(v.lost for v in results)
        lines.append(f"| {name} | {what} | {len(results)} | {outcome(results)} | {lost} |")
    text = "\n".join(lines) + "\n"
    with open(path, "w") as f:
        f.write(text)
    print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--long", action="store_true", help="five runs a case, 256 KiB files")
    parser.add_argument("--quick", action="store_true", help="the default: one or two runs, 32 KiB files")
    parser.add_argument("--runs", type=int, default=0, help="runs of every case")
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "reliability.md"))
    parser.add_argument("--keep", action="store_true", help="keep each run's work directory")
    parser.add_argument("--update", action="store_true",
                        help="put the rows of the cases run into the report at --out, keep the others")
    parser.add_argument("--peer", help="the hostile peer program (default: the build's bench/hostile_peer)")
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    Config.build = os.path.abspath(args.build)
    Config.peer = os.path.abspath(args.peer or os.path.join(Config.build, "bench", "hostile_peer"))
    Config.long = args.long
    Config.size = 256 * 1024 if args.long else 32 * 1024
    Config.runs = args.runs
    Config.keep = args.keep
    for name in args.cases:
        if name not in CASES:
            parser.error(f"no case {name}; cases: {' '.join(CASES)}")
    for binary in (kestro(), fastclock(), trace_build(), os.path.join(Config.build, "tools", "nullmodem"),
                   Config.peer):
        if not os.access(binary, os.X_OK):
            parser.error(f"{binary} is not built (cmake --build {args.build} -j2)")
    if os.geteuid() != 0:
        parser.error("run as root: the disk cases mount small tmpfs file systems")
    start = time.monotonic()
    rows = []
    for name in args.cases:
        print(f"{name}:", file=sys.stderr)
        what, results = run_case(name)
        rows.append((name, what, results))
    write_report(rows, args.out, time.monotonic() - start, args.update)
    return 0 if all(not v.faults for _, _, results in rows for v in results) else 1


if __name__ == "__main__":
    sys.exit(main())
