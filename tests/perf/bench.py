"""make bench: what lumbrook and tessvane cost, measured side by side with a baseline in the
same run, under Wine with the simulated platform. Prints min / median / max over the runs."""
import argparse
import os
import statistics
import subprocess
import sys
import time

import procs
from procs import harness, spread, Stream

BYTES_PER_SECOND = 48000 * 8


def streaming_cost(runs, seconds):
    """CPU seconds per second of audio at real-time pace, lumbrook and the floor side by side."""
    ours, floor = [], []
    for run in range(runs):
        pair = [Stream(harness.SIM_LUMBROOK, [f"9{run}1"], {"SIM_AUDIO": "tail 480"}),
                Stream(procs.FLOOR, [f"9{run}2"], {"SIM_AUDIO": "tail 480"})]
        try:
            for s in pair:
                s.wait_first_byte()
            time.sleep(1.0)
            before = [(procs.cpu_seconds(s.pid), s.count) for s in pair]
            time.sleep(seconds)
            after = [(procs.cpu_seconds(s.pid), s.count) for s in pair]
            for (cpu0, bytes0), (cpu1, bytes1), out in zip(before, after, (ours, floor)):
                out.append((cpu1 - cpu0) / ((bytes1 - bytes0) / BYTES_PER_SECOND))
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
    """Milliseconds from starting the process to its first byte: lumbrook, a trivial program
    that prints at once, and the same program after joining the COM apartment."""
    ours, trivial, com = [], [], []
    for run in range(runs):
        for program, args, env, out in (
                (harness.SIM_LUMBROOK, [f"7{run}1"], {"SIM_AUDIO": "tail 480"}, ours),
                (os.environ["PID_SLEEPER"], ["1000", f"7{run}2"], {}, trivial),
                (procs.COM_SLEEPER, ["1000", f"7{run}3"], {}, com)):
            s = Stream(program, args, env)
            try:
                out.append((s.wait_first_byte() - s.started) * 1000)
            finally:
                s.stop()
    return ours, trivial, com


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


def peak_memory(runs):
    """Peak resident KiB after streaming a while: lumbrook, a trivial program, the same program
    after joining the COM apartment, and the floor beside the same simulated engine."""
    ours, trivial, com, floor = [], [], [], []
    for run in range(runs):
        unpaced = {"SIM_AUDIO": "period 0; tail 480"}
        streams = [Stream(harness.SIM_LUMBROOK, [f"5{run}1"], unpaced),
                   Stream(os.environ["PID_SLEEPER"], ["5000", f"5{run}2"], {}),
                   Stream(procs.COM_SLEEPER, ["5000", f"5{run}3"], {}),
                   Stream(procs.FLOOR, [f"5{run}4"], unpaced)]
        try:
            for s in streams:
                s.wait_first_byte()
            time.sleep(2.0)
            for s, out in zip(streams, (ours, trivial, com, floor)):
                out.append(procs.memory_kib(s.pid))
        finally:
            for s in streams:
                s.stop()
    return ours, trivial, com, floor


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
    fmt = lambda values: "/".join(f"{v:.4g}" for v in spread(values))
    print(f"| {name} | {fmt(ours)} {unit} | {fmt(base) if base else '-'} | {compare} | "
          f"{target} | {'yes' if met else 'NO'} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=5.0)
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

    ours, trivial, com = first_byte(runs)
    for baseline, values, target in (("trivial program", trivial, 20),
                                     ("trivial program joining COM", com, None)):
        extra = statistics.median(ours) - statistics.median(values)
        row(f"start to first byte (baseline: {baseline})", ours, values, "ms",
            f"{extra:+.1f} ms", f"<= +{target} ms" if target else "(where the time goes)",
            target is None or extra <= target)

    for frames in (480, 1024):
        times = reader_gone(runs, frames)
        low, median, high = spread(times)
        row(f"reader gone to exit, {frames}-frame packets", times, None, "ms",
            f"median {median:.1f} ms, worst {high:.1f} ms", "median <= 30, worst <= 1100",
            median <= 30 and high <= 1100)

    ours, trivial, com, floor = peak_memory(runs)
    for baseline, values, target in (("trivial program", trivial, 2048),
                                     ("trivial program joining COM", com, None),
                                     ("floor beside the same engine", floor, None)):
        extra = statistics.median(ours) - statistics.median(values)
        row(f"peak resident memory (baseline: {baseline})", ours, values, "KiB",
            f"{extra:+.0f} KiB", f"<= +{target} KiB" if target else "(where the memory goes)",
            target is None or extra <= target)

    one, many = tessvane_targets(runs)
    per_target = (statistics.median(many) - statistics.median(one)) / 63 * 1000
    row("tessvane, 1 target (baseline: 64 targets)", one, many, "s",
        f"{per_target:.2f} ms per target", "-", True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
