"""make soak: an hour of audio, unpaced, through the real lumbrook, from a seeded mix of data,
silent and empty packets with failing size queries and GetBuffer calls among them. A checker
verifies every byte against what the engine produced; lumbrook's resident memory at the end
must be within 256 KiB of its memory after the first minute of audio."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import procs
from procs import harness

BYTES_PER_SECOND = 48000 * 8
GROWTH_LIMIT_KIB = 256


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=3600, help="seconds of audio")
    parser.add_argument("--seed", type=int, default=20261209)
    options = parser.parse_args()
    total = options.seconds * BYTES_PER_SECOND
    first_minute = min(60, options.seconds) * BYTES_PER_SECOND

    with tempfile.TemporaryDirectory() as scratch:
        log = pathlib.Path(scratch, "engine.log")
        status = os.path.join(scratch, "status")
        env = dict(os.environ, SIM_AUDIO=f"period 0; mix {options.seed}", SIM_AUDIO_LOG=str(log))
        marker = str(700000 + options.seed % 1000)
        started = time.monotonic()
        program = subprocess.Popen(["wine", harness.LAUNCH, status, "0", "inherit",
                                    harness.SIM_LUMBROOK, marker], env=env,
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        checker = subprocess.Popen(["wine", procs.CHECKER, str(options.seed)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        pid = procs.linux_pid(harness.SIM_LUMBROOK, marker)
        copied, memory_at_minute = 0, None
        source = program.stdout.fileno()
        while copied < total:
            chunk = os.read(source, min(1 << 20, total - copied))
            if not chunk:
                break
            checker.stdin.write(chunk)
            copied += len(chunk)
            if memory_at_minute is None and copied >= first_minute:
                memory_at_minute = procs.memory_kib(pid, "VmRSS")
        memory_at_end = procs.memory_kib(pid, "VmRSS")
        checker.stdin.close()
        verdict = checker.stdout.read().decode().strip()
        checker.wait()
        program.stdout.close()
        gone = procs.wait_gone(pid)
        program.wait(timeout=30)
        elapsed = time.monotonic() - started
        exit_line = pathlib.Path(status).read_text().splitlines()[0]
        engine = [line for line in log.read_text(errors="replace").splitlines()
                  if line.startswith(("injected", "counts", "alive"))]

    growth = memory_at_end - memory_at_minute
    print(f"audio: {copied / BYTES_PER_SECOND:.0f} s ({copied} bytes) in {elapsed:.1f} s")
    print(f"checker: {verdict}")
    print(f"engine: {'; '.join(engine)}")
    print(f"lumbrook: {exit_line}, {gone * 1000:.0f} ms after the reader went"
          if gone is not None else f"lumbrook: {exit_line}, did not end")
    print(f"resident memory: {memory_at_minute} KiB after the first minute, "
          f"{memory_at_end} KiB at the end, growth {growth} KiB (limit {GROWTH_LIMIT_KIB})")
    verified = verdict.startswith(f"verified {total} first_difference -1")
    violations_free = any(line.endswith("violations=0") for line in engine)
    ok = (copied == total and verified and violations_free and growth <= GROWTH_LIMIT_KIB
          and exit_line == "exit 0")
    print(f"soak {'passed' if ok else 'FAILED'}: {copied} bytes verified"
          if verified else "soak FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
