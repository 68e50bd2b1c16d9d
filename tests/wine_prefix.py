"""Prepares the private Wine prefix the tests run in (a test fixture, run before the others).

The prefix lives under the build tree. Wine's debugger is turned off, so that a crash ends
the process with its exception code instead of looking like a normal exit. The simulated
platform DLLs are copied into the prefix's System32, where the programs look for them, and
each program is told to prefer the native DLL there over Wine's own; every other program
keeps Wine's. A run that wants Wine's own sets WINEDLLOVERRIDES=<dll>=b."""
import filecmp
import os
import pathlib
import shutil
import subprocess
import sys

PREFIX = pathlib.Path(os.environ["WINEPREFIX"])
READY = PREFIX / "lumbrook-tests-ready"
SYSTEM32 = PREFIX / "drive_c" / "windows" / "system32"
SIMULATED = pathlib.Path(os.environ["SIM_DIR"]) / "system32"
OVERRIDES = {"lumbrook.exe": "mmdevapi", "floor.exe": "mmdevapi", "tessvane.exe": "gdi32"}
VERSION = "overrides: " + " ".join(sorted(OVERRIDES)) + "\n"


def wine(*args, env=None):
    subprocess.run(["wine", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, env=env)


def install_simulated_dlls():
    for dll in SIMULATED.glob("*.dll"):
        if not filecmp.cmp(dll, SYSTEM32 / dll.name, shallow=False):
            shutil.copyfile(dll, SYSTEM32 / dll.name)


def main():
    if not (READY.exists() and READY.read_text() == VERSION):
        make_prefix()
    install_simulated_dlls()
    return 0


def make_prefix():
    PREFIX.mkdir(parents=True, exist_ok=True)
    # The tests need neither Wine's .NET nor its HTML engine: don't offer to install them.
    wine("wineboot", "--init", env=dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml="))
    # With an empty debugger command an unhandled exception ends the process with its code.
    wine("reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
         "/v", "Debugger", "/d", "", "/f")
    for program, dll in OVERRIDES.items():
        # native first: the simulated DLL in System32.
        wine("reg", "add", rf"HKCU\Software\Wine\AppDefaults\{program}\DllOverrides",
             "/v", dll, "/d", "native,builtin", "/f")
    READY.write_text(VERSION)


if __name__ == "__main__":
    sys.exit(main())
