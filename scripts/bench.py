#!/usr/bin/env python3
"""Efficiency benchmark of serbolt, measured beside its peers in one run.

    scripts/bench.py BUILD_DIR [ROW...]   (scripts/bench builds BUILD_DIR and calls this; ROW
                                          numbers pick some rows only)

Seven measurements, each printed as one row of one table with its peer, its goal and a verdict:

1. line-rate upload of 1 MiB into korvan-sim --rate 92160: serbolt's CPU share of its wall time
   (beside cat pushing the same file into an equally throttled --sink);
2. unthrottled upload of the largest accepted file (10,485,758 bytes): serbolt's wall time less
   the protocol's fixed windows, as a ratio to cat pushing the same file into a --sink;
3. idle terminal on a quiet line for 10 s: CPU share, beside picocom;
4. 1 MiB of device output at line rate into the terminal: every byte on standard output in order,
   and the CPU share beside picocom's on the same stream;
5. key to wire: median time from a key written to the terminal's input until its byte reaches
   the simulator (the simulator's --record time stamps), beside picocom;
6. serbolt2 under Wine, key to wire: keys typed into its console (the test helper serbolt2_keys
   types each byte it reads as a key), beside the plainest key loop (_kbhit every millisecond);
7. serbolt2 under Wine, device output at line rate into the terminal: CPU share while the
   stream runs, beside a plain reader of 4 KB blocks.
Rows 6 and 7 need mingw-w64 and Wine (scripts/install-deps installs both); without them they are
not measured.

Every program runs on pseudo-terminals as it would in a real console: the terminal programs get
a pty as standard input, output and error and as their controlling terminal, whose foreground job
they are (its output processing switched off, so what arrives on the master is exactly what the
program wrote), and talk to a simulator of their own.
CPU time is the child's rusage (user + system) from wait4; wall time runs from the spawn to the
exit seen on a pidfd. Every wait has a time limit; every process started here is ended on exit.
"""

import atexit
import os
import platform
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

# ---- what is measured ----------------------------------------------------------------------

LINE_RATE = 92160                      # bytes per second of 921600 baud, 8N1
RATE_FILE_SIZE = 1024 * 1024           # row 1
MAX_UPLOAD = 10485758                  # row 2: the largest file serbolt accepts
UPLOAD_RUNS = 7                        # row 2: runs of each kind; the medians are compared
IDLE_SECONDS = 10.0                    # row 3
STREAM_BYTES = 1024 * 1024             # row 4
STREAM_DELAY_MS = 500                  # row 4: both terminals are up before the stream starts
KEY_COUNT = 50                         # row 5
KEY_GAP_S = 0.030                      # row 5: pause between keys (plus a little jitter)

GOAL_RATE_CPU = 1.0                    # percent
GOAL_UPLOAD_RATIO = 1.5
GOAL_IDLE_CPU = 0.2                    # percent
GOAL_KEY_MS = 5.0
WINE_KEY_COUNT = 60                    # row 6, per program
WINE_STREAM_BYTES = 1024 * 1024        # row 7, per run
WINE_STREAM_RUNS = 3                   # row 7: runs of each program, interleaved; CPU tick is 10 ms
GOAL_WINE_KEY_MS = 10.0
GOAL_WINE_CPU_RATIO = 1.5              # serbolt2's CPU share / the plain reader's

# serbolt's own waits that every upload spends by design, whatever the file's size (in
# serbolt/serbolt.cpp: CONNECT_PAUSE_US, FLUSH_MIN_MS, PACE_US, CHAR_WINDOW_MS and
# SHOW_AFTER_UPLOAD_SECONDS). Change them here when serbolt changes them: row 2 measures the
# windows with a 1-byte upload and only prints their sum beside that figure.
CONNECT_PAUSE_S = 0.010                # pause after opening the line
FLUSH_MIN_S = 0.100                    # stale input is discarded for at least this long
PACE_S = 0.001                         # pause after each byte of a paced command
CHAR_WINDOW_S = 0.100                  # a quiet line this long ends a reply
SHOW_AFTER_UPLOAD_S = 0.3              # the device's output shown after the upload

# The pause after connecting, the stale-input discard, the paced filecopy command (each byte: the
# pause and about 0.1 ms for its drain), the quiet windows after the Ready reply, after the two
# upload lines and after the Data received reply, and the display after the upload.
FIXED_WINDOWS_S = (CONNECT_PAUSE_S + FLUSH_MIN_S
                   + len(b"filecopy\n") * (PACE_S + 0.0001)
                   + 3 * CHAR_WINDOW_S
                   + SHOW_AFTER_UPLOAD_S)

# The text of each of korvan-sim's --stream lines (STREAM_TEXT in sim/loop.cpp).
STREAM_TEXT = b"abcdefghijklmnopqrstuvwxyz0123456789"
EXIT_SERBOLT = b"x"
EXIT_PICOCOM = b"\x01\x18"             # C-a C-x
KEYS = b"abcdefghijklmnopqrstuvw"      # no 'x', no line end: the sim's console stays quiet

SPAWN_TIMEOUT = 5.0
UPLOAD_TIMEOUT = 60.0
STREAM_TIMEOUT = 60.0
EXIT_TIMEOUT = 10.0


class BenchError(Exception):
    pass


# ---- processes -----------------------------------------------------------------------------

_children = {}          # pid -> Proc, every process started here and not yet reaped
_devnull = os.open(os.devnull, os.O_RDWR)


class Proc:
    """A child started with posix_spawn in a session of its own; reaped with its rusage.

    With ctty, the terminal on its standard input becomes the session's controlling terminal and
    the child its foreground job, as in a shell: util-linux's `setsid --ctty` makes the session
    and then becomes the program (same process, so the rusage is the program's)."""

    def __init__(self, argv, stdin=None, stdout=None, stderr=None, ctty=False, env=None):
        self.name = os.path.basename(argv[0])
        actions = []
        for target, fd in ((0, stdin), (1, stdout), (2, stderr)):
            actions.append((os.POSIX_SPAWN_DUP2, _devnull if fd is None else fd, target))
        if ctty:
            argv = [SETSID, "--ctty"] + list(argv)
        self.start = time.monotonic()
        self.pid = os.posix_spawn(argv[0], argv, env or os.environ, file_actions=actions,
                                  setsid=not ctty)
        _children[self.pid] = self
        self.pidfd = os.pidfd_open(self.pid)
        self.end = None
        self.status = None
        self.cpu = None

    def running(self):
        return self.status is None and not select.select([self.pidfd], [], [], 0)[0]

    def wait(self, timeout):
        """Waits for the exit; returns the exit status (128+N for a signal)."""
        if self.status is None:
            if not select.select([self.pidfd], [], [], timeout)[0]:
                self.kill()
                raise BenchError(f"{self.name} did not end within {timeout:.0f} s")
            self._reap()
        return self.status

    def _reap(self):
        self.end = time.monotonic()
        _, status, usage = os.wait4(self.pid, 0)
        _children.pop(self.pid, None)
        os.close(self.pidfd)
        self.status = os.waitstatus_to_exitcode(status)
        if self.status < 0:
            self.status = 128 - self.status
        self.cpu = usage.ru_utime + usage.ru_stime

    def kill(self, sig=signal.SIGKILL):
        if self.status is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass
            if sig == signal.SIGKILL:
                self._reap()

    @property
    def wall(self):
        return self.end - self.start

    def share(self):
        """CPU time as a share of wall time, in percent."""
        return 100.0 * self.cpu / self.wall


def _cleanup():
    for proc in list(_children.values()):
        try:
            proc.kill()
        except OSError:
            pass


def _on_signal(signum, _frame):
    raise KeyboardInterrupt(f"signal {signum}")


# ---- the simulator --------------------------------------------------------------------------

class Sim:
    """korvan-sim on a pseudo-terminal of its own; `slave` is the line a host opens."""

    def __init__(self, tmp, name, *options):
        self.dir = os.path.join(tmp, name)
        os.makedirs(self.dir)
        self.store = os.path.join(self.dir, "store")
        self.log = os.path.join(self.dir, "log")
        rd, wr = os.pipe()
        log = os.open(self.log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            self.proc = Proc([SIM, "--store", self.store, *options], stdout=wr, stderr=log)
        finally:
            os.close(wr)
            os.close(log)
        try:
            self.slave = _read_line(rd, SPAWN_TIMEOUT).decode()
        finally:
            os.close(rd)
        if not self.slave.startswith("/dev/"):
            self.stop()
            raise BenchError(f"korvan-sim {' '.join(options)} did not start: {self.slave!r}")

    def stop(self):
        if self.proc.status is None:
            self.proc.kill(signal.SIGTERM)
            try:
                self.proc.wait(EXIT_TIMEOUT)
            except BenchError:
                pass

    def stored(self, dest):
        with open(os.path.join(self.store, dest), "rb") as f:
            return f.read()


def _read_line(fd, timeout):
    line = b""
    end = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        line += chunk
    return line.strip()


# ---- a console: a pseudo-terminal as a program's standard streams ---------------------------

class Console:
    """A pty whose slave becomes a program's stdin, stdout and stderr; a thread collects
    everything the program writes. Output processing is off, so the bytes are the program's."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        attrs = termios.tcgetattr(self.slave)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        self.data = bytearray()
        self.ended = False
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:          # EIO: every slave descriptor is closed
                chunk = b""
            with self.cond:
                if not chunk:
                    self.ended = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def run(self, argv):
        """Starts argv on this console; our own slave descriptor stays open until ready()."""
        return Proc(argv, stdin=self.slave, stdout=self.slave, stderr=self.slave, ctty=True)

    def wait_for(self, pred, timeout, what):
        with self.cond:
            if not self.cond.wait_for(lambda: pred(self.data) or self.ended, timeout) \
                    or not pred(self.data):
                raise BenchError(f"no {what} within {timeout:.0f} s")

    def wait_raw(self, proc, timeout):
        """Waits until the program has switched its input out of canonical mode."""
        end = time.monotonic() + timeout
        while termios.tcgetattr(self.slave)[3] & termios.ICANON:
            if not proc.running():
                raise BenchError(f"{proc.name} ended at start: {bytes(self.data)[-200:]!r}")
            if time.monotonic() > end:
                raise BenchError(f"{proc.name} did not take its terminal within {timeout:.0f} s")
            time.sleep(0.005)

    def release(self):
        """Closes our slave descriptor, so the master reports the end once the program exits."""
        if self.slave is not None:
            os.close(self.slave)
            self.slave = None

    def send(self, data):
        os.write(self.master, data)

    def output(self, timeout=EXIT_TIMEOUT):
        """Everything the program wrote, once it has ended."""
        self.release()
        self.thread.join(timeout)
        with self.cond:
            return bytes(self.data)

    def close(self):
        self.release()
        self.thread.join(EXIT_TIMEOUT)
        if self.master is not None:
            os.close(self.master)
            self.master = None


def terminal(program, line):
    """The argv of a terminal program on the serial line `line`."""
    if program == "serbolt":
        return [SERBOLT, "-d", line]
    return [PICOCOM, "-b", "921600", "--nolock", "--noreset", line]


def exit_key(program):
    return EXIT_SERBOLT if program == "serbolt" else EXIT_PICOCOM


def start_terminal(program, line):
    console = Console()
    proc = console.run(terminal(program, line))
    try:
        console.wait_raw(proc, SPAWN_TIMEOUT)
    except BenchError:
        proc.kill()
        console.close()
        raise
    return console, proc


def kill_terminals(terms):
    """Ends whatever terminal of a row is still running (after a failure) and its console."""
    for console, proc in terms.values():
        proc.kill()
        console.close()


def end_terminal(program, console, proc):
    console.release()
    console.send(exit_key(program))
    status = proc.wait(EXIT_TIMEOUT)
    out = console.output()
    console.close()
    if status != 0:
        raise BenchError(f"{program} ended with status {status}")
    return out


# ---- files -----------------------------------------------------------------------------------

def make_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n
    with open(path, "rb") as f:
        return f.read()


def stream_text(size):
    """What korvan-sim --stream N sends: numbered lines, cut at exactly N bytes."""
    out = bytearray()
    i = 0
    while len(out) < size:
        i += 1
        out += b"stream %06d %s\r\n" % (i, STREAM_TEXT)
    return bytes(out[:size])


def load_record(path):
    """The sim's record file, laid out as sim/record.h describes it: per read, 8-byte ns,
    4-byte length, the bytes (native byte order)."""
    with open(path, "rb") as f:
        raw = f.read()
    chunks, pos = [], 0
    while len(raw) - pos >= 12:
        t_ns, n = struct.unpack_from("=QI", raw, pos)
        if len(raw) - pos - 12 < n:
            break
        chunks.append((t_ns, raw[pos + 12:pos + 12 + n]))
        pos += 12 + n
    return chunks


# ---- the rows --------------------------------------------------------------------------------

def upload(sim, path, dest, console_timeout=UPLOAD_TIMEOUT):
    """One serbolt upload on a console of its own. Returns the finished Proc."""
    console = Console()
    proc = console.run([SERBOLT, "-d", sim.slave, "-a", "1", "-i", path, "-o", dest])
    console.release()
    try:
        status = proc.wait(console_timeout)
        out = console.output()
    finally:
        console.close()
    if status != 0 or b"Data sent." not in out:
        tail = out[-300:].decode(errors="replace")
        raise BenchError(f"upload of {os.path.basename(path)} failed (status {status}): {tail!r}")
    return proc


def cat_into(path, line, timeout):
    """cat pushing a file into the line; returns the finished Proc."""
    fd = os.open(line, os.O_WRONLY | os.O_NOCTTY)
    try:
        proc = Proc([CAT, path], stdout=fd)
    finally:
        os.close(fd)
    status = proc.wait(timeout)
    if status != 0:
        raise BenchError(f"cat ended with status {status}")
    return proc


def pct(x):
    return f"{x:.3f} %" if x < 0.1 else f"{x:.2f} %"


def row_rate(tmp):
    data = make_file(os.path.join(tmp, "one-mib.bin"), RATE_FILE_SIZE)
    path = os.path.join(tmp, "one-mib.bin")
    sim = Sim(tmp, "rate", "--rate", str(LINE_RATE))
    sink = Sim(tmp, "rate-sink", "--rate", str(LINE_RATE), "--sink")
    try:
        # Side by side: cat runs in a thread while serbolt uploads.
        ref = {}
        def run_cat():
            try:
                ref["proc"] = cat_into(path, sink.slave, UPLOAD_TIMEOUT)
            except BenchError as e:
                ref["error"] = e
        t = threading.Thread(target=run_cat, daemon=True)
        t.start()
        proc = upload(sim, path, "rate.bin")
        t.join(UPLOAD_TIMEOUT)
        if sim.stored("rate.bin") != data:
            raise BenchError("the stored file differs from the one sent")
    finally:
        sim.stop()
        sink.stop()
    share = proc.share()
    if "proc" in ref:
        c = ref["proc"]
        peer = f"{pct(c.share())} ({c.cpu * 1000:.0f} ms / {c.wall:.1f} s)"
    else:
        peer = f"not measured: {ref.get('error', 'cat did not end')}"
    return dict(
        what="Line-rate upload, 1 MiB into `korvan-sim --rate 92160`: CPU (user+sys) / wall",
        ours=f"{pct(share)} ({proc.cpu * 1000:.0f} ms / {proc.wall:.1f} s)",
        peer="`cat` into `--rate 92160 --sink`", peer_figure=peer,
        goal="< 1 %", met=share < GOAL_RATE_CPU,
        note=f"1: stored copy identical ({RATE_FILE_SIZE:,} bytes); serbolt and cat ran at the "
             "same time, each into a simulator of its own.")


def row_unthrottled(tmp):
    big_path = os.path.join(tmp, "largest.bin")
    tiny_path = os.path.join(tmp, "tiny.bin")
    big = make_file(big_path, MAX_UPLOAD)
    make_file(tiny_path, 1)
    sim = Sim(tmp, "upload")
    sink = Sim(tmp, "upload-sink", "--sink")
    walls_big, walls_tiny, walls_cat, cpus_big = [], [], [], []
    try:
        for i in range(UPLOAD_RUNS):
            dest = f"largest-{i}.bin"
            proc = upload(sim, big_path, dest)
            walls_big.append(proc.wall)
            cpus_big.append(proc.cpu)
            if sim.stored(dest) != big:
                raise BenchError("the stored file differs from the one sent")
            os.unlink(os.path.join(sim.store, dest))
            walls_tiny.append(upload(sim, tiny_path, "tiny.bin").wall)
            walls_cat.append(cat_into(big_path, sink.slave, UPLOAD_TIMEOUT).wall)
    finally:
        sim.stop()
        sink.stop()
    w_big = statistics.median(walls_big)
    w_tiny = statistics.median(walls_tiny)
    w_cat = statistics.median(walls_cat)
    net = w_big - w_tiny
    ratio = net / w_cat
    return dict(
        what="Unthrottled upload of 10,485,758 bytes through a pty: (wall − fixed windows) / cat",
        ours=f"{ratio:.2f} ({w_big:.3f} s − {w_tiny:.3f} s = {net * 1000:.0f} ms)",
        peer="`cat` into `korvan-sim --sink`", peer_figure=f"{w_cat * 1000:.0f} ms",
        goal="≤ 1.5", met=ratio <= GOAL_UPLOAD_RATIO,
        note=f"2: medians of {UPLOAD_RUNS} runs each, interleaved; the fixed windows are measured "
             f"as the wall time of a 1-byte upload through the same simulator "
             f"(their sum by design: {FIXED_WINDOWS_S:.3f} s); serbolt's own CPU time per "
             f"10 MiB upload {statistics.median(cpus_big) * 1000:.0f} ms; every stored copy "
             "identical.")


def row_idle(tmp):
    sims = {p: Sim(tmp, f"idle-{p}") for p in ("serbolt", "picocom")}
    procs, terms = {}, {}
    try:
        for p in sims:
            terms[p] = start_terminal(p, sims[p].slave)
        deadline = time.monotonic() + IDLE_SECONDS
        while time.monotonic() < deadline:
            for p, (_, proc) in terms.items():
                if not proc.running():
                    raise BenchError(f"{p} ended while idle")
            time.sleep(min(0.5, max(0.0, deadline - time.monotonic())))
        for p, (console, proc) in terms.items():
            end_terminal(p, console, proc)
            procs[p] = proc
    finally:
        kill_terminals(terms)
        for s in sims.values():
            s.stop()
    s, c = procs["serbolt"], procs["picocom"]
    return dict(
        what=f"Idle terminal, {IDLE_SECONDS:.0f} s on a quiet line: CPU / wall",
        ours=f"{pct(s.share())} ({s.cpu * 1000:.1f} ms / {s.wall:.1f} s)",
        peer=f"`{PICOCOM_NAME}`", peer_figure=f"{pct(c.share())} ({c.cpu * 1000:.1f} ms / {c.wall:.1f} s)",
        goal="< 0.2 %", met=s.share() < GOAL_IDLE_CPU,
        note="3: both terminals ran at the same time, from start to exit key, start-up included.")


def check_stream(program, out, line, expected):
    """Where the stream sits in the program's output, and whether it came whole and in order."""
    if program == "serbolt":
        prefix = b"Serial device %s - connected.\n" % line.encode()
        whole = prefix + expected + b"\n"
        if out == whole:
            return True, "every byte, in order, nothing else"
        n = min(len(out), len(whole))
        first = next((i for i in range(n) if out[i] != whole[i]), n)
        return False, f"output differs from the stream at byte {first - len(prefix):,}"
    start = out.find(expected[:64])
    if start >= 0 and out[start:start + len(expected)] == expected:
        return True, "every byte, in order"
    return False, "stream not found whole in its output"


def row_stream(tmp):
    expected = stream_text(STREAM_BYTES)
    sims = {p: Sim(tmp, f"stream-{p}", "--stream", str(STREAM_BYTES), "--rate", str(LINE_RATE),
                   "--stream-delay-ms", str(STREAM_DELAY_MS)) for p in ("serbolt", "picocom")}
    procs, checks, terms = {}, {}, {}
    tail = expected[-64:]
    try:
        for p in sims:
            terms[p] = start_terminal(p, sims[p].slave)
        for p, (console, proc) in terms.items():
            console.wait_for(lambda d: len(d) >= len(expected) and tail in d[-4096:],
                             STREAM_TIMEOUT, f"end of the stream from {p}")
        for p, (console, proc) in terms.items():
            out = end_terminal(p, console, proc)
            procs[p] = proc
            checks[p] = check_stream(p, out, sims[p].slave, expected)
    finally:
        kill_terminals(terms)
        for s in sims.values():
            s.stop()
    s, c = procs["serbolt"], procs["picocom"]
    ok, how = checks["serbolt"]
    peer_ok, peer_how = checks["picocom"]
    return dict(
        what="Device output, 1 MiB streamed at line rate into the terminal: CPU / wall; bytes",
        ours=f"{pct(s.share())} ({s.cpu * 1000:.0f} ms / {s.wall:.1f} s); {how}",
        peer=f"`{PICOCOM_NAME}`",
        peer_figure=f"{pct(c.share())} ({c.cpu * 1000:.0f} ms / {c.wall:.1f} s); {peer_how}",
        goal="every byte in order; CPU ≤ picocom's", met=ok and s.cpu / s.wall <= c.cpu / c.wall,
        note="4: both terminals ran at the same time on two simulators streaming "
             f"{STREAM_BYTES:,} bytes at {LINE_RATE:,} bytes/s; picocom with its default "
             "mappings (none on input or output).")


def key_latencies(tmp, program):
    sim = Sim(tmp, f"keys-{program}", "--record", os.path.join(tmp, f"keys-{program}.rec"))
    record = os.path.join(tmp, f"keys-{program}.rec")
    terms = {}
    try:
        console, proc = terms[program] = start_terminal(program, sim.slave)
        time.sleep(0.2)
        sent = []
        rnd = struct.unpack("=%dB" % KEY_COUNT, os.urandom(KEY_COUNT))
        for i in range(KEY_COUNT):
            key = KEYS[i % len(KEYS):i % len(KEYS) + 1]
            sent.append(time.monotonic_ns())
            console.send(key)
            time.sleep(KEY_GAP_S + rnd[i] / 255 * 0.010)
        end = time.monotonic() + EXIT_TIMEOUT
        while sum(len(b) for _, b in load_record(record)) < KEY_COUNT:
            if time.monotonic() > end:
                raise BenchError(f"{program}: not every key reached the simulator")
            time.sleep(0.05)
        end_terminal(program, console, proc)
    finally:
        kill_terminals(terms)
        sim.stop()
    arrived = [t for t, chunk in load_record(record) for _ in chunk]
    got = b"".join(chunk for _, chunk in load_record(record))
    want = b"".join(KEYS[i % len(KEYS):i % len(KEYS) + 1] for i in range(KEY_COUNT))
    if got != want:
        raise BenchError(f"{program}: the keys arrived as {got[:60]!r}")
    return [(a - s) / 1e6 for a, s in zip(arrived, sent)]


def row_keys(tmp):
    ours = key_latencies(tmp, "serbolt")
    peer = key_latencies(tmp, "picocom")
    med, top = statistics.median(ours), max(ours)
    pmed, ptop = statistics.median(peer), max(peer)
    return dict(
        what=f"Key to wire on a quiet line: median over {KEY_COUNT} keys",
        ours=f"{med:.2f} ms (max {top:.2f} ms)",
        peer=f"`{PICOCOM_NAME}`", peer_figure=f"{pmed:.2f} ms (max {ptop:.2f} ms)",
        goal="< 5 ms", met=med < GOAL_KEY_MS,
        note="5: from the key written to the pty master to the simulator's read of its byte "
             "(CLOCK_MONOTONIC on both sides); serbolt first, then picocom.")


# ---- serbolt2 under Wine ---------------------------------------------------------------------

class Wine:
    """A Wine prefix of the benchmark's own (tests/windows/wine-prefix.sh makes it: COM7 leads to
    the link DIR/com7), with the environment the tests give Wine."""

    def __init__(self, build):
        self.dir = os.path.join(build, "wine")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.dir, "prefix"),
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all", LC_ALL="C.UTF-8",
                        XDG_RUNTIME_DIR=os.path.join(self.dir, "runtime"))
        self.script = os.path.join(ROOT, "tests", "windows", "wine-prefix.sh")
        done = subprocess.run(["sh", self.script, "setup", self.dir], env=self.env,
                              capture_output=True, timeout=180)
        if done.returncode != 0:
            raise BenchError(f"Wine prefix: {done.stderr.decode(errors='replace')[-200:]}")

    def point_com7(self, line):
        fresh = os.path.join(self.dir, "com7.new")
        if os.path.lexists(fresh):
            os.unlink(fresh)
        os.symlink(line, fresh)
        os.rename(fresh, os.path.join(self.dir, "com7"))

    def run(self, exe, *args, stdin=None, stdout=None):
        # A fixed address layout, as in the tests: Wine without its preloader can fail to start
        # when address randomization takes the place of the shared user data.
        argv = [SETARCH, platform.machine(), "-R", WINE, win_path(os.path.join(BUILD, exe)), *args]
        return Proc(argv, stdin=stdin, stdout=stdout, stderr=self.log, env=self.env)

    def close(self):
        subprocess.run(["sh", self.script, "cleanup", self.dir], env=self.env, capture_output=True,
                       timeout=60)


def win_path(path):
    return "Z:" + path.replace("/", "\\")


class Collector:
    """Everything written to a pipe, gathered by a thread."""

    def __init__(self, fd):
        self.fd, self.data, self.cond = fd, bytearray(), threading.Condition()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            chunk = os.read(self.fd, 65536)
            with self.cond:
                if not chunk:
                    return
                self.data += chunk
                self.cond.notify_all()

    def wait_for(self, text, timeout, what=None):
        with self.cond:
            if not self.cond.wait_for(lambda: text in self.data, timeout):
                raise BenchError(f"no {what or repr(text.decode())} within {timeout:.0f} s")


def windows_pid(name, timeout=SPAWN_TIMEOUT * 4):
    """The Unix process of the Windows program `name` (Wine shows its Windows command line),
    once it has started."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    first = f.read().split(b"\0")[0]
            except OSError:
                continue
            if first.lower().endswith(b"\\" + name.encode()):
                return int(entry)
        time.sleep(0.05)
    raise BenchError(f"{name} did not start within {timeout:.0f} s")


def wineserver_pid():
    """The Wine server of the benchmark's prefix (the one process whose name says so)."""
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                first = f.read().split(b"\0")[0]
            with open(f"/proc/{entry}/environ", "rb") as f:
                prefix = b"WINEPREFIX=" + os.path.join(BUILD, "wine", "prefix").encode() + b"\0"
                mine = prefix in f.read() + b"\0"
        except OSError:
            continue
        if os.path.basename(first).startswith(b"wineserver") and mine:
            return int(entry)
    raise BenchError("no wineserver for the benchmark's prefix")


def cpu_seconds(pid):
    """User and system time of a process so far (all its threads), from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def typed_terminal(wine, target, ready):
    """Starts `target` (program and arguments) in a console of its own, in which the helper
    types each byte written to the returned descriptor as a key; waits for `ready` on its output."""
    keys_rd, keys_wr = os.pipe()
    out_rd, out_wr = os.pipe()
    try:
        proc = wine.run("serbolt2_keys.exe", "120000", "{i}", win_path(os.path.join(BUILD, target[0])),
                        *target[1:], stdin=keys_rd, stdout=out_wr)
    finally:
        os.close(keys_rd)
        os.close(out_wr)
    out = Collector(out_rd)
    try:
        out.wait_for(ready, 30)
    except BenchError:
        proc.kill()
        os.close(keys_wr)
        raise
    return proc, keys_wr, out


def wine_key_latencies(wine, tmp, program):
    record = os.path.join(tmp, f"wine-keys-{program}.rec")
    sim = Sim(tmp, f"wine-keys-{program}", "--record", record)
    wine.point_com7(sim.slave)
    if program == "serbolt2":
        target, ready = ["serbolt2.exe", "-d", "COM7"], b"Entering terminal mode."
    else:
        target, ready = ["serbolt2_plain.exe", "keys", "\\\\.\\COM7"], b"plain: ready"
    proc, keys, _ = typed_terminal(wine, target, ready)
    try:
        time.sleep(0.3)
        sent = []
        rnd = struct.unpack("=%dB" % WINE_KEY_COUNT, os.urandom(WINE_KEY_COUNT))
        for i in range(WINE_KEY_COUNT):
            sent.append(time.monotonic_ns())
            os.write(keys, KEYS[i % len(KEYS):i % len(KEYS) + 1])
            time.sleep(KEY_GAP_S + rnd[i] / 255 * 0.010)
        end = time.monotonic() + EXIT_TIMEOUT
        while sum(len(b) for _, b in load_record(record)) < WINE_KEY_COUNT:
            if time.monotonic() > end:
                raise BenchError(f"{program}: not every key reached the simulator")
            time.sleep(0.05)
        os.write(keys, EXIT_SERBOLT)
        os.close(keys)
        keys = None
        proc.wait(EXIT_TIMEOUT + 10)
    finally:
        if keys is not None:
            os.close(keys)
        proc.kill()
        sim.stop()
    arrived = [t for t, chunk in load_record(record) for _ in chunk]
    return [(a - s) / 1e6 for a, s in zip(arrived, sent)]


def wine_stream_cpu(wine, tmp, program):
    """CPU share of the Windows program while the device streams, from the first 64 KiB of
    the stream on screen to its end; and whether every byte came in order."""
    expected = stream_text(WINE_STREAM_BYTES)
    sim = Sim(tmp, f"wine-stream-{program}", "--stream", str(WINE_STREAM_BYTES), "--rate",
              str(LINE_RATE), "--stream-delay-ms", "3000")
    wine.point_com7(sim.slave)
    keys = None
    try:
        if program.startswith("serbolt2"):
            name = "serbolt2.exe"
            proc, keys, out = typed_terminal(wine, [name, "-d", "COM7"], b"Entering terminal mode.")
        else:
            name = "serbolt2_plain.exe"
            out_rd, out_wr = os.pipe()
            proc = wine.run(name, "read", "\\\\.\\COM7", stdout=out_wr)
            os.close(out_wr)
            out = Collector(out_rd)
        pids = [windows_pid(name), wineserver_pid()]
        out.wait_for(expected[:64 * 1024], STREAM_TIMEOUT, "first 64 KiB of the stream, as sent")
        t0, cpu0 = time.monotonic(), [cpu_seconds(p) for p in pids]
        out.wait_for(expected[-64:], STREAM_TIMEOUT, "end of the stream")
        t1, cpu1 = time.monotonic(), [cpu_seconds(p) for p in pids]
        whole = expected in out.data
        if keys is not None:
            os.write(keys, EXIT_SERBOLT)
            os.close(keys)
            keys = None
            proc.wait(EXIT_TIMEOUT + 10)
    finally:
        if keys is not None:
            os.close(keys)
        proc.kill()
        sim.stop()
    cpu = sum(cpu1) - sum(cpu0)
    return 100.0 * cpu / (t1 - t0), cpu, t1 - t0, whole


def wine_rows(tmp, which):
    if not all((WINE, SETARCH, os.path.exists(os.path.join(BUILD, "serbolt2.exe")),
                os.path.exists(os.path.join(BUILD, "serbolt2_plain.exe")))):
        raise BenchError("needs Wine and serbolt2.exe (mingw-w64)")
    wine = Wine(BUILD)
    wine.log = os.open(os.path.join(tmp, "wine.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        if which == "keys":
            ours = wine_key_latencies(wine, tmp, "serbolt2")
            peer = wine_key_latencies(wine, tmp, "plain")
            med, p90 = statistics.median(ours), statistics.quantiles(ours, n=10)[-1]
            pmed, pp90 = statistics.median(peer), statistics.quantiles(peer, n=10)[-1]
            return dict(
                what=f"serbolt2 under Wine, key typed into its console to wire: median over "
                     f"{WINE_KEY_COUNT} keys",
                ours=f"{med:.1f} ms (p90 {p90:.1f} ms)",
                peer="`_kbhit` loop, 1 ms sleeps", peer_figure=f"{pmed:.1f} ms (p90 {pp90:.1f} ms)",
                goal=f"≤ {GOAL_WINE_KEY_MS:.0f} ms", met=med <= GOAL_WINE_KEY_MS,
                note="6: Wine in a prefix of its own (build-bench/wine); the test helper "
                     "serbolt2_keys types each byte that the benchmark writes to it as a key into "
                     "the program's console; from that write to the simulator's read of the byte; "
                     "serbolt2 first, then the plain loop (serbolt2_plain keys).")
        runs = {"serbolt2": [], "plain": []}
        for i in range(WINE_STREAM_RUNS):
            for program, done in runs.items():
                done.append(wine_stream_cpu(wine, tmp, f"{program}-{i}"))
        cpu, wall = (sum(r[k] for r in runs["serbolt2"]) for k in (1, 2))
        pcpu, pwall = (sum(r[k] for r in runs["plain"]) for k in (1, 2))
        whole, pwhole = (all(r[3] for r in runs[p]) for p in ("serbolt2", "plain"))
        share, pshare = 100.0 * cpu / wall, 100.0 * pcpu / pwall
        ratio = share / pshare if pshare > 0 else float("inf")
        return dict(
            what=f"serbolt2 under Wine, {WINE_STREAM_RUNS} x {WINE_STREAM_BYTES // 1024} KiB streamed "
                 "at line rate into the terminal: CPU / wall while it streams",
            ours=f"{pct(share)} ({cpu * 1000:.0f} ms / {wall:.1f} s), {ratio:.2f}x the reader; "
                 + ("every byte, in order" if whole else "BYTES LOST OR OUT OF ORDER"),
            peer="plain reader, 4 KB `ReadFile` blocks",
            peer_figure=f"{pct(pshare)} ({pcpu * 1000:.0f} ms / {pwall:.1f} s)"
                        + ("" if pwhole else "; bytes lost"),
            goal=f"≤ {GOAL_WINE_CPU_RATIO}x the reader; every byte in order",
            met=whole and ratio <= GOAL_WINE_CPU_RATIO,
            note=f"7: {WINE_STREAM_RUNS} runs of each, interleaved, each program alone on a "
                 f"simulator streaming at {LINE_RATE:,} bytes/s, its output into a pipe; CPU from "
                 "/proc (the Windows process and Wine's server, in 10 ms ticks) from the first "
                 "64 KiB of the stream to its end, summed over the runs; serbolt2 in a console of "
                 "its own (serbolt2_keys), the reader as `serbolt2_plain read`.")
    finally:
        os.close(wine.log)
        wine.close()


def row_wine_keys(tmp):
    return wine_rows(tmp, "keys")


def row_wine_stream(tmp):
    return wine_rows(tmp, "stream")


ROWS = [
    (row_rate, "line-rate upload, 1 MiB (about 12 s)"),
    (row_unthrottled, f"unthrottled uploads, {UPLOAD_RUNS} runs of each kind (about 12 s)"),
    (row_idle, f"idle terminals ({IDLE_SECONDS:.0f} s)"),
    (row_stream, "device output, 1 MiB at line rate (about 12 s)"),
    (row_keys, f"{KEY_COUNT} keys into each terminal (about 4 s)"),
    (row_wine_keys, f"serbolt2 under Wine, {WINE_KEY_COUNT} keys, beside a plain loop (about 20 s)"),
    (row_wine_stream, f"serbolt2 under Wine, {WINE_STREAM_RUNS} x {WINE_STREAM_BYTES // 1024} KiB "
                      "streamed, beside a plain reader (about 80 s)"),
]


# ---- report ---------------------------------------------------------------------------------

def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = re.sub(r"\s+", " ", line.split(":", 1)[1]).strip()
                    break
    except OSError:
        pass
    return f"nproc {len(os.sched_getaffinity(0))}, {model}, Linux {platform.release()} ({platform.machine()})"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=5)
        text = (out.stdout or out.stderr).strip().splitlines()
        return text[0] if text else "?"
    except (OSError, subprocess.SubprocessError):
        return "?"


def main():
    global SERBOLT, SIM, PICOCOM, CAT, SETSID, PICOCOM_NAME, BUILD, ROOT, WINE, SETARCH
    if len(sys.argv) < 2 or not all(a.isdigit() and 1 <= int(a) <= len(ROWS) for a in sys.argv[2:]):
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    chosen = [int(a) for a in sys.argv[2:]] or list(range(1, len(ROWS) + 1))
    build = BUILD = os.path.abspath(sys.argv[1])
    ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    WINE = shutil.which("wine")
    SETARCH = shutil.which("setarch")
    SERBOLT = os.path.join(build, "serbolt")
    SIM = os.path.join(build, "korvan-sim")
    PICOCOM = shutil.which("picocom")
    CAT = shutil.which("cat")
    SETSID = shutil.which("setsid")
    for need, path in (("serbolt", SERBOLT), ("korvan-sim", SIM), ("picocom", PICOCOM),
                       ("cat", CAT), ("setsid", SETSID)):
        if not path or not os.access(path, os.X_OK):
            print(f"bench: {need} not found", file=sys.stderr)
            return 2
    PICOCOM_NAME = version([PICOCOM, "--help"]).replace(" v", " ")

    atexit.register(_cleanup)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)

    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    tmp = tempfile.mkdtemp(prefix="serbolt-bench-", dir=base)
    started = time.monotonic()
    load_before = loadavg()
    results = []
    try:
        for number, (row, title) in enumerate(ROWS, 1):
            if number not in chosen:
                continue
            print(f"bench: {number}/{len(ROWS)}: {title}", file=sys.stderr, flush=True)
            try:
                r = row(tmp)
            except BenchError as e:
                r = dict(what=title, ours=f"not measured: {e}", peer="", peer_figure="",
                         goal="", met=None, note=None)
            results.append((number, r))
    finally:
        _cleanup()
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"serbolt efficiency benchmark, {time.strftime('%Y-%m-%d %H:%M %Z')}")
    print(f"Machine: {machine()}")
    print(f"Load average (1, 5, 15 min): {load_before} before, {loadavg()} after; "
          f"run time {time.monotonic() - started:.0f} s")
    print(f"serbolt and korvan-sim: release build; peers: {PICOCOM_NAME}, "
          f"{version([CAT, '--version'])}")
    print()
    print("| # | Measurement | serbolt | Peer | Peer's figure | Goal | Verdict |")
    print("|---|---|---|---|---|---|---|")
    for number, r in results:
        verdict = "met" if r["met"] else ("NOT MEASURED" if r["met"] is None else "MISSED")
        print(f"| {number} | {r['what']} | {r['ours']} | {r['peer']} | {r['peer_figure']} "
              f"| {r['goal']} | {verdict} |")
    print()
    for _, r in results:
        if r["note"]:
            print(r["note"])
    return 0 if all(r["met"] for _, r in results) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        _cleanup()
        print("bench: interrupted", file=sys.stderr)
        sys.exit(130)
