"""Runs the real programs under Wine, through the recording launcher, against the simulated
platform DLLs, and hands back what they printed, their exit status and what the simulation saw."""
import array
import atexit
import concurrent.futures
import os
import pathlib
import select
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field

# CTest passes these; run by hand (or by `make bench`, `make soak`, `make fuzz`), the defaults
# name the cross build's tree.
BUILD = pathlib.Path(__file__).resolve().parents[1] / "build" / "cross"
for name, default in (("WINEPREFIX", BUILD / "wineprefix"), ("WINEDEBUG", "-all"),
                      ("LC_ALL", "C.UTF-8"), ("SIM_DIR", BUILD / "sim"),
                      ("LAUNCH", BUILD / "tests" / "launch.exe"),
                      ("PIPE_HOST", BUILD / "tests" / "pipe_host.exe"),
                      ("PID_SLEEPER", BUILD / "tests" / "pid_sleeper.exe"),
                      ("HANDLER_TEST", BUILD / "tests" / "handler_test.exe"),
                      ("CLOCK_TEST", BUILD / "tests" / "clock_test.exe"),
                      ("DIST_LUMBROOK", BUILD / "lumbrook" / "lumbrook.exe"),
                      ("DIST_TESSVANE", BUILD / "tessvane" / "tessvane.exe"),
                      ("OBJDUMP", "x86_64-w64-mingw32-objdump")):
    os.environ.setdefault(name, str(default))

SIM_DIR = pathlib.Path(os.environ["SIM_DIR"])
LAUNCH = os.environ["LAUNCH"]
SIM_LUMBROOK = str(SIM_DIR / "lumbrook" / "lumbrook.exe")
SIM_TESSVANE = str(SIM_DIR / "tessvane" / "tessvane.exe")
DIST_LUMBROOK = os.environ["DIST_LUMBROOK"]
DIST_TESSVANE = os.environ["DIST_TESSVANE"]

IID_IAUDIOCLIENT = "{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}"
# The engine's last log line when the program released everything it was given.
ALL_RELEASED = ("alive IAudioClient=0 IAudioCaptureClient=0 "
                "IActivateAudioInterfaceAsyncOperation=0 IUnknown=0")
IID_IAUDIOCAPTURECLIENT = "{C8ADBD64-E71E-48A0-A4DE-185C395CD317}"


# Keeps the prefix's wineserver, and the services Wine starts with it, running while the tests
# run: a process then starts in a tenth of the time. The keeper is an idle process of ours that
# goes with this interpreter (or after twenty minutes at the latest). It starts them itself,
# before any test runs, so that they inherit none of a test's pipes: a pipe they held would
# never report its end.
_keeper = subprocess.Popen(["wine", os.environ["PID_SLEEPER"], "1200000"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL)
_keeper.stdout.readline()
atexit.register(lambda: (_keeper.kill(), _keeper.wait(), _keeper.stdout.close()))


@dataclass
class Run:
    status: object  # the exit code as GetExitCodeProcess gave it, or "timeout"
    out: bytes
    err: bytes
    log: list = field(default_factory=list)
    gone_to_exit: float = 0.0  # seconds from closing the reader to the program's end

    @property
    def crashed(self):
        return b"wine: Unhandled" in self.err or (
            isinstance(self.status, int) and self.status >= 0xC0000000)


def sample_bytes(seed, count):
    """The bytes the simulated engine fills a data packet with."""
    out = bytearray(count)
    mask = 0xFFFFFFFF
    for i in range(count):
        x = (seed * 2654435761 + i * 40503) & mask
        x ^= x >> 15
        x = (x * 2246822519) & mask
        x ^= x >> 13
        out[i] = x & 0xFF
    return bytes(out)


def zero_runs(out):
    """(first frame, frames) of each run of silent frames (all 8 bytes zero) in a stream."""
    frames = array.array("Q")
    frames.frombytes(out[:len(out) - len(out) % 8])
    runs, start = [], None
    for i, frame in enumerate(frames):
        if frame == 0 and start is None:
            start = i
        elif frame != 0 and start is not None:
            runs.append((start, i - start))
            start = None
    if start is not None:
        runs.append((start, len(frames) - start))
    return runs


def run(program, args, env=None, take=None, timeout_ms=20000, stdout="inherit", stdin=None):
    """Runs program with args. take=None reads standard output to its end; take=N reads N bytes
    and then closes the pipe, as a reader that goes away.

    Now and then (about once in two thousand runs) Wine loses the launcher before it records
    anything, or, on a busy machine, the Linux loader asserts as Wine's own process ends
    ("Inconsistency detected by ld.so: dl-fini.c"), after the launcher has recorded the
    program's status; such a run says nothing about the program and is made once more."""
    result = run_once(program, args, env, take, timeout_ms, stdout, stdin)
    if result.status is None or WINE_EXIT_ASSERTION in result.err:
        result = run_once(program, args, env, take, timeout_ms, stdout, stdin)
    return result


WINE_EXIT_ASSERTION = b"Inconsistency detected by ld.so: dl-fini.c"


def read_until(fd, out, idle_end, limit, want=None):
    """Appends what fd delivers to out until its end, until `want` bytes have come, until the
    time limit, or until nothing is waiting and idle_end() says no more will come."""
    while time.monotonic() < limit and (want is None or len(out) < want):
        if not select.select([fd], [], [], 0.05)[0]:
            if idle_end():
                return
            continue
        chunk = os.read(fd, 1 << 16 if want is None else min(1 << 16, want - len(out)))
        if not chunk:
            return
        out.extend(chunk)


def run_once(program, args, env, take, timeout_ms, stdout, stdin):
    with tempfile.TemporaryDirectory() as scratch:
        status_file = os.path.join(scratch, "status")
        full_env = dict(os.environ)
        full_env.update(env or {})
        command = ["wine", LAUNCH, status_file, str(timeout_ms), stdout, program, *args]
        process = subprocess.Popen(command, stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env)
        limit = time.monotonic() + timeout_ms / 1000 + 30
        # After the launcher has gone, what is left in the pipes is collected for a moment: a
        # pipe that some other process still holds would otherwise never end.
        ended = []
        settled = lambda: bool(ended) and time.monotonic() > ended[0] + 1.0
        err = bytearray()
        reader = threading.Thread(
            target=read_until, args=(process.stderr.fileno(), err, settled, limit), daemon=True)
        reader.start()
        out = bytearray()
        if take is None:
            out_reader = threading.Thread(
                target=read_until, args=(process.stdout.fileno(), out, settled, limit),
                daemon=True)
            out_reader.start()
        else:
            read_until(process.stdout.fileno(), out, lambda: process.poll() is not None, limit,
                       want=take)
            process.stdout.close()
        closed_at = time.monotonic()
        process.wait(timeout=max(1, limit - time.monotonic()))
        gone_to_exit = time.monotonic() - closed_at
        ended.append(time.monotonic())
        if take is None:
            out_reader.join()
            process.stdout.close()
        reader.join()
        process.stderr.close()
        text = pathlib.Path(status_file).read_text().split() if os.path.exists(status_file) else []
        status = int(text[1]) if text[:1] == ["exit"] else (text[0] if text else None)
        return Run(status, bytes(out), bytes(err), gone_to_exit=gone_to_exit)


# The program loads the simulated engine only at the activation: a failure of its earlier
# platform calls needs the engine loaded before the program runs (by the launcher).
PRELOAD_ENGINE = {"SIM_PRELOAD": r"C:\windows\system32\mmdevapi.dll"}


def lumbrook(args, script="", take=None, program=SIM_LUMBROOK, env=None, **options):
    """Runs lumbrook against the simulated engine scripted by `script`."""
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "engine.log")
        result = run(program, args, dict(env or {}, SIM_AUDIO=script, SIM_AUDIO_LOG=log),
                     take=take, **options)
        if os.path.exists(log):
            result.log = pathlib.Path(log).read_text(errors="replace").splitlines()
        return result


def tessvane(args, rules="", program=SIM_TESSVANE, env=None, **options):
    """Runs tessvane against the simulated GPU scheduler with `rules`."""
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "gpu.log")
        result = run(program, args, dict(env or {}, SIM_GPU=rules, SIM_GPU_LOG=log), **options)
        if os.path.exists(log):
            result.log = pathlib.Path(log).read_text(errors="replace").splitlines()
        return result


class BusyLoops:
    """`count` shell loops that keep a core busy each, as a loaded machine's other work does,
    stopped by their process ids."""

    def __init__(self, count=2):
        self.loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(count)]

    def __enter__(self):
        return self

    def __exit__(self, *_):
        for loop in self.loops:
            loop.kill()
            loop.wait()


def side_by_side(function, cases):
    """function(case) for every case at once, each on a thread of its own: for runs that mostly
    wait for real time. The results come in the order of the cases."""
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        return list(pool.map(function, cases))


def assert_checks_pass(test, program):
    """Runs a Windows program of checks, which prints a line per failed check and then
    "N failed checks", and exits with N."""
    result = run(program, [], timeout_ms=60000)
    test.assertFalse(result.crashed, result.err)
    test.assertEqual(result.status, 0, result.out.decode(errors="replace"))
    test.assertEqual(result.out.strip().splitlines()[-1], b"0 failed checks")


def lines_starting(log, prefix):
    return [line for line in log if line.startswith(prefix)]


@dataclass
class Hosted:
    lines: list  # what the host reported, a line each
    err: bytes  # the program's standard error
    out: bytes  # what it read of the stream
    stamps: list  # performance-counter readings as each packet was complete
    log: list  # the simulated engine's log

    @property
    def ending(self):
        """("exit", status, ms from the reader going to the end), or ("running",)."""
        last = self.lines[-1].split() if self.lines else ["none"]
        if last[0] == "exit":
            return "exit", int(last[1]), float(last[3])
        return tuple(last[:1])


def hosted(kind, steps, script="", program=SIM_LUMBROOK, args=("42",), env=None, guard=120):
    """Runs program under the Windows-side pipe host (kind: anon, named or file) against the
    simulated engine scripted by `script`; `steps` is the host's list of steps."""
    with tempfile.TemporaryDirectory() as scratch:
        log, out = os.path.join(scratch, "engine.log"), os.path.join(scratch, "stream")
        full_env = dict(os.environ, SIM_AUDIO=script, SIM_AUDIO_LOG=log, **(env or {}))
        done = subprocess.run(["wine", os.environ["PIPE_HOST"], kind, ",".join(steps), out,
                               program, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              env=full_env, timeout=guard)
        read = lambda path: pathlib.Path(path).read_bytes() if os.path.exists(path) else b""
        return Hosted(done.stdout.decode(errors="replace").splitlines(), done.stderr, read(out),
                      [int(v) for v in read(out + ".stamps").split()],
                      read(log).decode(errors="replace").splitlines())
