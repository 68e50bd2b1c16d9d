"""make bench: what lumbrook and tessvane cost, measured side by side with a baseline in the
same run, under Wine with the simulated platform. Prints min / median / max over the runs."""
import argparse
import concurrent.futures
import os
import pathlib
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import procs
import real_engine
import wine_prefix
from procs import harness, spread, Stream

BYTES_PER_SECOND = 48000 * 8


def cpu_per_audio_second(streams, seconds, outs):
    """Appends to each list of `outs` the CPU seconds its stream spent per second of audio it
    wrote over `seconds`, measured side by side after a second of settling."""
    time.sleep(1.0)
    before = [(procs.cpu_seconds(s.pid), s.count) for s in streams]
    time.sleep(seconds)
    after = [(procs.cpu_seconds(s.pid), s.count) for s in streams]
    for (cpu0, bytes0), (cpu1, bytes1), out in zip(before, after, outs):
        out.append((cpu1 - cpu0) / ((bytes1 - bytes0) / BYTES_PER_SECOND))


def streaming_cost(runs, seconds):
    """CPU seconds per second of audio at real-time pace, lumbrook and the floor side by side."""
    ours, floor = [], []
    for run in range(runs):
        pair = [Stream(harness.SIM_LUMBROOK, [f"9{run}1"], {"SIM_AUDIO": "tail 480"}),
                Stream(procs.FLOOR, [f"9{run}2"], {"SIM_AUDIO": "tail 480"})]
        try:
            for s in pair:
                s.wait_first_byte()
            cpu_per_audio_second(pair, seconds, (ours, floor))
        finally:
            for s in pair:
                s.stop()
    return ours, floor


def throughput(runs, seconds):
    """MB/s with the engine unpaced, one program at a time, alternating."""
    ours, floor = [], []
    for run in range(runs):
        for program, out, tag in ((harness.SIM_LUMBROOK, ours, 1), (procs.FLOOR, floor, 2)):
            s = Stream(program, [f"8{run}{tag}"], {"SIM_AUDIO": "period 0; tail 480"})
            try:
                s.wait_first_byte()
                time.sleep(0.5)
                start, count = time.monotonic(), s.count
                time.sleep(seconds)
                out.append((s.count - count) / (time.monotonic() - start) / 1e6)
            finally:
                s.stop()
    return ours, floor


def first_byte(runs):
    """Milliseconds from starting the process to its first byte: lumbrook, and a trivial
    program that joins the COM apartment and prints at once."""
    ours, com = [], []
    for run in range(runs):
        for program, args, env, out in (
                (harness.SIM_LUMBROOK, [f"7{run}1"], {"SIM_AUDIO": "tail 480"}, ours),
                (procs.COM_SLEEPER, ["1000", f"7{run}3"], {}, com)):
            s = Stream(program, args, env)
            try:
                out.append((s.wait_first_byte() - s.started) * 1000)
            finally:
                s.stop()
    return ours, com


def reader_gone(runs, frames):
    """Milliseconds from the reader closing the pipe to lumbrook's end."""
    times = []
    for run in range(runs):
        s = Stream(harness.SIM_LUMBROOK, [f"6{run}{frames}"], {"SIM_AUDIO": f"tail {frames}"})
        try:
            s.wait_first_byte()
            time.sleep(0.3)
            gone = s.close_reader()
            times.append(gone * 1000 if gone is not None else float("inf"))
        finally:
            s.stop()
    return times


def reader_gone_in_silence(runs):
    """Milliseconds from the reader closing a Windows pipe to lumbrook's end, while the engine
    delivers nothing. The closes are spread over the pump's one-second poll."""
    times = []
    for run in range(runs):
        hosted = harness.hosted("anon", [f"sleep:{1500 + run * 1000 // runs}", "close",
                                         "end:20000"])
        ending = hosted.ending
        times.append(ending[2] if ending[:2] == ("exit", 0) else float("inf"))
    return times


def exit_9_after(script, event):
    """Milliseconds from the scripted moment of the engine's log line `event` to lumbrook's end
    with 9, on the engine's clock (infinite if it did not end so)."""
    result = harness.lumbrook(["42"], script)
    marked = harness.lines_starting(result.log, event)
    end = harness.lines_starting(result.log, "exit t=")
    if result.status != 9 or not marked or not end:
        return float("inf")
    return int(end[0].split("=")[1]) - int(re.search(r"scripted=(\d+)", marked[0]).group(1))


def lost_stream_to_exit(runs):
    """Milliseconds from the engine losing the stream (its calls fail for good from then on and
    it signals no more) to lumbrook's end, on the engine's clock."""
    return [exit_9_after(f"gap {1500 + run * 1000 // runs}; lose size 0x88890004", "lost")
            for run in range(runs)]


def dead_engine_to_exit(runs, client):
    """Milliseconds from the engine's death (it answers "no packet" for ever and fails GetBuffer,
    while its event keeps firing) to lumbrook's end, on the engine's clock, half of the runs
    dying in silence and half right after a packet; `client` is "" (Windows' loopback client)
    or "client wine"."""
    def script(run):
        before = "packet 480 data; " + (f"gap {1500 + run * 1000 // runs}; " if run % 2 else "")
        return f"{client}; {before}die 0x88890004; gap 1000; packet 480 data"
    return [exit_9_after(script(run), "died") for run in range(runs)]


def packet_latency(packets):
    """Milliseconds from the moment the engine makes each 10 ms packet ready to the moment its
    last byte is read by a Windows-side reader: lumbrook and the floor, side by side."""
    def latencies(program):
        hosted = harness.hosted("anon", ["stamps:3840", f"read:{3840 * packets}", "close",
                                         "end:3000"], "tail 480", program=program,
                                guard=packets / 100 + 120)
        start = harness.lines_starting(hosted.log, "start qpc=")[0].split()
        counter0, frequency = int(start[1].split("=")[1]), int(start[2].split("=")[1])
        # Packet k of the tail falls due k * 10 ms after the start.
        return [(stamp - counter0) * 1000 / frequency - k * 10
                for k, stamp in enumerate(hosted.stamps)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        ours, floor = pool.map(latencies, (harness.SIM_LUMBROOK, procs.FLOOR))
    return ours, floor


def real_engine_costs(runs, seconds):
    """On Wine's own engine over a real PulseAudio server playing a tone: CPU seconds per second
    of audio and milliseconds from start to first byte, lumbrook and the floor side by side;
    and milliseconds from the engine's loss (server killed, or its sink unloaded) to
    lumbrook's end with 9."""
    cpu, first = ([], []), ([], [])
    for run in range(runs):
        with real_engine.SoundServer() as server:
            server.play_tone()
            env = real_engine.engine_env(server)
            pair = [Stream(harness.SIM_LUMBROOK, [f"4{run}1"], env),
                    Stream(procs.FLOOR, [f"4{run}2"], env)]
            try:
                for s, out in zip(pair, first):
                    out.append((s.wait_first_byte(30) - s.started) * 1000)
                cpu_per_audio_second(pair, seconds, cpu)
            finally:
                for s in pair:
                    s.stop()
    lost = []
    faults = ("SIGKILL", "SIGTERM", "unload")
    for run in range(max(runs * 2, 10)):
        with real_engine.SoundServer() as server:
            server.play_tone()
            s = Stream(harness.SIM_LUMBROOK, [f"3{run}1"], real_engine.engine_env(server))
            try:
                s.wait_first_byte(30)
                time.sleep(0.5 + run % 5 * 0.1)
                fault = faults[run % len(faults)]
                if fault == "unload":
                    server.pactl("unload-module", server.module_of_sink("tone"))
                else:
                    server.kill(getattr(signal, fault))
                gone = procs.wait_gone(s.pid, 10.0)
                lost.append(gone * 1000 if gone is not None else float("inf"))
            finally:
                s.stop()
    return cpu, first, lost


def real_engine_delivery(seconds):
    """How late Wine's own engine over a PulseAudio server playing a tone hands its packets out:
    for each packet the floor took, milliseconds from its last frame (its time stamp and its
    length) to when it was taken; and the gaps between packets taken."""
    with tempfile.TemporaryDirectory() as scratch, real_engine.SoundServer() as server:
        server.play_tone()
        record = os.path.join(scratch, "times")
        s = Stream(procs.FLOOR, ["4999"], dict(real_engine.engine_env(server), FLOOR_TIMES=record))
        try:
            s.wait_first_byte(30)
            time.sleep(seconds)
        finally:
            s.stop()
        rows = [[int(v) for v in line.split()] for line in open(record) if line.count(" ") == 2]
    late = [(taken - stamp) / 10000 - frames / 48 for taken, stamp, frames in rows[50:] if stamp]
    gaps = [(b[0] - a[0]) / 10000 for a, b in zip(rows[50:], rows[51:])]
    return late, gaps


def real_engine_flow(seconds, busy=2):
    """Zeros inside `seconds` of a tone from Wine's own engine over a PulseAudio server, with
    `busy` loops beside it: those lumbrook wrote of its own into flowing audio, those it wrote
    where the engine held the tone back past the flow bound or flagged lost data (with how many
    of those where the tone broke off: audio the engine lost), and those the engine handed out
    itself (frames, runs each); and the gaps between the engine's hand-outs (ms)."""
    with procs.BusyLoops(busy), real_engine.SoundServer() as server:
        server.play_tone(seconds + 60)
        run = real_engine.Streaming(server, guard_ms=int(seconds * 1000) + 120000)
        try:
            run.wait_for_tone(seconds, guard=seconds + 60)
            audio = run.audio()
            info = []
            packets = real_engine.read_tap(run.tap, info)
        finally:
            run.finish()
    ours, engine_runs = real_engine.zeros_in_the_tone(audio, packets, info)
    flowing = [n for _, n, reason in ours if reason is None]
    kept = [n for _, n, reason in ours if reason is not None]
    broke = [n for _, n, reason in ours if reason and reason != "held back"]
    engine = [n for _, n in engine_runs]
    handed = [at for _, _, at in info]
    gaps = [b - a for a, b in zip(handed[50:], handed[51:])]
    count = lambda runs: (sum(runs), len(runs))
    return count(flowing), count(kept), len(broke), count(engine), gaps


def gap_fill_errors(gaps):
    """Milliseconds by which the zeros written for each stretch without packets miss the
    engine's own gap: 20 gaps of 0.1 to 3 s between bursts of tone, with exact stamps and with
    stamps jittered by +-0.5 ms, side by side."""
    tone = ";".join(["packet 480 data"] * 20)
    script = ";".join(f"{tone}; gap {ms}" for ms in gaps) + f"; {tone}"
    audio_bytes = (len(gaps) + 1) * 20 * 3840 + sum(gaps) * 384

    def errors(setting):
        result = harness.lumbrook(["42"], f"{setting}; {script}; tail 480", take=audio_bytes,
                                  timeout_ms=(sum(gaps) + 60000))
        runs = [frames for _, frames in harness.zero_runs(result.out)]
        if result.status != 0 or len(runs) != len(gaps):
            return [float("inf")]
        return [abs(frames / 48 - ms) for frames, ms in zip(runs, gaps)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        return list(pool.map(errors, ("", "jitter 500")))


def inserted_zeros(seconds):
    """Zero frames within back-to-back 10 ms packets, the device clock 300 ppm slow and fast
    against the counter, side by side (None where the stream fell short)."""
    def zeros(setting):
        packets = int(seconds * 100)
        result = harness.lumbrook(["42"], f"{setting}; tail 480", take=3840 * packets,
                                  timeout_ms=int(seconds * 1000) + 60000)
        if len(result.out) != 3840 * packets:
            return None
        return sum(frames for _, frames in harness.zero_runs(result.out))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        return list(pool.map(zeros, ("ppm 300", "ppm -300")))


def silence_costs(runs, seconds):
    """While nothing plays: the intervals between lumbrook's writes (ms, from a Windows-side
    reader's clock), and CPU seconds per second of silence beside CPU seconds per second of
    10 ms packets, in the same run."""
    intervals, silent, packets = [], [], []
    for run in range(runs):
        pair = [Stream(harness.SIM_LUMBROOK, [f"2{run}1"], {"SIM_AUDIO": ""}),
                Stream(harness.SIM_LUMBROOK, [f"2{run}2"], {"SIM_AUDIO": "tail 480"})]
        try:
            for s in pair:
                s.wait_first_byte()
            cpu_per_audio_second(pair, seconds, (silent, packets))
        finally:
            for s in pair:
                s.stop()
        hosted = harness.hosted("anon", ["stamps:3840", f"read:{int(BYTES_PER_SECOND * seconds)}",
                                         "close", "end:20000"])
        counter = [stamp for i, stamp in enumerate(hosted.stamps) if i == 0
                   or stamp != hosted.stamps[i - 1]]
        frequency = int(harness.lines_starting(hosted.log, "start qpc=")[0]
                        .split()[2].split("=")[1])
        intervals += [(b - a) * 1000 / frequency for a, b in zip(counter, counter[1:])]
    return intervals, silent, packets


def silence_after_a_sound(runs):
    """Where a sound stops (three seconds of 10 ms packets on time, then two of nothing): ms from
    when the last packet fell due to when the first silence reached a Windows-side reader, and
    how far behind real time the silence's 10 ms then reached it, against the sound's."""
    first, trail = [], []
    sound, gap_ms = 300, 2000
    script = ";".join(["packet 480 data"] * sound) + f"; gap {gap_ms}; packet 480 data; tail 480"
    for _ in range(runs):
        hosted = harness.hosted("anon", ["stamps:3840", f"read:{3840 * (sound + gap_ms // 10)}",
                                         "close", "end:20000"], script)
        start = harness.lines_starting(hosted.log, "start qpc=")[0].split()
        counter0, frequency = int(start[1].split("=")[1]), int(start[2].split("=")[1])
        late = [(stamp - counter0) / frequency * 1000 - (k + 1) * 10
                for k, stamp in enumerate(hosted.stamps)]
        # Packet k falls due 10 (k + 1) ms after an origin of the engine's own, which the least
        # late of the sound's reads shows.
        origin = min(late[:sound])
        first.append(late[sound] + 10 - origin)
        trail.append(statistics.median(late[sound + 30:]) - statistics.median(late[:sound]))
    return first, trail


def reader_gone_in_silence_linux(runs):
    """Milliseconds from a Linux pipe's reader closing to lumbrook's end while nothing plays."""
    times = []
    for run in range(runs):
        s = Stream(harness.SIM_LUMBROOK, [f"1{run}1"], {"SIM_AUDIO": ""})
        try:
            s.wait_first_byte()
            time.sleep(0.3 + run % 5 * 0.013)
            gone = s.close_reader()
            times.append(gone * 1000 if gone is not None else float("inf"))
        finally:
            s.stop()
    return times


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def peak_memory(runs):
    """Peak resident KiB after streaming a while: lumbrook, a trivial program that joins the
    COM apartment, and the floor beside the same simulated engine."""
    ours, com, floor = [], [], []
    for run in range(runs):
        unpaced = {"SIM_AUDIO": "period 0; tail 480"}
        streams = [Stream(harness.SIM_LUMBROOK, [f"5{run}1"], unpaced),
                   Stream(procs.COM_SLEEPER, ["5000", f"5{run}3"], {}),
                   Stream(procs.FLOOR, [f"5{run}4"], unpaced)]
        try:
            for s in streams:
                s.wait_first_byte()
            time.sleep(2.0)
            for s, out in zip(streams, (ours, com, floor)):
                out.append(procs.memory_kib(s.pid))
        finally:
            for s in streams:
                s.stop()
    return ours, com, floor


def tessvane_targets(runs):
    """Seconds for a run with 1 target and with 64, each a live process to open and close."""
    sleeper = Stream(os.environ["PID_SLEEPER"], ["600000", "4242"], {})
    try:
        sleeper.wait_first_byte()
        target = str(int(sleeper.first_line()))
        one, many = [], []
        for run in range(runs):
            for count, out in ((1, one), (64, many)):
                start = time.monotonic()
                result = harness.tessvane(["normal"] + [target] * count)
                out.append(time.monotonic() - start)
                assert result.status == 0, result
        return one, many
    finally:
        sleeper.stop()


def row(name, ours, base, unit, compare, target, met):
    fmt = lambda values: "/".join(f"{v:.4g}" if abs(v) < 1000 else f"{v:.0f}"
                                  for v in spread(values))
    print(f"| {name} | {fmt(ours)} {unit} | {fmt(base) if base else '-'} | {compare} | "
          f"{target} | {'yes' if met else 'NO'} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--flow-minutes", type=float, default=10.0,
                        help="length of the back-to-back run that must get no zeros")
    parser.add_argument("--clock-minutes", type=float, default=5.0,
                        help="the capture's clock against a device 300 ppm off, each way")
    parser.add_argument("--track-minutes", type=float, default=10.0,
                        help="length of the capture to a track in Chromium, for its memory")
    options = parser.parse_args()
    runs, seconds = options.runs, options.seconds
    print(f"runs: {runs}; figures are min/median/max")
    print("| measure | lumbrook | baseline | comparison (medians) | target | met |")
    print("|---|---|---|---|---|---|")

    ours, floor = streaming_cost(runs, seconds)
    ratio = statistics.median(ours) / statistics.median(floor)
    row("CPU s per s of audio, 10 ms packets (baseline: floor)", ours, floor, "",
        f"ratio {ratio:.2f}", "<= 1.2", ratio <= 1.2)

    ours, floor = throughput(runs, min(seconds, 3.0))
    ratio = statistics.median(ours) / statistics.median(floor)
    row("throughput unpaced (baseline: floor)", ours, floor, "MB/s", f"ratio {ratio:.2f}",
        ">= 0.9", ratio >= 0.9)

    # Under Wine a program that joins the COM apartment already starts later and holds more
    # than one that does not: start-up and memory are compared with the COM-joining trivial
    # program, and memory with the floor beside the same engine.
    ours, com = first_byte(runs)
    extra = statistics.median(ours) - statistics.median(com)
    row("start to first byte (baseline: trivial program joining COM)", ours, com, "ms",
        f"{extra:+.1f} ms", "<= +20 ms", extra <= 20)

    for frames in (480, 1024):
        times = reader_gone(runs, frames)
        low, median, high = spread(times)
        row(f"reader gone to exit, {frames}-frame packets", times, None, "ms",
            f"median {median:.1f} ms, worst {high:.1f} ms", "median <= 30, worst <= 1100",
            median <= 30 and high <= 1100)

    for name, times in (("Windows", reader_gone_in_silence(max(runs * 2, 10))),
                        ("Linux", reader_gone_in_silence_linux(max(runs * 2, 10)))):
        low, median, high = spread(times)
        row(f"reader gone to exit, silence ({name} pipe)", times, None, "ms",
            f"median {median:.0f} ms, worst {high:.0f} ms", "median <= 600, worst <= 1100",
            median <= 600 and high <= 1100)

    # The stream keeps time: gaps filled from the engine's stamps, nothing inserted into audio
    # that flows, silence written in small steps at no more cost than packets.
    gaps = [100 + (3000 - 100) * i // 19 for i in range(20)]
    exact, jittered = gap_fill_errors(gaps)
    row("gap fill error, 20 gaps of 0.1 to 3 s, exact stamps", exact, None, "ms",
        f"worst {max(exact):.2f} ms", "worst <= 1", max(exact) <= 1)
    row("gap fill error, 20 gaps of 0.1 to 3 s, stamps jittered +-0.5 ms", jittered, None,
        "ms", f"worst {max(jittered):.2f} ms", "worst <= 1.5", max(jittered) <= 1.5)
    slow, fast = inserted_zeros(options.flow_minutes * 60)
    print(f"| zeros inserted in {options.flow_minutes:g} min of back-to-back 10 ms packets "
          f"| {slow} frames (device 300 ppm slow), {fast} frames (300 ppm fast) | - | - | 0 | "
          f"{'yes' if slow == 0 and fast == 0 else 'NO'} |")
    intervals, silent, packets = silence_costs(runs, seconds)
    p99 = percentile(intervals, 0.99)
    print(f"| silence: interval between writes, {len(intervals)} intervals | "
          f"p50 {percentile(intervals, 0.5):.1f} ms, p99 {p99:.1f} ms, max {max(intervals):.1f} ms "
          f"| - | - | p99 <= 25 ms | {'yes' if p99 <= 25 else 'NO'} |")
    ratio = statistics.median(silent) / statistics.median(packets)
    row("CPU s per s of silence (baseline: 10 ms packets, same run)", silent, packets, "",
        f"ratio {ratio:.2f}", "<= 1.0", ratio <= 1.0)

    first, trail = silence_after_a_sound(runs)
    row("sound's end: the last packet due to the first silence read (then the silence's 10 ms "
        "behind real time, against the sound's)", first, trail, "ms",
        f"median {statistics.median(first):.0f} ms, then {statistics.median(trail):+.1f} ms",
        "200 <= first <= 230", 200 <= min(first) and max(first) <= 230)

    times = lost_stream_to_exit(max(runs * 2, 10))
    row("stream lost to exit 9 (engine's clock)", times, None, "ms",
        f"worst {max(times):.0f} ms", "worst <= 1100", max(times) <= 1100)

    for name, client in (("Windows' loopback client", ""), ("Wine's client", "client wine")):
        times = dead_engine_to_exit(max(runs * 2, 10), client)
        row(f"dead engine to exit 9, {name} (engine's clock)", times, None, "ms",
            f"worst {max(times):.0f} ms", "worst <= 1100", max(times) <= 1100)

    ours, floor = packet_latency(3000)
    ours99, floor99 = percentile(ours, 0.99), percentile(floor, 0.99)
    print(f"| packet ready to read, 10 ms packets, {len(ours)} and {len(floor)} packets "
          f"(baseline: floor) | p50 {percentile(ours, 0.5):.2f} ms, p99 {ours99:.2f} ms | "
          f"p50 {percentile(floor, 0.5):.2f} ms, p99 {floor99:.2f} ms | "
          f"p99 {ours99 - floor99:+.2f} ms | p99 <= floor + 1 ms | "
          f"{'yes' if ours99 <= floor99 + 1 and len(ours) >= 3000 else 'NO'} |")

    ours, com, floor = peak_memory(runs)
    for baseline, values, target in (("trivial program joining COM", com, 4096),
                                     ("floor beside the same engine", floor, 256)):
        extra = statistics.median(ours) - statistics.median(values)
        row(f"peak resident memory (baseline: {baseline})", ours, values, "KiB",
            f"{extra:+.0f} KiB", f"<= +{target} KiB", extra <= target)

    wine_prefix.main("real")
    cpu, first, lost = real_engine_costs(runs, seconds)
    ratio = statistics.median(cpu[0]) / statistics.median(cpu[1])
    row("real engine: CPU s per s of audio (baseline: floor)", *cpu, "", f"ratio {ratio:.2f}",
        "<= 1.2", ratio <= 1.2)
    extra = statistics.median(first[0]) - statistics.median(first[1])
    row("real engine: start to first byte (baseline: floor)", *first, "ms",
        f"{extra:+.0f} ms", "-", True)
    row("real engine: engine lost to exit 9 (server killed or sink unloaded)", lost, None,
        "ms", f"worst {max(lost):.0f} ms", "worst <= 1100", max(lost) <= 1100)

    late, gaps = real_engine_delivery(seconds * 4)
    print(f"| real engine: packets taken after their last frame; gaps between them (floor, "
          f"{len(late)} packets) | p50 {percentile(late, 0.5):.1f} ms, p99 "
          f"{percentile(late, 0.99):.1f} ms, max {max(late):.1f} ms; gaps p50 "
          f"{percentile(gaps, 0.5):.1f} ms, p99 {percentile(gaps, 0.99):.1f} ms, max "
          f"{max(gaps):.1f} ms | - | - | - | - |")

    flowing, kept, broke, engine, gaps = real_engine_flow(options.flow_minutes * 60)
    print(f"| real engine: zeros in {options.flow_minutes:g} min of a tone, two busy loops beside "
          f"it: lumbrook's inside flowing audio; where the engine held it back past the 200 ms "
          f"bound or flagged lost data (of which the tone broke off); the engine's own (frames, "
          f"runs) | {flowing[0]}, {flowing[1]}; {kept[0]}, {kept[1]} ({broke}); {engine[0]}, "
          f"{engine[1]} | - | gaps between hand-outs p50 {percentile(gaps, 0.5):.1f} ms, p99 "
          f"{percentile(gaps, 0.99):.1f} ms, p99.9 {percentile(gaps, 0.999):.1f} ms, max "
          f"{max(gaps):.1f} ms | 0 inside flowing audio | {'yes' if flowing[0] == 0 else 'NO'} |")

    # The Node package's path to a renderer's track, in Chromium (its own table rows).
    sys.stdout.flush()
    # The package's dependency, as the tests install it, for the package in the tree.
    node_path = pathlib.Path(__file__).parents[1] / "node" / "node_modules"
    subprocess.run(["node", str(pathlib.Path(__file__).with_name("track_bench.js")),
                    str(options.track_minutes), str(seconds * 2), str(options.clock_minutes)],
                   check=True, env=dict(os.environ, NODE_PATH=str(node_path)))

    one, many = tessvane_targets(runs)
    per_target = (statistics.median(many) - statistics.median(one)) / 63 * 1000
    row("tessvane, 1 target (baseline: 64 targets)", one, many, "s",
        f"{per_target:.2f} ms per target", "-", True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
