"""The activation handler's COM behaviour, checked by a Windows program that drives it."""
import os
import unittest

import harness


class HandlerTest(unittest.TestCase):
    def test_every_check_passes(self):
        harness.assert_checks_pass(self, os.environ["HANDLER_TEST"])


if __name__ == "__main__":
    unittest.main()
