"""tessvane against the simulated GPU scheduler, and against Wine's gdi32, which lacks the
function."""
import json
import os
import re
import subprocess
import unittest

import harness

USAGE = b"usage: tessvane <boost|normal> <pid|self> [pid ...]\r\n"
LINE_FORMATS = [
    r'\{"pid":\d+,"applied":"none","error":"open_\d+"\}',
    r'\{"pid":\d+,"applied":"none","status":"0x[0-9a-f]{8}"\}',
    r'\{"pid":\d+,"applied":"(normal|above_normal|high|realtime)","status":"0x00000000"\}',
]


def result_lines(result):
    """The result lines, each checked for its CR LF ending and one of the exact formats."""
    text = result.out.decode()
    assert text.endswith("\r\n") and "\n" not in text.replace("\r\n", ""), repr(text)
    lines = text.split("\r\n")[:-1]
    for line in lines:
        assert any(re.fullmatch(f, line) for f in LINE_FORMATS), line
        json.loads(line)
    return lines


def calls(result):
    """(pid, class, status) of each call the scheduler saw, in order."""
    found = []
    for line in harness.lines_starting(result.log, "call"):
        fields = dict(item.split("=") for item in line.split()[1:])
        found.append((int(fields["pid"]), int(fields["class"]), fields["status"],
                      fields["access"], fields["own"]))
    return found


def own_pid(result):
    return calls(result)[0][0]


class CommandLineTest(unittest.TestCase):
    def test_usage_and_silent_refusals(self):
        for args, err in (([], USAGE), (["boost"], USAGE), (["BOOST", "self"], b""),
                          (["Boost", "1"], b""), (["boost ", "self"], b""), (["", "self"], b"")):
            with self.subTest(args=args):
                result = harness.tessvane(args)
                self.assertEqual(result.status, 2)
                self.assertEqual((result.out, result.err), (b"", err))
                self.assertEqual(calls(result), [])


class LadderTest(unittest.TestCase):
    CASES = [
        # mode, rules, classes tried, applied line's label or the none line's status, exit
        ("normal", "", [2], "normal", 0),
        ("boost", "", [5], "realtime", 0),
        ("boost", "refuse 5 0xc0000022", [5, 4], "high", 0),
        ("boost", "refuse 5 0xc0000022; refuse 4 0xc000000d", [5, 4, 3], "above_normal", 0),
        ("boost", "refuse 5 0xc0000001; refuse 4 0xc0000002; refuse 3 0xc00000bb",
         [5, 4, 3], "0xc00000bb", 1),
        ("boost", "refuse 5 0x1; refuse 4 0x2; refuse 3 0x103", [5, 4, 3], "0x00000103", 1),
        ("normal", "refuse 2 0xC0000022", [2], "0xc0000022", 1),
    ]

    def test_ladders(self):
        for mode, rules, tried, outcome, status in self.CASES:
            with self.subTest(mode=mode, rules=rules):
                result = harness.tessvane([mode, "self"], rules)
                self.assertEqual(result.status, status)
                self.assertEqual(result.err, b"")
                seen = calls(result)
                self.assertEqual([c[1] for c in seen], tried)
                self.assertTrue(all(c[4] == "1" for c in seen), seen)  # the own-process handle
                pid = own_pid(result)
                if outcome.startswith("0x"):
                    expected = f'{{"pid":{pid},"applied":"none","status":"{outcome}"}}'
                else:
                    expected = f'{{"pid":{pid},"applied":"{outcome}","status":"0x00000000"}}'
                self.assertEqual(result_lines(result), [expected])

    def test_wines_gdi32_lacks_the_function(self):
        result = harness.tessvane(["boost", "self", "1"], program=harness.DIST_TESSVANE,
                                  env={"WINEDLLOVERRIDES": "gdi32=b"})
        self.assertEqual(result.status, 1)
        self.assertEqual((result.out, result.err), (b'{"error":"api_missing"}\r\n', b""))


class TargetsTest(unittest.TestCase):
    def setUp(self):
        self.sleeper = subprocess.Popen(["wine", os.environ["PID_SLEEPER"], "60000"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pid = int(self.sleeper.stdout.readline())

    def tearDown(self):
        self.sleeper.kill()
        self.sleeper.wait()
        self.sleeper.stdout.close()

    def test_targets_in_argument_order(self):
        pid = self.pid
        args = ["boost", str(pid), "abc", "-1", "Self", f" \t+{pid}junk", "4294967296",
                "-4294967296", f"-{2**32 - pid}", "*", str(pid)]
        result = harness.tessvane(args, "refuse 5 0xc0000022")
        self.assertEqual(result.status, 1)
        applied = f'{{"pid":{pid},"applied":"high","status":"0x00000000"}}'
        self.assertEqual(result_lines(result), [
            applied,
            '{"pid":0,"applied":"none","error":"open_87"}',
            '{"pid":4294967295,"applied":"none","error":"open_87"}',
            '{"pid":0,"applied":"none","error":"open_87"}',
            applied,
            '{"pid":4294967295,"applied":"none","error":"open_87"}',
            '{"pid":4294967295,"applied":"none","error":"open_87"}',
            applied,
            '{"pid":0,"applied":"none","error":"open_87"}',  # no wildcard expansion
            applied,
        ])
        seen = calls(result)
        self.assertEqual([c[:3] for c in seen], [(pid, c, s) for _ in range(4)
                                                 for c, s in ((5, "0xc0000022"), (4, "0x00000000"))])
        # Every opened handle asked for set-information and limited query access (which grants
        # limited set-information too), and was closed again.
        for _, _, _, access, own in seen:
            self.assertEqual((int(access, 16) & ~0x2000, own), (0x1200, "0"))
        self.assertIn("handles still open 0", result.log)

    def test_all_targets_applied_exit_0(self):
        result = harness.tessvane(["normal", str(self.pid), "self"])
        self.assertEqual(result.status, 0)
        self.assertEqual(len(result_lines(result)), 2)

    def test_many_targets(self):
        result = harness.tessvane(["normal"] + ["self"] * 64 + [str(self.pid)] * 64)
        self.assertEqual(result.status, 0)
        self.assertEqual(len(result_lines(result)), 128)
        self.assertIn("handles still open 0", result.log)


if __name__ == "__main__":
    unittest.main()
