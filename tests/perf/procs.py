"""Running the programs for measurements: a streaming run with a reader thread that counts
what arrives, and the Linux side of the Wine process behind it (CPU time, memory, its end)."""
import os
import pathlib
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import harness  # noqa: E402
import wine_prefix  # noqa: E402

wine_prefix.main()

BusyLoops = harness.BusyLoops
FLOOR = str(harness.SIM_DIR / "lumbrook" / "floor.exe")
CHECKER = str(harness.BUILD / "tests" / "checker.exe")
COM_SLEEPER = str(harness.BUILD / "tests" / "com_sleeper.exe")


def linux_pid(exe, marker, timeout=20.0):
    """The Linux process running `exe` with `marker` on its command line."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for entry in pathlib.Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                words = (entry / "cmdline").read_bytes().split(b"\0")
            except OSError:
                continue
            if words and words[0].decode(errors="replace") == exe and marker.encode() in words:
                return int(entry.name)
        time.sleep(0.005)
    raise RuntimeError(f"{exe} {marker} did not start")


def cpu_seconds(pid):
    """On-CPU time of every thread of the process, from the scheduler's nanosecond counters."""
    total = 0
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, IndexError, ValueError):
            pass
    return total / 1e9


def memory_kib(pid, field="VmHWM"):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(field)


def wait_gone(pid, timeout=10.0):
    """Seconds until the process has ended (None past the timeout)."""
    start = time.monotonic()
    while os.path.exists(f"/proc/{pid}") and time.monotonic() - start < timeout:
        try:
            if pathlib.Path(f"/proc/{pid}/stat").read_text().split(") ")[1][0] == "Z":
                break
        except (OSError, IndexError):
            break
        time.sleep(0.0005)
    elapsed = time.monotonic() - start
    return elapsed if elapsed < timeout else None


class Stream:
    """A program under the launcher whose standard output a thread drains and counts."""

    def __init__(self, program, args, env=None):
        self.marker = args[-1]
        self.scratch = tempfile.TemporaryDirectory()
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            ["wine", harness.LAUNCH, os.path.join(self.scratch.name, "status"), "0", "inherit",
             program, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            stdin=subprocess.DEVNULL, env=full_env)
        self.count = 0
        self.head = b""
        self.first_byte_at = None
        self.closing = False
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()
        self.pid = linux_pid(program, self.marker)

    def _drain(self):
        fd = self.process.stdout.fileno()
        while not self.closing:
            if not select.select([fd], [], [], 0.02)[0]:
                continue
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            if self.first_byte_at is None:
                self.first_byte_at = time.monotonic()
            self.count += len(chunk)
            if len(self.head) < 64:
                self.head += chunk[:64]

    def first_line(self):
        """What the program printed first, for one that prints a line at once."""
        while b"\n" not in self.head and self.process.poll() is None:
            time.sleep(0.001)
        return self.head.split(b"\n")[0].decode()

    def wait_first_byte(self, timeout=20.0):
        deadline = time.monotonic() + timeout
        while self.first_byte_at is None and time.monotonic() < deadline:
            time.sleep(0.001)
        return self.first_byte_at

    def close_reader(self):
        """Closes the pipe as a reader that goes away; returns seconds until the program ended."""
        self.closing = True
        self.reader.join(timeout=5)
        self.process.stdout.close()
        return wait_gone(self.pid)

    def stop(self):
        self.closing = True
        self.reader.join(timeout=5)
        if self.process.poll() is None:
            subprocess.run(["kill", "-9", str(self.pid)], stderr=subprocess.DEVNULL)
        try:
            self.process.stdout.close()
        except OSError:
            pass
        self.process.wait(timeout=30)
        self.scratch.cleanup()


def spread(values):
    """min / median / max of a list of numbers."""
    return min(values), statistics.median(values), max(values)
