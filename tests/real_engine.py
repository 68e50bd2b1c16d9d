"""lumbrook against Wine's own audio engine over a real PulseAudio server: the server, a tone
played into it, a streaming run that records when each byte arrived, and the tone's analysis.

The prefix (REAL_WINEPREFIX) selects, for lumbrook.exe and floor.exe alone, a bridge
mmdevapi.dll in its System32 that forwards the process-loopback activation to Wine's own
module for the default capture endpoint; with PULSE_SOURCE=@DEFAULT_MONITOR@ that endpoint
records what the default sink plays. Everything after the activation is Wine's code."""
import array
import math
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time

import harness

# CTest passes these; run by hand or by `make bench`, the defaults name the cross build's tree.
os.environ.setdefault("REAL_WINEPREFIX", str(harness.BUILD / "wineprefix-real"))
os.environ.setdefault("REAL_DIR", str(harness.BUILD / "real"))
REAL_PREFIX = os.environ["REAL_WINEPREFIX"]
RATE = 48000
BYTES_PER_SECOND = RATE * 8
# Not a divisor of the 10 ms packet rate: a lost or repeated packet shifts the tone's phase.
TONE_HZ = 997.0
TONE_LEVEL = 0.5
WINE_MODULES = ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                "/usr/lib/wine/x86_64-windows", "/usr/lib64/wine/x86_64-windows")


def wine_mmdevapi():
    """Wine's own mmdevapi.dll as a Windows path the bridge loads it by."""
    for folder in WINE_MODULES:
        path = pathlib.Path(folder) / "mmdevapi.dll"
        if path.exists():
            return "Z:" + str(path).replace("/", "\\")
    raise RuntimeError("Wine's own mmdevapi.dll was not found in " + ", ".join(WINE_MODULES))


class SoundServer:
    """A PulseAudio server of its own: private home, runtime folder and socket, one null sink as
    the default. Started and stopped by its process id."""

    def __init__(self, sink_format="float32le", sink_rate=RATE):
        missing = [tool for tool in ("pulseaudio", "pactl", "paplay", "sox")
                   if shutil.which(tool) is None]
        if missing:
            raise RuntimeError(f"{', '.join(missing)} missing: `make` installs them")
        self.scratch = tempfile.TemporaryDirectory(prefix="lumbrook-pulse-")
        self.dir = pathlib.Path(self.scratch.name)
        self.socket = self.dir / "pulse.sock"
        self.sink_format, self.sink_rate = sink_format, sink_rate
        self.process = None
        self.players = []

    @property
    def env(self):
        """What a client of this server, Linux-side or under Wine, needs."""
        return {"PULSE_SERVER": f"unix:{self.socket}", "PULSE_SOURCE": "@DEFAULT_MONITOR@",
                "HOME": str(self.dir / "home"), "XDG_RUNTIME_DIR": str(self.dir / "run")}

    def start(self):
        for folder in ("home", "run"):
            (self.dir / folder).mkdir(mode=0o700, exist_ok=True)
        config = self.dir / "server.pa"
        config.write_text(
            f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n"
            f"load-module module-null-sink sink_name=tone rate={self.sink_rate} channels=2 "
            f"format={self.sink_format}\n"
            "set-default-sink tone\n")
        log = self.dir / "server.log"
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "-F", str(config), "--daemonize=no", "--exit-idle-time=-1",
             "--realtime=no", "--high-priority=no", "--use-pid-file=no",
             f"--log-target=file:{log}"],
            env=dict(os.environ, **self.env), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            if self.pactl("info", check=False).returncode == 0:
                return self
            time.sleep(0.05)
        tail = log.read_text(errors="replace")[-2000:] if log.exists() else "(no log)"
        self.kill()
        raise RuntimeError(f"PulseAudio did not start (exit {self.process.returncode}):\n{tail}")

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=dict(os.environ, **self.env), check=check,
                              capture_output=True, text=True, timeout=20)

    def module_of_sink(self, name):
        for line in self.pactl("list", "short", "modules").stdout.splitlines():
            if f"sink_name={name}" in line:
                return line.split()[0]
        raise RuntimeError(f"no module for sink {name}")

    def play_tone(self, seconds=120):
        """Plays TONE_HZ at TONE_LEVEL into the default sink, with the player started directly,
        so that its process id is the player's."""
        tone = self.dir / f"tone-{len(self.players)}.wav"
        subprocess.run(["sox", "-n", "-r", str(RATE), "-c", "2", "-e", "floating-point",
                        "-b", "32", str(tone), "synth", str(seconds), "sine", str(TONE_HZ),
                        "vol", str(TONE_LEVEL)], check=True, timeout=60)
        player = subprocess.Popen(["paplay", str(tone)], env=dict(os.environ, **self.env),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.players.append(player)
        return player

    def kill(self, sig=signal.SIGKILL):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(timeout=20)

    def stop(self):
        for player in self.players:
            if player.poll() is None:
                player.kill()
            player.wait(timeout=20)
        self.kill()
        self.scratch.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *_):
        self.stop()


def engine_env(server, tap=None):
    """The environment of a program on the real engine; with `tap`, the bridge records there
    every packet the engine hands out (read_tap)."""
    env = dict(server.env, WINEPREFIX=REAL_PREFIX, REAL_MMDEVAPI=wine_mmdevapi())
    return dict(env, BRIDGE_TAP=tap) if tap else env


class Streaming:
    """lumbrook (or the floor) under Wine through the recording launcher, with standard output
    a Linux pipe read on a thread that notes when each chunk arrived. The launcher ends the
    program after `guard_ms` at the latest, so that no run outlives its test."""

    def __init__(self, server, program=None, args=("42",), guard_ms=90000):
        self.scratch = tempfile.TemporaryDirectory()
        self.status_file = os.path.join(self.scratch.name, "status")
        self.tap = os.path.join(self.scratch.name, "tap")
        self.chunks = []  # (monotonic time, bytes)
        self.closed = threading.Event()
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            ["wine", harness.LAUNCH, self.status_file, str(guard_ms), "inherit",
             program or harness.SIM_LUMBROOK, *args],
            env=dict(os.environ, **engine_env(server, self.tap)), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.errors = []
        self.err_reader = threading.Thread(
            target=self._read, args=(self.process.stderr.fileno(), self.errors), daemon=True)
        self.err_reader.start()

    def _read(self, fd=None, into=None):
        fd = self.process.stdout.fileno() if fd is None else fd
        while not self.closed.is_set() or into is not None:
            try:
                chunk = os.read(fd, 1 << 16)
            except OSError:
                return
            if not chunk:
                return
            if into is None:
                self.chunks.append((time.monotonic(), chunk))
            else:
                into.append(chunk)

    @property
    def err(self):
        return b"".join(self.errors)

    @property
    def received(self):
        return sum(len(chunk) for _, chunk in self.chunks)

    def audio(self):
        return b"".join(chunk for _, chunk in self.chunks)

    def wait_for(self, condition, guard=30.0, what="the stream"):
        """Waits until condition(self) holds; the guard only stops a hang."""
        deadline = time.monotonic() + guard
        while not condition(self):
            if time.monotonic() > deadline:
                raise AssertionError(f"{what}: not within {guard} s ({self.received} bytes)")
            if self.process.poll() is not None and not self.reader.is_alive():
                raise AssertionError(f"{what}: the program ended first ({self.status()}), "
                                     f"{self.received} bytes; stderr {self.err!r}")
            time.sleep(0.02)

    def wait_for_tone(self, seconds, guard=30.0):
        """Waits until `seconds` of audio have arrived after the tone's first sample."""
        def enough(run):
            audio = run.audio()
            start = first_sound(audio)
            return start is not None and len(audio) - start >= seconds * BYTES_PER_SECOND
        self.wait_for(enough, guard, f"{seconds} s of tone")

    def close(self):
        """Closes the reader's end, as a host that is done; returns the seconds to the end."""
        self.closed.set()
        closed_at = time.monotonic()
        self.process.stdout.close()
        self.process.wait(timeout=60)
        gone = time.monotonic() - closed_at
        self.reader.join(timeout=10)
        return gone

    def wait_exit(self, guard=30.0):
        """Waits for the program to end on its own; returns the monotonic time it ended."""
        self.process.wait(timeout=guard)
        ended = time.monotonic()
        self.reader.join(timeout=10)
        self.process.stdout.close()
        return ended

    def status(self):
        path = pathlib.Path(self.status_file)
        words = path.read_text().split() if path.exists() else []
        return int(words[1]) if words[:1] == ["exit"] else (words[0] if words else None)

    def finish(self):
        """Closes the reader's end if it is still open and waits for the end, which the
        launcher's guard bounds."""
        self.closed.set()
        if not self.process.stdout.closed:
            self.process.stdout.close()
        self.process.wait(timeout=180)
        self.err_reader.join(timeout=10)
        self.process.stderr.close()
        self.scratch.cleanup()


TAP_HEADER = struct.Struct("<IIQQ")  # frames, flags, time stamp, handed out (100 ns)


def read_tap(path, times=None):
    """The packets the bridge recorded, in the order the engine handed them out: their frames
    as lumbrook is to write them, zeros for a packet flagged silent. A packet still being
    recorded is left out. `times`, a list, gets each packet's (flags, time stamp, handed out),
    the times in ms on the performance counter."""
    data = pathlib.Path(path).read_bytes() if os.path.exists(path) else b""
    packets, at = [], 0
    while at + TAP_HEADER.size <= len(data):
        frames, flags, stamp, handed_out = TAP_HEADER.unpack_from(data, at)
        at += TAP_HEADER.size
        if at + frames * 8 > len(data):
            break
        packets.append(data[at:at + frames * 8])
        at += frames * 8
        if times is not None:
            times.append((flags, stamp / 10000, handed_out / 10000))
    return packets


ZEROS = re.compile(rb"(?:\x00{8})*")


def zero_frames_at(data, offset):
    """How many silent frames begin at byte `offset`."""
    return (ZEROS.match(data, offset).end() - offset) // 8


def line_up(audio, packets):
    """Lines lumbrook's stream up with the packets the engine handed out, which it must hold
    whole and in order, with nothing between them but zeros of lumbrook's own. Returns those
    zeros as (first frame in the stream, frames, the number of the packet they stand before),
    and the frame at which each packet begins in the stream. Raises AssertionError where a
    packet is missing, changed or out of place, or the stream holds anything else. The stream
    may end inside a packet."""
    inserted, starts, at = [], [], 0
    for number, packet in enumerate(packets):
        if at >= len(audio):
            break
        if audio[at:at + len(packet)] != packet[:len(audio) - at]:
            # Only zeros can stand before the packet: as many as there are beyond its own.
            skip = zero_frames_at(audio, at) - zero_frames_at(packet, 0)
            if skip <= 0 or audio[at + skip * 8:at + skip * 8 + len(packet)] != \
                    packet[:len(audio) - at - skip * 8]:
                raise AssertionError(f"packet {number} of the engine's ({len(packet) // 8} "
                                     f"frames) is not in the stream at frame {at // 8}")
            inserted.append((at // 8, skip, number))
            at += skip * 8
        starts.append(at // 8)
        at += len(packet)
    if at < len(audio):
        rest = zero_frames_at(audio, at)
        if (len(audio) - at) // 8 != rest:
            raise AssertionError(f"the stream holds more than the engine handed out, from frame "
                                 f"{at // 8}")
        inserted.append((at // 8, rest, len(packets)))
    return inserted, starts


DATA_DISCONTINUITY = 0x1
# Where audio flows, lumbrook begins silence only once no packet has come for this long.
FLOW_BOUND_MS = 200


def why_zeros(packets, info, number):
    """Why lumbrook may write zeros of its own before packet `number`: the engine flagged it as
    following lost data ("lost"), or handed nothing out for longer than the flow bound before it
    ("held back"; "and broke off" where the tone does not go on from the packet before, as a
    sine obeys s[n+1] = 2 cos(w) s[n] - s[n-1], which lost audio breaks); None where it flowed.
    The stream's end, where no packet follows to judge by, counts as held back."""
    if number >= len(packets):
        return "held back"
    if number == 0 or info[number][0] & DATA_DISCONTINUITY:
        return "lost"
    if info[number][2] - info[number - 1][2] < FLOW_BOUND_MS - 1:
        return None
    k = 2 * math.cos(2 * math.pi * TONE_HZ / RATE)
    before, after = samples(packets[number - 1][-24:]), samples(packets[number][:8])
    broke = any(abs(after[c] - k * before[4 + c] + before[2 + c]) > 0.01 for c in (0, 1))
    return "held back and broke off" if broke else "held back"


def zeros_in_the_tone(audio, packets, info):
    """After the tone's first sound: the zeros lumbrook wrote of its own, as (frame in the
    stream, frames, why_zeros), and the engine's own zero runs of more than a frame, as (frame
    in the stream, frames)."""
    inserted, starts = line_up(audio, packets)
    sound = first_sound(audio) // 8
    ours = [(f, n, why_zeros(packets, info, k)) for f, n, k in inserted if f > sound]
    engine = [(begins + f, n) for begins, packet in zip(starts, packets)
              for f, n in harness.zero_runs(packet) if n > 1 and begins + f > sound]
    return ours, engine


def samples(audio):
    values = array.array("f")
    values.frombytes(audio[:len(audio) - len(audio) % 8])
    return values


def first_sound(audio):
    """The byte offset of the first frame that is not silent, or None."""
    values = samples(audio)
    for i, value in enumerate(values):
        if value != 0.0:
            return i // 2 * 8
    return None


def longest_silence(audio):
    """The longest run, in frames, of silent frames (both samples 0) longer than a millisecond:
    0 where there is none. A tone crosses zero on both channels at once at most now and then."""
    longest = max((frames for _, frames in harness.zero_runs(audio)), default=0)
    return longest if longest > RATE // 1000 else 0


def rate(chunks, start, end):
    """Bytes per second, as the least-squares slope of bytes received over arrival time between
    the two times: robust against the jitter of single arrivals."""
    points, total = [], 0
    for at, chunk in chunks:
        total += len(chunk)
        if start <= at <= end:
            points.append((at, total))
    if len(points) < 10:
        raise AssertionError(f"{len(points)} arrivals between the two times")
    mean_t = sum(t for t, _ in points) / len(points)
    mean_b = sum(b for _, b in points) / len(points)
    return (sum((t - mean_t) * (b - mean_b) for t, b in points)
            / sum((t - mean_t) ** 2 for t, _ in points))


def tone_report(audio):
    """The tone's frequency, level and defects, per channel, over the given audio."""
    values = samples(audio)
    report = {"frames": len(values) // 2}
    for channel, name in ((0, "left"), (1, "right")):
        s = values[channel::2]
        crossings = []
        for i in range(1, len(s)):
            if s[i - 1] < 0.0 <= s[i]:
                crossings.append(i - 1 + s[i - 1] / (s[i - 1] - s[i]))
        hz = (len(crossings) - 1) * RATE / (crossings[-1] - crossings[0]) if len(crossings) > 1 \
            else 0.0
        # A sine obeys s[n+1] = 2 cos(w) s[n] - s[n-1]; a lost, repeated or inserted sample
        # breaks it by far more than the engine's rounding does.
        k = 2 * math.cos(2 * math.pi * (hz or TONE_HZ) / RATE)
        jump = max((abs(s[i + 1] - k * s[i] + s[i - 1]) for i in range(1, len(s) - 1)),
                   default=0.0)
        zero_run = longest = 0
        for value in s:
            zero_run = zero_run + 1 if value == 0.0 else 0
            longest = max(longest, zero_run)
        report[name] = {"hz": hz, "peak": max(map(abs, s), default=0.0), "jump": jump,
                        "zero_run": longest}
    return report
