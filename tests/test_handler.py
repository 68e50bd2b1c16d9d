"""The activation handler's COM behaviour, checked by a Windows program that drives it."""
import os
import unittest

import harness


class HandlerTest(unittest.TestCase):
    def test_every_check_passes(self):
        result = harness.run(os.environ["HANDLER_TEST"], [], timeout_ms=60000)
        self.assertFalse(result.crashed, result.err)
        self.assertEqual(result.status, 0, result.out.decode(errors="replace"))
        self.assertEqual(result.out.strip().splitlines()[-1], b"0 failed checks")


if __name__ == "__main__":
    unittest.main()
