"""The shipped programs load nothing but system DLLs."""
import os
import subprocess
import unittest

import harness


def imported_dlls(program):
    dump = subprocess.run([os.environ["OBJDUMP"], "-p", program], check=True,
                          capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
            if line.strip().startswith("DLL Name:")}


class ImportsTest(unittest.TestCase):
    def test_only_system_dlls(self):
        for program, allowed in ((harness.DIST_LUMBROOK,
                                  {"kernel32.dll", "msvcrt.dll", "ole32.dll", "mmdevapi.dll",
                                   "ntdll.dll"}),
                                 (harness.DIST_TESSVANE, {"kernel32.dll", "msvcrt.dll"})):
            with self.subTest(program=os.path.basename(program)):
                dlls = imported_dlls(program)
                self.assertLessEqual(dlls, allowed)
                self.assertIn("kernel32.dll", dlls)


if __name__ == "__main__":
    unittest.main()
