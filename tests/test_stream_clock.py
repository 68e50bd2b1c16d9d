"""The stream clock's rules through hours of simulated time (clock drift, jitter, late and
bursty delivery, stretches without packets, lost packets, wrong stamps), checked in a moment by
a Windows program that drives the clock directly; the real-time runs prove the wiring."""
import os
import unittest

import harness


class StreamClockTest(unittest.TestCase):
    def test_every_check_passes(self):
        harness.assert_checks_pass(self, os.environ["CLOCK_TEST"])


if __name__ == "__main__":
    unittest.main()
