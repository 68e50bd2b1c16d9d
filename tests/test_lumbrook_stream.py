"""lumbrook's capture stream: its set-up, the PCM bytes it writes, and its end when the reader
goes away."""
import unittest

import harness

PACKET_480 = 480 * 8


def zeros(frames):
    return bytes(frames * 8)


def data(seed, frames):
    return harness.sample_bytes(seed, frames * 8)


class SetupTest(unittest.TestCase):
    def test_stream_is_shared_event_driven_loopback_float_stereo_48k(self):
        result = harness.lumbrook(["42"], "tail 480", take=PACKET_480)
        self.assertEqual(result.status, 0)
        fmt = ("feff" "0200" "80bb0000" "00dc0500" "0800" "2000" "1600"  # WAVEFORMATEX
               "2000" "03000000"                                         # valid bits, mask
               "03000000" "0000" "1000" "800000aa00389b71")               # IEEE float
        self.assertIn("Initialize share=0 flags=0x80060000 duration=2000000 periodicity=0 "
                      f"session=null format={fmt}", result.log)
        order = [line.split()[0] for line in result.log
                 if line.split()[0] in ("Initialize", "SetEventHandle", "GetService", "Start")]
        self.assertEqual(order, ["Initialize", "SetEventHandle", "GetService", "Start"])
        self.assertIn(f"GetService {harness.IID_IAUDIOCAPTURECLIENT}", result.log)
        self.assertIn("SetEventHandle event", result.log)


class PcmTest(unittest.TestCase):
    def test_packet_sequence_reaches_the_reader_byte_for_byte(self):
        script = ";".join([
            "packet 480 data",           # 1
            "packet 1100 silent",        # 2: 8800 zero bytes, two writes; its buffer is not zero
            "packet 64 silent_null",     # 3: silent without a data pointer
            "packet 480 null",           # 4: not silent and no data pointer: nothing
            "packet 480 empty",          # 5: the engine has nothing after all
            "packet 300 data",           # 6
            "fail_buffer 0x88890001",    # the first GetBuffer for the next packet fails
            "packet 200 data",           # 7
            "fail_size 0x88890004",      # the first size query that would report it fails
            "packet 100 data",           # 8
            "packet 5000 data",          # 9: larger than any buffer of the runtime's
            "tail 480",                  # 10, 11, ...
        ])
        expected = (data(1, 480) + zeros(1100) + zeros(64) + data(6, 300) + data(7, 200)
                    + data(8, 100) + data(9, 5000) + data(10, 480))
        self.assertIn(b"\n", expected)
        self.assertIn(b"\r", expected)
        result = harness.lumbrook(["42"], script, take=len(expected))
        self.assertEqual(result.status, 0)
        self.assertEqual(len(result.out), len(expected))
        self.assertTrue(result.out == expected, "the PCM stream differs from the packets")
        counts = harness.lines_starting(result.log, "counts")[0]
        self.assertTrue(counts.endswith("violations=0"), counts)
        # Both injected failures were met and answered by waiting, then the same packet.
        self.assertIn("GetBuffer fails 0x88890001", " ".join(result.log))
        self.assertIn("hr=0x88890004", " ".join(result.log))

    def test_a_pump_woken_only_by_the_time_out_still_drains(self):
        result = harness.lumbrook(["42"], "signal off; packet 480 data; tail 480",
                                  take=PACKET_480 * 3)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.out[:PACKET_480], data(1, 480))
        first_query = harness.lines_starting(result.log, "t=")[0]
        waited_ms = int(first_query.split()[0][2:])
        # It waited for the time-out rather than spinning; the upper bound only guards against a
        # pump that never polls (its figure belongs to the bench).
        self.assertGreaterEqual(waited_ms, 950, first_query)
        self.assertLess(waited_ms, 15000, first_query)


class ReaderGoneTest(unittest.TestCase):
    RELEASE_ORDER = [
        "release IAudioCaptureClient 0",
        "release IAudioClient 2",           # the driver's own; the operation and handler remain
        "operation released handler 1",     # the driver still holds the handler
        "release IActivateAudioInterfaceAsyncOperation 0",
        "release IAudioClient 0",           # the handler's, as the handler goes
    ]

    def test_exit_soon_after_the_reader_closes(self):
        # 480 frames are written into the runtime's buffer and fail only at the flush;
        # 1024 frames go straight to the pipe and come back short.
        for frames in (480, 1024):
            with self.subTest(frames=frames):
                result = harness.lumbrook(["42"], f"tail {frames}", take=frames * 8 * 20)
                self.assertFalse(result.crashed, result.err)
                self.assertEqual(result.status, 0)
                self.assertEqual(result.err, b"")
                self.assertLess(result.gone_to_exit, 15.0)  # a hang guard; bench measures it
                releases = [line for line in result.log
                            if line.startswith(("release", "operation released"))]
                self.assertEqual(releases[-5:], self.RELEASE_ORDER)
                self.assertEqual(result.log[-1], "alive IAudioClient=0 IAudioCaptureClient=0 "
                                 "IActivateAudioInterfaceAsyncOperation=0 IUnknown=0")

    def test_without_a_standard_output_the_first_packet_ends_the_run(self):
        for frames in (480, 1024):
            with self.subTest(frames=frames):
                result = harness.lumbrook(["42"], f"tail {frames}", stdout="none",
                                          timeout_ms=10000)
                self.assertEqual(result.status, 0)
                self.assertIn("counts size_queries=1 buffers_taken=1 buffers_released=0 "
                              "violations=0", result.log)


if __name__ == "__main__":
    unittest.main()
