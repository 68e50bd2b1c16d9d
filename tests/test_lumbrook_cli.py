"""lumbrook's command line: the usage line, and the process id as it reaches the platform."""
import struct
import unittest

import harness

# Ends the run right after the activation request, which carries the id.
REFUSE = "request 0x80070005"


def requested_pid(log):
    line = harness.lines_starting(log, "ActivateAudioInterfaceAsync")[0]
    record = bytes.fromhex(line.split()[-1])
    activation_type, pid, mode = struct.unpack("<III", record)
    return pid


class UsageTest(unittest.TestCase):
    def test_no_argument_writes_usage_and_exits_2(self):
        result = harness.lumbrook([])
        self.assertEqual(result.status, 2)
        self.assertEqual(result.out, b"")
        self.assertEqual(result.err, b"usage: lumbrook <exclude-pid>\r\n")
        self.assertEqual(harness.lines_starting(result.log, "ActivateAudioInterfaceAsync"), [])


class ProcessIdTest(unittest.TestCase):
    CASES = [
        ("42", 42),
        ("  42xyz", 42),
        ("abc", 0),
        ("", 0),
        ("+7", 7),
        ("+-7", 0),
        ("- 7", 0),
        ("\t\v\f\r 9", 9),
        ("99999999999", 2147483647),
        ("2147483648", 2147483647),
        ("4294967295", 2147483647),
        ("-5", 2**32 - 5),
        ("-2147483648", 2**31),
        ("-99999999999", 2**31),
        ("\u00853", 3),             # next line, a space to the platform
        ("\u00a04", 4),             # no-break space
        ("\u30005", 5),             # ideographic space, from the character-type table
        ("\u0661\u0662", 12),       # Arabic-Indic digits
        ("\uff11\uff10", 10),       # fullwidth digits
        ("\u0967\u0e50\u1810", 100),  # Devanagari one, Thai zero, Mongolian zero
        ("\u0be7", 0),              # Tamil one is not read as a digit
        ("\u001c5", 0),             # a separator control is not white space
        ("12\u0663", 123),
    ]

    def test_conversions(self):
        for argument, expected in self.CASES:
            with self.subTest(argument=argument):
                result = harness.lumbrook([argument], REFUSE)
                self.assertEqual(result.status, 4)
                self.assertEqual(requested_pid(result.log), expected)

    def test_arguments_after_the_first_are_ignored(self):
        result = harness.lumbrook(["42", "7", "junk"], REFUSE)
        self.assertEqual(result.status, 4)
        self.assertEqual(requested_pid(result.log), 42)
        self.assertEqual((result.out, result.err), (b"", b""))


if __name__ == "__main__":
    unittest.main()
