"""Prepares a private Wine prefix the tests run in (a test fixture, run before the others).

Each prefix lives under the build tree. Wine's debugger is turned off, so that a crash ends
the process with its exception code instead of looking like a normal exit. Test-only platform
DLLs are copied into the prefix's System32, where the programs look for them, and each program
is told to prefer the native DLL there over Wine's own; every other program keeps Wine's. A run
that wants Wine's own sets WINEDLLOVERRIDES=<dll>=b.

`wine_prefix.py` makes the simulated platform's prefix (WINEPREFIX, with SIM_DIR's DLLs);
`wine_prefix.py real` makes the real engine's (REAL_WINEPREFIX, with the bridge from REAL_DIR),
a prefix of its own so that the simulated engine keeps its place."""
import filecmp
import os
import pathlib
import shutil
import subprocess
import sys

KINDS = {
    "sim": ("WINEPREFIX", "SIM_DIR",
            {"lumbrook.exe": "mmdevapi", "floor.exe": "mmdevapi", "tessvane.exe": "gdi32"}),
    "real": ("REAL_WINEPREFIX", "REAL_DIR", {"lumbrook.exe": "mmdevapi", "floor.exe": "mmdevapi"}),
}


def wine(*args, env):
    subprocess.run(["wine", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, env=env)


def install_dlls(source, system32):
    # Every time: Wine's own update of a prefix may put its files back over ours.
    for dll in source.glob("*.dll"):
        if not filecmp.cmp(dll, system32 / dll.name, shallow=False):
            shutil.copyfile(dll, system32 / dll.name)


def main(kind="sim"):
    prefix_variable, dll_variable, overrides = KINDS[kind]
    prefix = pathlib.Path(os.environ[prefix_variable])
    env = dict(os.environ, WINEPREFIX=str(prefix))
    ready = prefix / "lumbrook-tests-ready"
    version = "overrides: " + " ".join(sorted(overrides)) + "\n"
    if not (ready.exists() and ready.read_text() == version):
        make_prefix(prefix, overrides, env)
        ready.write_text(version)
    install_dlls(pathlib.Path(os.environ[dll_variable]) / "system32",
                 prefix / "drive_c" / "windows" / "system32")
    return 0


def make_prefix(prefix, overrides, env):
    prefix.mkdir(parents=True, exist_ok=True)
    # The tests need neither Wine's .NET nor its HTML engine: don't offer to install them.
    wine("wineboot", "--init", env=dict(env, WINEDLLOVERRIDES="mscoree,mshtml="))
    # With an empty debugger command an unhandled exception ends the process with its code.
    wine("reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
         "/v", "Debugger", "/d", "", "/f", env=env)
    for program, dll in overrides.items():
        # native first: the test DLL in System32.
        wine("reg", "add", rf"HKCU\Software\Wine\AppDefaults\{program}\DllOverrides",
             "/v", dll, "/d", "native,builtin", "/f", env=env)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
