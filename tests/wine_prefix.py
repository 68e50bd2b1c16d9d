"""Prepares the private Wine prefix the tests run in (a test fixture, run before the others).

The prefix lives under the build tree. Wine's debugger is turned off, so that a crash ends
the process with its exception code instead of looking like a normal exit, and each program
is told to prefer the simulated platform DLL that stands beside it."""
import os
import pathlib
import subprocess
import sys

PREFIX = pathlib.Path(os.environ["WINEPREFIX"])
READY = PREFIX / "lumbrook-tests-ready"
OVERRIDES = {"lumbrook.exe": "mmdevapi", "floor.exe": "mmdevapi", "tessvane.exe": "gdi32"}
VERSION = "overrides: " + " ".join(sorted(OVERRIDES)) + "\n"


def wine(*args, env=None):
    subprocess.run(["wine", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, env=env)


def main():
    if READY.exists() and READY.read_text() == VERSION:
        return 0
    PREFIX.mkdir(parents=True, exist_ok=True)
    # The tests need neither Wine's .NET nor its HTML engine: don't offer to install them.
    wine("wineboot", "--init", env=dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml="))
    # With an empty debugger command an unhandled exception ends the process with its code.
    wine("reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
         "/v", "Debugger", "/d", "", "/f")
    for program, dll in OVERRIDES.items():
        # native first: the simulated DLL beside a test copy; builtin where there is none.
        wine("reg", "add", rf"HKCU\Software\Wine\AppDefaults\{program}\DllOverrides",
             "/v", dll, "/d", "native,builtin", "/f")
    READY.write_text(VERSION)
    return 0


if __name__ == "__main__":
    sys.exit(main())
