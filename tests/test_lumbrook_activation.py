"""lumbrook's activation of the loopback client and the exit status of every stage before
streaming, against the simulated engine and against Wine's own."""
import unittest

import harness



class RequestTest(unittest.TestCase):
    def test_request_names_the_loopback_device_and_excludes_the_tree(self):
        result = harness.lumbrook(["1234"], "request 0x80070005")
        self.assertEqual(harness.lines_starting(result.log, "ActivateAudioInterfaceAsync"), [
            "ActivateAudioInterfaceAsync path=VAD\\Process_Loopback "
            f"riid={harness.IID_IAUDIOCLIENT} property=vt=65 size=12 "
            "01000000" "d2040000" "01000000"])

    def test_handler_is_agile_and_marshals_freely(self):
        result = harness.lumbrook(["1"], "request 0x80070005")
        # ... and its IMarshal answers through the free-threaded marshaler.
        self.assertIn("handler IAgileObject=yes IMarshal=yes marshal_size_hr=0x00000000",
                      result.log)


class StageStatusTest(unittest.TestCase):
    # Each script makes one stage fail; the run must end there with that stage's status,
    # print nothing, call nothing of the later stages and leave no reference behind.
    CASES = [
        ("request 0x80070005", 4, "GetActivateResult"),
        ("result_call 0x80004005", 5, "Initialize"),
        ("result 0x80070002", 5, "Initialize"),
        ("object other", 5, "Initialize"),
        ("object none", 5, "Initialize"),
        ("complete inline; result 0x8007000e", 5, "Initialize"),
        ("initialize 0x88890008", 6, "SetEventHandle"),
        ("service 0x80004002", 7, "Start"),
        ("start 0x8889000a", 8, "t="),
    ]

    def test_each_stage_fails_with_its_own_status(self):
        for script, status, not_reached in self.CASES:
            with self.subTest(script=script):
                result = harness.lumbrook(["42"], script)
                self.assertFalse(result.crashed, result.err)
                self.assertEqual(result.status, status)
                self.assertEqual((result.out, result.err), (b"", b""))
                self.assertEqual(harness.lines_starting(result.log, not_reached), [])
                self.assertEqual(result.log[-1], harness.ALL_RELEASED)

    def test_com_refused(self):
        result = harness.lumbrook(["42"], "tail 480",
                                  env=dict(harness.PRELOAD_ENGINE, SIM_FAIL="CoInitializeEx:1"))
        self.assertEqual(result.status, 3)
        self.assertEqual((result.out, result.err), (b"", b""))
        self.assertEqual(harness.lines_starting(result.log, "Activate"), [])

    def test_without_the_platform_function_the_request_fails(self):
        for failing in ("LoadLibraryExW:1", "GetProcAddress:1"):
            with self.subTest(failing=failing):
                result = harness.lumbrook(["42"], "tail 480", env={"SIM_FAIL": failing})
                self.assertEqual(result.status, 4)
                self.assertEqual((result.out, result.err), (b"", b""))
                self.assertEqual(harness.lines_starting(result.log, "Activate"), [])

    def test_wines_own_engine_does_not_know_the_device(self):
        result = harness.lumbrook(["42"], program=harness.DIST_LUMBROOK,
                                  env={"WINEDLLOVERRIDES": "mmdevapi=b"})
        self.assertEqual(result.status, 5)
        self.assertEqual((result.out, result.err), (b"", b""))


class CompletionTest(unittest.TestCase):
    def test_completion_on_the_engines_thread_or_before_the_call_returns(self):
        for mode, thread in (("thread", "engine's"), ("inline", "calling")):
            with self.subTest(mode=mode):
                result = harness.lumbrook(["42"], f"complete {mode}; tail 480", take=3840 * 4)
                self.assertEqual(result.status, 0)
                self.assertEqual(len(result.out), 3840 * 4)
                self.assertIn(f"ActivateCompleted returned 0x00000000 on the {thread} thread",
                              result.log)

    def test_without_a_completion_the_program_keeps_waiting(self):
        result = harness.lumbrook(["42"], "complete never; tail 480", timeout_ms=2500)
        self.assertEqual(result.status, "timeout")
        self.assertEqual(result.out, b"")
        self.assertEqual(harness.lines_starting(result.log, "Initialize"), [])


if __name__ == "__main__":
    unittest.main()
