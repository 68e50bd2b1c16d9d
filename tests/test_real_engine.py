"""lumbrook against Wine's own audio engine over a real PulseAudio server, which each test starts
and stops itself: a tone arrives intact, also through the engine's conversion; a server that
dies or a sink that goes ends the run with 9; a default-sink switch does not end it; and the
README's Python host starts a new lumbrook once the server is back."""
import os
import pathlib
import re
import signal
import subprocess
import threading
import sys
import time
import unittest

import harness
import real_engine
from real_engine import BYTES_PER_SECOND, SoundServer, Streaming

HERE = pathlib.Path(__file__).resolve().parent
GUARD = 30.0  # a hang guard for each wait, far beyond what each takes


class RealEngineTest(unittest.TestCase):
    def stream(self, server):
        run = Streaming(server)
        self.addCleanup(run.finish)
        return run

    def assert_tone(self, audio, what, engine_zeros=()):
        """The tone's rate, level and continuity; where the engine itself handed out zeros or
        lost audio (`engine_zeros`), only its level: such a stretch breaks the tone's phase,
        not ours."""
        report = real_engine.tone_report(audio)
        if engine_zeros:
            print(f"{what}: the engine's zeros or losses inside the tone, (frame, frames) "
                  f"{list(engine_zeros)[:10]}; its tone is not judged", file=sys.stderr)
        for name in ("left", "right"):
            if engine_zeros:
                self.assertLessEqual(report[name]["peak"], real_engine.TONE_LEVEL * 1.01)
                continue
            channel = report[name]
            self.assertLess(abs(channel["hz"] - real_engine.TONE_HZ), 1.0, (what, report))
            self.assertLess(abs(channel["peak"] / real_engine.TONE_LEVEL - 1), 0.01,
                            (what, report))
            self.assertLess(channel["jump"], 0.01, (what, "a phase jump", report))
            self.assertLessEqual(channel["zero_run"], 1, (what, "zeros in the tone", report))

    def test_a_tone_arrives_intact(self):
        # As the sink mixes it, and through the engine's conversion from a 16-bit 44.1 kHz sink:
        # the stream is float 48 kHz either way.
        for sink_format, sink_rate in (("float32le", 48000), ("s16le", 44100)):
            with self.subTest(sink=f"{sink_format} {sink_rate}"), SoundServer(
                    sink_format, sink_rate) as server:
                server.play_tone()
                run = self.stream(server)
                run.wait_for_tone(7.0, guard=GUARD)
                audio = run.audio()
                start = real_engine.first_sound(audio) + BYTES_PER_SECOND // 2
                end = start + 6 * BYTES_PER_SECOND
                engine_zeros = self.assert_nothing_inserted(audio, run, sink_format)
                self.assert_tone(audio[start:end], sink_format,
                                 [(f, n) for f, n in engine_zeros if start <= f * 8 < end])
                # The rate over the same stretch, from when the bytes arrived.
                sound_at = next(at for at, _ in _arrivals(run.chunks, start))
                last_at = run.chunks[-1][0]
                self.assertGreaterEqual(last_at - sound_at, 5.0)
                measured = real_engine.rate(run.chunks, sound_at, last_at)
                self.assertLess(abs(measured / BYTES_PER_SECOND - 1), 0.01, measured)
                self.assertEqual([len(c) % 8 for _, c in run.chunks if len(c) % 8], [])
                gone = run.close()
                self.assertEqual(run.status(), 0)
                self.assertLess(gone, 15.0)  # a hang guard; the bench measures it
                self.assertNotIn(b"wine: Unhandled", run.err)

    def assert_nothing_inserted(self, audio, run, what):
        """Every packet the engine handed out is in the stream, whole and in order, and from the
        tone's first sound on lumbrook wrote zeros of its own only where the engine flagged lost
        data or handed nothing out for longer than the flow bound (a machine that starves its
        server or its reading thread so long makes it lose audio: Wine's server holds no more
        than the stream's buffer). Returns those, and the engine's own zero runs there, as
        (frame in the stream, frames)."""
        info = []
        packets = real_engine.read_tap(run.tap, info)
        ours, engine = real_engine.zeros_in_the_tone(audio, packets, info)
        kept = [(f, n, why) for f, n, why in ours if why]
        if kept:
            print(f"{what}: lumbrook kept the stream's time where the engine held audio back or "
                  f"lost it: (frame, frames, why) {kept[:10]}", file=sys.stderr)
        self.assertEqual([(f, n) for f, n, why in ours if not why], [],
                         (what, "zeros of lumbrook's own inside the tone"))
        return engine + [(f, n) for f, n, _ in kept]

    def test_a_lost_engine_ends_the_run_with_9(self):
        faults = {
            "SIGTERM": lambda server: server.kill(signal.SIGTERM),
            "SIGKILL": lambda server: server.kill(signal.SIGKILL),
            "sink unloaded": lambda server: server.pactl(
                "unload-module", server.module_of_sink("tone")),
        }
        for fault, cause in faults.items():
            with self.subTest(fault=fault), SoundServer() as server:
                server.play_tone()
                run = self.stream(server)
                run.wait_for_tone(1.0, guard=GUARD)
                cause(server)
                run.wait_exit(guard=GUARD)
                self.assertEqual(run.status(), 9, run.err)
                self.assertNotIn(b"wine: Unhandled", run.err)

    def test_a_default_sink_switch_keeps_the_stream(self):
        with SoundServer() as server:
            server.pactl("load-module", "module-null-sink", "sink_name=other", "rate=48000",
                         "channels=2", "format=float32le")
            server.play_tone()
            run = self.stream(server)
            run.wait_for_tone(1.0, guard=GUARD)
            switched_at, switched = time.monotonic(), run.received
            server.pactl("set-default-sink", "other")
            # The engine hands out nothing for a while (Wine's stamps showed 1.5 s) and then
            # what it holds, late and at once; the stream keeps its time all the same. Nothing
            # is lost: the bytes never fall behind real time by more than the lag and a busy
            # machine's delay. A packet handed out late is written whole, so the stream may run
            # late by what the engine handed out late (at most its 200 ms buffer for each of a
            # few such hand-outs) until the next pause: it may run ahead of real time by that.
            run.wait_for(lambda r: r.chunks[-1][0] >= switched_at + 8.0, GUARD,
                         "8 s of stream after the switch")
            last_at = run.chunks[-1][0]
            elapsed, received = last_at - switched_at, run.received - switched
            self.assertGreaterEqual(received, (elapsed - 0.5) * BYTES_PER_SECOND, elapsed)
            self.assertLessEqual(received, (elapsed + 0.6) * BYTES_PER_SECOND, elapsed)
            self.assertEqual([len(c) % 8 for _, c in run.chunks if len(c) % 8], [])
            # Zeros of lumbrook's own only where the engine held the tone back past the bound.
            self.assert_nothing_inserted(run.audio(), run, "sink switch")
            run.close()
            self.assertEqual(run.status(), 0)

    def test_the_readme_host_restarts_lumbrook_once_the_server_is_back(self):
        readme = (HERE.parent / "README.md").read_text()
        hosts = readme[readme.index("### Hosts"):]
        namespace = {"__name__": "host"}
        exec(compile(re.search(r"```python\n(.*?)```", hosts, re.S).group(1),
                     "README host (Python)", "exec"), namespace)
        first, second = SoundServer().start(), SoundServer()
        self.addCleanup(first.stop)
        self.addCleanup(second.stop)
        saved = {name: os.environ.get(name) for name in real_engine.engine_env(first)}
        self.addCleanup(lambda: [os.environ.pop(k) if v is None else os.environ.update({k: v})
                                 for k, v in saved.items()])
        os.environ.update(real_engine.engine_env(first))
        first.play_tone()
        # A hang guard: ends every Wine process of the prefix, so the host returns.
        guard = threading.Timer(120, subprocess.run, [["wineserver", "-k"]],
                                {"env": dict(os.environ, WINEPREFIX=real_engine.REAL_PREFIX)})
        guard.start()
        self.addCleanup(guard.cancel)
        after = bytearray()
        state = {"lost": False}

        def on_audio(frames):
            self.assertEqual(len(frames) % 8, 0)
            if not state["lost"]:
                if real_engine.first_sound(frames) is None:
                    return True
                # Sound from the first server: it dies, and a second one takes its place.
                state["lost"] = True
                first.kill(signal.SIGKILL)
                second.start()
                second.play_tone()
                os.environ.update(real_engine.engine_env(second))
                return True
            after.extend(frames)
            # The pipe holds at most 64 KiB of the first run's tone; then come the silence a
            # dead engine passes for until its check, and the new lumbrook's silence until its
            # first packet. A whole second of tone at the end can only be the new lumbrook's.
            return (len(after) < 1.5 * BYTES_PER_SECOND
                    or real_engine.longest_silence(bytes(after[-BYTES_PER_SECOND:])) > 0)

        status = namespace["capture"]([str(HERE / "hosts" / "under_wine.sh"),
                                       harness.SIM_LUMBROOK, "42"], on_audio, pause=0.5)
        self.assertEqual(status, 0)
        self.assertTrue(state["lost"])
        self.assert_tone(bytes(after[-BYTES_PER_SECOND:]), "the second run")


def _arrivals(chunks, offset):
    """The (time, chunk) pairs from the one that holds byte `offset` on."""
    total = 0
    for at, chunk in chunks:
        total += len(chunk)
        if total > offset:
            yield at, chunk


if __name__ == "__main__":
    unittest.main()
