"""The README's host examples, run as they stand against the simulated engine: they read whole
frames, start a new lumbrook after status 9 and end it by closing the pipe (in Node, through
the package)."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

HERE = pathlib.Path(__file__).resolve().parent
README = (HERE.parent / "README.md").read_text()
UNDER_WINE = str(HERE / "hosts" / "under_wine.sh")
PACKET = 480 * 8
WANT = PACKET * 5


def example(language):
    """The README's host example in that language."""
    hosts = README[README.index("### Hosts"):]
    return re.search(rf"```{language}\n(.*?)```", hosts, re.S).group(1)


class HostsTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.scratch.name, "engine.log")
        # The first run loses its stream after one packet; the next one streams on.
        marker = os.path.join(self.scratch.name, "first-run")
        os.environ.update(SIM_AUDIO_LOG=self.log, SIM_AUDIO=(
            f"first_run {marker}; packet 480 data; lose size 0x88890004; every_run; tail 480"))
        self.command = [UNDER_WINE, harness.SIM_LUMBROOK, "42"]

    def tearDown(self):
        for name in ("SIM_AUDIO_LOG", "SIM_AUDIO"):
            os.environ.pop(name)
        self.scratch.cleanup()

    def assert_restarted_once_and_ended_by_the_host(self, status, audio):
        first = harness.sample_bytes(1, PACKET)
        after = b"".join(harness.sample_bytes(seed, PACKET) for seed in range(1, 5))
        self.assertEqual(status, 0)
        self.assertGreaterEqual(len(audio), WANT)
        # The Node package fills the restart with silence; the Python host starts again at once.
        self.assertTrue(audio.startswith(first), "the first run's frames differ")
        zeros = next(iter(harness.zero_runs(audio[len(first):])), (0, 0))
        rest = audio[len(first) + (zeros[1] * 8 if zeros[0] == 0 else 0):]
        self.assertTrue(rest[:len(after)] == after, "the second run's frames differ")
        log = pathlib.Path(self.log).read_text().splitlines()
        self.assertEqual(len(harness.lines_starting(log, "Start")), 2)
        self.assertEqual(harness.lines_starting(log, "alive"), [harness.ALL_RELEASED] * 2)

    def test_python_host(self):
        namespace = {"__name__": "host"}
        exec(compile(example("python"), "README host (Python)", "exec"), namespace)
        parts = []

        def on_audio(frames):
            self.assertEqual(len(frames) % 8, 0)
            parts.append(frames)
            return sum(map(len, parts)) < WANT

        status = namespace["capture"](self.command, on_audio, pause=0.1)
        self.assert_restarted_once_and_ended_by_the_host(status, b"".join(parts))

    def test_node_host(self):
        # The example requires the package, as a host that installed it does.
        package = pathlib.Path(self.scratch.name, "node_modules", "lumbrook-tessvane")
        (package / "bin").mkdir(parents=True)
        manifest = HERE.parent / "node" / "package.json"
        for name in ["package.json", *json.loads(manifest.read_text())["files"]]:
            if not name.startswith("bin/"):
                shutil.copyfile(HERE.parent / "node" / name, package / name)
        shutil.copyfile(harness.DIST_LUMBROOK, package / "bin" / "lumbrook.exe")
        for name in json.loads(manifest.read_text()).get("dependencies", {}):
            shutil.copytree(HERE / "node" / "node_modules" / name, package.parent / name)
        host = os.path.join(self.scratch.name, "host.js")
        out = os.path.join(self.scratch.name, "audio")
        pathlib.Path(host).write_text(example("js"))
        # Enough for the silence between the runs and the second run's first packets.
        done = subprocess.run(["node", str(HERE / "hosts" / "drive.js"), host,
                               str(WANT + 3 * 48000 * 8), out,
                               UNDER_WINE], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_restarted_once_and_ended_by_the_host(int(done.stdout.strip()),
                                                         pathlib.Path(out).read_bytes())

if __name__ == "__main__":
    unittest.main()
