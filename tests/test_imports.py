"""The shipped programs load nothing but system DLLs, and those from System32 only: a DLL of
the same name planted beside a program is never loaded."""
import os
import subprocess
import unittest

import harness

# Known DLLs: the loader maps these from System32 whatever the search order.
KNOWN = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "ntdll.dll"}


def imported_dlls(program):
    dump = subprocess.run([os.environ["OBJDUMP"], "-p", program], check=True,
                          capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
            if line.strip().startswith("DLL Name:")}


class ImportsTest(unittest.TestCase):
    def test_only_known_dlls(self):
        for program, expected in ((harness.DIST_LUMBROOK, KNOWN),
                                  (harness.DIST_TESSVANE, {"kernel32.dll", "msvcrt.dll"})):
            with self.subTest(program=os.path.basename(program)):
                self.assertEqual(imported_dlls(program), expected)


class PlantedDllTest(unittest.TestCase):
    """The test copies of the programs stand beside an mmdevapi.dll and a gdi32.dll that say so
    on standard error when loaded; the programs reach the simulated ones in System32."""

    def test_lumbrook_streams_from_the_system_engine(self):
        result = harness.lumbrook(["42"], "tail 480", take=3840 * 2)
        self.assertNotIn(b"planted", result.err)
        self.assertEqual(result.status, 0)
        self.assertTrue(result.out == harness.sample_bytes(1, 3840) + harness.sample_bytes(2, 3840))

    def test_tessvane_sets_classes_through_the_system_scheduler(self):
        result = harness.tessvane(["boost", "self"])
        self.assertNotIn(b"planted", result.err)
        self.assertEqual(result.status, 0)
        self.assertIn(b'"applied":"realtime"', result.out)


if __name__ == "__main__":
    unittest.main()
