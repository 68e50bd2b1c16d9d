"""make fuzz: seeded random command lines for both programs, and every platform call failing
once in turn, under Wine with the simulated platform. Checks the invariants of every run and
prints the runs done and the violations found (0 to pass)."""
import argparse
import concurrent.futures
import json
import os
import random
import re
import subprocess
import sys
import tempfile

import procs
from procs import harness

LUMBROOK_USAGE = b"usage: lumbrook <exclude-pid>\r\n"
TESSVANE_USAGE = b"usage: tessvane <boost|normal> <pid|self> [pid ...]\r\n"
LINE_FORMATS = [
    r'\{"pid":(\d+),"applied":"none","error":"open_\d+"\}',
    r'\{"pid":(\d+),"applied":"none","status":"0x[0-9a-f]{8}"\}',
    r'\{"pid":(\d+),"applied":"(?:normal|above_normal|high|realtime)","status":"0x00000000"\}',
]
# Leaves room for the program's path in a command line of at most 32767 characters.
LONGEST = 32767 - 160

ZEROS = [0x30, 0x660, 0x6F0, 0x966, 0x9E6, 0xA66, 0xAE6, 0xB66, 0xC66, 0xCE6, 0xD66, 0xE50,
         0xED0, 0xF20, 0x1040, 0x17E0, 0x1810, 0xFF10]


# --- what the conversions must give ----------------------------------------------------------

def wide_digit(c):
    for zero in ZEROS:
        if zero <= ord(c) < zero + 10:
            return ord(c) - zero
    return -1


def wide_space(c):
    o = ord(c)
    return 9 <= o <= 13 or o in (0x20, 0x85, 0xA0) or (o > 0xFF and c.isspace())


def lumbrook_pid(text):
    i = 0
    while i < len(text) and wide_space(text[i]):
        i += 1
    negative = i < len(text) and text[i] == "-"
    if i < len(text) and text[i] in "+-":
        i += 1
    value = 0
    while i < len(text) and wide_digit(text[i]) >= 0:
        value = min(value * 10 + wide_digit(text[i]), 2**31)
        i += 1
    value = -value if negative else min(value, 2**31 - 1)
    return value & 0xFFFFFFFF


def tessvane_pid(text):
    text = text.lstrip(" \t\n\v\f\r")
    negative = text[:1] == "-"
    if text[:1] in ("+", "-"):
        text = text[1:]
    digits = re.match(r"[0-9]*", text).group()
    value = int(digits) if digits else 0
    if value > 0xFFFFFFFF:
        return 0xFFFFFFFF
    return (-value if negative else value) & 0xFFFFFFFF


# --- command lines ---------------------------------------------------------------------------

SPACES = [" ", "\t", "\n", "\v", "\f", "\r", "\x85", "\xa0", "\u3000", "\u2028", "\u1680",
          "\u200b", "\x1c"]
DIGITS = [chr(z + d) for z in ZEROS for d in range(10)] + ["\u0be7", "\u00b2", "\u2460"]


def random_unit(rng):
    pool = rng.random()
    if pool < 0.4:
        return chr(rng.randint(0x20, 0x7E))
    if pool < 0.5:
        return chr(rng.randint(1, 0x1F))
    if pool < 0.6:
        return rng.choice(['"', "\\", " ", "*", "?", "%"])
    if pool < 0.7:
        return chr(rng.randint(0x80, 0xFF))
    if pool < 0.8:
        return chr(rng.randint(0xD800, 0xDFFF))  # lone surrogates
    if pool < 0.9:
        return rng.choice(["\U0001F600", "\U00010000"])  # surrogate pairs
    return chr(rng.randint(0x100, 0xFFFD))


def random_argument(rng, ascii_only=False):
    kind = rng.random()
    if kind < 0.08:
        return ""
    if kind < 0.5:
        # Something number-like: blanks, a sign, digits of any script, trailing junk.
        lead = "".join(rng.choice(SPACES[:6] if ascii_only else SPACES)
                       for _ in range(rng.choice([0, 0, 1, 3])))
        sign = rng.choice(["", "", "+", "-", "+-", "- "])
        pool = "0123456789" if ascii_only else DIGITS
        count = rng.choice([1, 2, 5, 9, 10, 11, 20])
        digits = "".join(rng.choice(pool if rng.random() < 0.3 else "0123456789")
                         for _ in range(count))
        tail = "".join(random_unit(rng) for _ in range(rng.choice([0, 0, 1, 4])))
        text = lead + sign + digits + tail
    elif kind < 0.55:
        text = rng.choice(["self", "Self", "SELF", "self ", " self", "selfx"])
    elif kind < 0.58:
        text = "".join(rng.choice("0123456789 -+x") for _ in range(LONGEST))
    else:
        text = "".join(random_unit(rng) for _ in range(rng.randint(1, 40)))
    return text.encode("ascii", "replace").decode() if ascii_only else text


def quoted_length(argument):
    """Its length in a command line, quoted as the launcher quotes it."""
    if argument and not any(c in argument for c in ' \t\n\v"'):
        return len(argument)
    return len(argument) + 2 + argument.count('"') + 2 * argument.count("\\")


def fitting(program, arguments):
    """The arguments without the longest ones, until the command line fits the platform's
    limit of 32767 characters."""
    arguments = list(arguments)
    while len(program) + sum(quoted_length(a) + 1 for a in arguments) >= 32767:
        arguments.remove(max(arguments, key=len))
    return arguments


def argument_file(scratch, program, arguments):
    path = os.path.join(scratch, "arguments")
    with open(path, "wb") as out:
        out.write("\0".join([program] + arguments).encode("utf-16-le", "surrogatepass") + b"\0\0")
    return "@" + path


def run_with_arguments(program, arguments, env, timeout_ms=20000):
    with tempfile.TemporaryDirectory() as scratch:
        return harness.run(argument_file(scratch, program, arguments), [], env,
                           timeout_ms=timeout_ms)


def with_log(variable, env):
    scratch = tempfile.mkdtemp()
    env = dict(env, **{variable: os.path.join(scratch, "log")})
    return env, env[variable]


def read_log(path):
    """The simulation's log, which a program that never loaded it did not write."""
    try:
        with open(path, errors="replace") as text:
            return text.read().splitlines()
    except FileNotFoundError:
        return []
    finally:
        if os.path.exists(path):
            os.remove(path)
        os.rmdir(os.path.dirname(path))


# --- one run and its invariants --------------------------------------------------------------

def lumbrook_case(rng):
    arguments = fitting(harness.SIM_LUMBROOK,
                        [random_argument(rng) for _ in range(rng.choice([0, 1, 1, 1, 2, 3]))])
    env, log_path = with_log("SIM_AUDIO_LOG", {"SIM_AUDIO": "request 0x80070005"})
    result = run_with_arguments(harness.SIM_LUMBROOK, arguments, env)
    log = read_log(log_path)
    problems = []
    if result.crashed:
        problems.append("crashed")
    if not arguments:
        if (result.status, result.out, result.err) != (2, b"", LUMBROOK_USAGE):
            problems.append(f"usage run gave {result.status} {result.out!r} {result.err!r}")
    else:
        if (result.status, result.out, result.err) != (4, b"", b""):
            problems.append(f"gave {result.status} {result.out[:80]!r} {result.err[:200]!r}")
        requests = harness.lines_starting(log, "ActivateAudioInterfaceAsync")
        if not requests:
            problems.append("no activation request")
        else:
            pid = int.from_bytes(bytes.fromhex(requests[0].split()[-1])[4:8], "little")
            if pid != lumbrook_pid(arguments[0]):
                problems.append(f"pid {pid}, expected {lumbrook_pid(arguments[0])}")
    # Without an argument the program never loads the engine, which therefore logs nothing.
    if arguments and log[-1:] != [harness.ALL_RELEASED]:
        problems.append(f"left behind: {log[-1:]}")
    return "lumbrook", arguments, problems


def tessvane_arguments(rng):
    """A mode, targets (now and then very many) and the scheduler's rules."""
    mode = rng.choice(["boost", "boost", "normal", "normal", "BOOST", "", "boost ",
                       random_argument(rng)])
    count = rng.choice([0, 1, 1, 2, 3, 5]) if rng.random() < 0.95 else rng.randint(60, 200)
    targets = [random_argument(rng, ascii_only=rng.random() < 0.5) for _ in range(count)]
    targets = fitting(harness.SIM_TESSVANE + " " + mode, targets)
    arguments = [mode] + targets if rng.random() < 0.97 else []
    rules = "; ".join(f"refuse {c} 0x{rng.getrandbits(32):x}" for c in (2, 3, 4, 5)
                      if rng.random() < 0.4)
    return arguments, rules


def tessvane_case(rng):
    arguments, rules = tessvane_arguments(rng)
    mode, targets = (arguments + [""])[0], arguments[1:]
    env, log_path = with_log("SIM_GPU_LOG", {"SIM_GPU": rules})
    result = run_with_arguments(harness.SIM_TESSVANE, arguments, env)
    log = read_log(log_path)
    problems = []
    if result.crashed:
        problems.append("crashed")
    if len(arguments) < 2:
        if (result.status, result.out, result.err) != (2, b"", TESSVANE_USAGE):
            problems.append(f"usage run gave {result.status} {result.out!r} {result.err!r}")
    elif mode not in ("boost", "normal"):
        if (result.status, result.out, result.err) != (2, b"", b""):
            problems.append(f"unknown mode gave {result.status} {result.out[:80]!r}")
    else:
        problems += check_result_lines(result, targets, log)
    return "tessvane", arguments, problems


def check_result_lines(result, targets, log):
    problems = []
    if result.err != b"" or result.status not in (0, 1):
        problems.append(f"status {result.status}, stderr {result.err[:200]!r}")
    text = result.out.decode(errors="replace")
    if not text.endswith("\r\n") or "\n" in text.replace("\r\n", ""):
        return problems + [f"line ends: {text[:120]!r}"]
    lines = text.split("\r\n")[:-1]
    if len(lines) != len(targets):
        return problems + [f"{len(lines)} lines for {len(targets)} targets"]
    own = {line.split()[1] for line in log if " own=1 " in line}
    failed = False
    for line, target in zip(lines, targets):
        match = next((m for m in (re.fullmatch(f, line) for f in LINE_FORMATS) if m), None)
        if match is None:
            problems.append(f"malformed line {line!r}")
            continue
        json.loads(line)
        failed |= '"applied":"none"' in line
        pid = int(match.group(1))
        if target == "self":
            if f"pid={pid}" not in own:
                problems.append(f"self printed as {pid}")
        elif target.isascii() and pid != tessvane_pid(target):
            problems.append(f"target {target[:40]!r} printed as {pid}")
    if result.status != (1 if failed else 0):
        problems.append(f"exit {result.status} with failures={failed}")
    if "handles still open 0" not in log:
        problems.append("handles left open")
    return problems


# --- every platform call failing once --------------------------------------------------------

def fault_cases(sleeper_pid):
    """(name, program, args, env, expected status, extra check) for each injected failure."""
    tail = "tail 480"
    cases = [
        ("CoInitializeEx",
         dict(harness.PRELOAD_ENGINE, SIM_FAIL="CoInitializeEx:1", SIM_AUDIO=tail), 3),
        ("CreateEventW (completion event)", {"SIM_FAIL": "CreateEventW:1", "SIM_AUDIO": tail}, 4),
        ("CoCreateFreeThreadedMarshaler",
         {"SIM_FAIL": "CoCreateFreeThreadedMarshaler:1", "SIM_AUDIO": tail}, 0),
        ("LoadLibraryExW (mmdevapi)", {"SIM_FAIL": "LoadLibraryExW:1", "SIM_AUDIO": tail}, 4),
        ("GetProcAddress (ActivateAudioInterfaceAsync)",
         {"SIM_FAIL": "GetProcAddress:1", "SIM_AUDIO": tail}, 4),
        ("ActivateAudioInterfaceAsync", {"SIM_AUDIO": "request 0x80070005; " + tail}, 4),
        ("GetActivateResult", {"SIM_AUDIO": "result_call 0x80004005; " + tail}, 5),
        ("activation result", {"SIM_AUDIO": "result 0x88890004; " + tail}, 5),
        ("QueryInterface(IAudioClient)", {"SIM_AUDIO": "object other; " + tail}, 5),
        ("CreateEventW (stream event)", {"SIM_FAIL": "CreateEventW:2", "SIM_AUDIO": tail}, 6),
        ("Initialize", {"SIM_AUDIO": "initialize 0x88890008; " + tail}, 6),
        ("SetEventHandle", {"SIM_AUDIO": "set_event 0x80070057; " + tail}, 8),
        ("GetService", {"SIM_AUDIO": "service 0x80004002; " + tail}, 7),
        ("Start", {"SIM_AUDIO": "start 0x88890002; " + tail}, 8),
        # Once, as the engine now and then answers: the pump waits and takes the packet again.
        ("GetNextPacketSize",
         {"SIM_AUDIO": "packet 480 data; fail_size 0x8889000b; packet 480 data; " + tail}, 0),
        ("GetBuffer",
         {"SIM_AUDIO": "packet 480 data; fail_buffer 0x88890018; packet 480 data; " + tail}, 0),
        # For good: the stream is lost at once, or counts as stuck after five seconds.
        ("GetNextPacketSize, stream lost",
         {"SIM_AUDIO": "packet 480 data; lose size 0x88890004; " + tail}, 9),
        ("GetBuffer, stream lost", {"SIM_AUDIO": "packet 480 data; lose buffer 0x88890010; " + tail},
         9),
        ("ReleaseBuffer, stream lost",
         {"SIM_AUDIO": "packet 480 data; lose release 0x88890026; " + tail}, 9),
        ("ReleaseBuffer, buffer kept", {"SIM_AUDIO": "fail_release 0x80004005; " + tail}, 9),
        ("GetNextPacketSize, for good", {"SIM_AUDIO": "lose size 0x80004005; " + tail}, 9),
    ]
    for name, env, status in cases:
        yield "lumbrook", name, harness.SIM_LUMBROOK, ["42"], env, status
    target = str(sleeper_pid)
    yield "tessvane", "LoadLibraryExW", harness.SIM_TESSVANE, ["boost", "self"], \
        {"SIM_FAIL": "LoadLibraryExW:1"}, 1
    yield "tessvane", "GetProcAddress (Wine's gdi32)", harness.DIST_TESSVANE, ["boost", "self"], \
        {"WINEDLLOVERRIDES": "gdi32=b"}, 1
    yield "tessvane", "OpenProcess", harness.SIM_TESSVANE, ["boost", target, target], \
        {"SIM_FAIL": "OpenProcess:1"}, 1
    yield "tessvane", "D3DKMTSetProcessSchedulingPriorityClass", harness.SIM_TESSVANE, \
        ["boost", target], {"SIM_GPU": "refuse 5 0xc0000022; refuse 4 0xc0000022; "
                                      "refuse 3 0xc0000022"}, 1
    yield "tessvane", "CloseHandle", harness.SIM_TESSVANE, ["normal", target, "self"], \
        {"SIM_FAIL": "CloseHandle:1"}, 0


def run_fault(program_name, name, program, args, env, status):
    problems = []
    if program_name == "lumbrook":
        env, log_path = with_log("SIM_AUDIO_LOG", env)
        result = harness.run(program, args, env, take=3840 * 3, timeout_ms=30000)
        log = read_log(log_path)
        # An engine that failed to load made nothing and logs nothing.
        if log[-1:] != [harness.ALL_RELEASED] and not name.startswith("LoadLibraryExW"):
            problems.append(f"left behind: {log[-1:]}")
        if name == "CoCreateFreeThreadedMarshaler" and \
                not any("marshal_size_hr=0x8007000e" in line for line in log):
            problems.append("the handler's IMarshal did not report the missing marshaler")
        injected = {"GetNextPacketSize": "size_failures=1", "GetBuffer": "buffer_failures=1"}
        if name in injected and not any(injected[name] in line for line in log):
            problems.append("the failure was not injected")
        if status == 0 and len(result.out) != 3840 * 3:
            problems.append(f"streamed {len(result.out)} bytes")
    else:
        env, log_path = with_log("SIM_GPU_LOG", env)
        result = harness.run(program, args, env, timeout_ms=10000)
        read_log(log_path)
        lines = result.out.decode(errors="replace").split("\r\n")[:-1]
        if name in ("LoadLibraryExW", "GetProcAddress (Wine's gdi32)"):
            if lines != ['{"error":"api_missing"}']:
                problems.append(f"printed {lines}")
        elif name == "OpenProcess":
            if len(lines) != 2 or '"error":"open_5"' not in lines[0] or \
                    '"applied":"realtime"' not in lines[1]:
                problems.append(f"printed {lines}")
        elif len(lines) != len(args) - 1:
            problems.append(f"printed {lines}")
    if result.crashed:
        problems.append("crashed")
    if result.status != status:
        problems.append(f"exit {result.status}, expected {status}")
    if result.err:
        problems.append(f"stderr {result.err[:200]!r}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=20261209)
    options = parser.parse_args()
    rng = random.Random(options.seed)
    cases = [(lumbrook_case if i % 2 == 0 else tessvane_case, rng.getrandbits(64))
             for i in range(options.runs)]
    violations = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for program, arguments, problems in pool.map(
                lambda case: case[0](random.Random(case[1])), cases):
            if problems:
                shown = [a[:60] + f"...({len(a)})" if len(a) > 60 else a for a in arguments]
                violations.append(f"{program} {shown!r}: {'; '.join(problems)}")

    sleeper = subprocess.Popen(["wine", os.environ["PID_SLEEPER"], "120000"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        sleeper_pid = int(sleeper.stdout.readline())
        faults = list(fault_cases(sleeper_pid))
        for program_name, name, program, args, env, status in faults:
            problems = run_fault(program_name, name, program, args, env, status)
            print(f"fault {program_name} {name}: {'ok' if not problems else '; '.join(problems)}")
            violations += [f"fault {program_name} {name}: {p}" for p in problems]
    finally:
        sleeper.kill()
        sleeper.wait()
        sleeper.stdout.close()

    for violation in violations[:30]:
        print("violation:", violation)
    runs = options.runs + len(faults)
    print(f"fuzz: {runs} runs, {len(violations)} violations")
    print(f"{runs - len(violations)} passed, {len(violations)} failed")
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
