"""What the shipped programs are made of: stripped, with their security flags and version
resource, packaged with checksums, and the same bytes from any build of the same sources."""
import hashlib
import json
import os
import pathlib
import struct
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

import harness

ROOT = pathlib.Path(__file__).resolve().parents[1]
PROGRAMS = {"lumbrook": harness.DIST_LUMBROOK, "tessvane": harness.DIST_TESSVANE}


def objdump(*args):
    return subprocess.run([os.environ["OBJDUMP"], *args], check=True, capture_output=True,
                          text=True).stdout


def pe_header(program):
    """The fields of the PE headers that say how the program was linked."""
    image = pathlib.Path(program).read_bytes()
    coff = struct.unpack_from("<I", image, 0x3C)[0] + 4
    machine, sections, stamp, symbols_at, symbols = struct.unpack_from("<HHIII", image, coff)
    optional = coff + 20
    magic, = struct.unpack_from("<H", image, optional)
    major, minor = struct.unpack_from("<HH", image, optional + 48)
    dll_characteristics, = struct.unpack_from("<H", image, optional + 70)
    return {"machine": machine, "stamp": stamp, "symbols": (symbols_at, symbols), "magic": magic,
            "subsystem_version": (major, minor), "dll_characteristics": dll_characteristics}


class ExecutableTest(unittest.TestCase):
    # HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE
    DLL_CHARACTERISTICS = 0x0020 | 0x0040 | 0x0100 | 0x8000

    def test_headers(self):
        for name, program in PROGRAMS.items():
            with self.subTest(program=name):
                header = pe_header(program)
                self.assertEqual((header["machine"], header["magic"]), (0x8664, 0x20B))
                self.assertEqual(header["dll_characteristics"] & self.DLL_CHARACTERISTICS,
                                 self.DLL_CHARACTERISTICS)
                self.assertEqual(header["subsystem_version"], (6, 0))
                self.assertEqual(header["stamp"], 0)
                self.assertEqual(header["symbols"], (0, 0))  # stripped
                self.assertNotIn(".debug", objdump("-h", program))

    def test_version_resource(self):
        version = os.environ["VERSION"]
        for name, program in PROGRAMS.items():
            with self.subTest(program=name):
                self.assertIn(".rsrc", objdump("-h", program))
                raw = pathlib.Path(program).read_bytes()  # the resource's strings are UTF-16
                for text in ("FileDescription", "ProductName", "lumbrook and tessvane",
                             f"{name}.exe", version):
                    self.assertIn(text.encode("utf-16-le"), raw, text)


class PackageTest(unittest.TestCase):
    # The manifest's files, every source file of the package among them, and the README.
    MANIFEST = json.loads((ROOT / "node" / "package.json").read_text())
    SOURCES = sorted(["README.md", "package.json",
                      *(name for name in MANIFEST["files"] if not name.startswith("bin/"))])
    LEGAL = ["LICENSE", "THIRD_PARTY_NOTICES.txt"]  # the project's, in the zip as they are
    NODE_FILES = sorted(["package/LICENSE", "package/bin/lumbrook.exe", "package/bin/tessvane.exe",
                         *(f"package/{name}" for name in SOURCES)])

    def test_the_manifest_lists_every_source_of_the_package(self):
        sources = sorted(path.name for path in (ROOT / "node").iterdir()
                         if path.suffix in (".js", ".mjs", ".ts", ".mts") and path.is_file())
        self.assertEqual([name for name in sources if name not in self.MANIFEST["files"]], [])

    def test_zip_and_node_tarball_of_the_programs_with_checksums(self):
        build = pathlib.Path(harness.DIST_LUMBROOK).parents[1]
        with tempfile.TemporaryDirectory() as scratch:
            subprocess.run(["bash", str(ROOT / "tools" / "package.sh"), str(build), scratch],
                           check=True, capture_output=True)
            sums = pathlib.Path(scratch, "SHA256SUMS").read_text().splitlines()
            self.assertEqual(len(sums), 2)
            for line in sums:
                digest, name = line.split("  ")
                self.assertEqual(hashlib.sha256(pathlib.Path(scratch, name).read_bytes())
                                 .hexdigest(), digest, name)
            zip_name, tarball_name = (line.split("  ")[1] for line in sums)
            with zipfile.ZipFile(pathlib.Path(scratch, zip_name)) as archive:
                folder = zip_name.removesuffix(".zip")
                self.assertEqual(sorted(archive.namelist()), [
                    f"{folder}/LICENSE", f"{folder}/README.md", f"{folder}/THIRD_PARTY_NOTICES.txt",
                    f"{folder}/lumbrook.exe", f"{folder}/tessvane.exe"])
                for name in self.LEGAL:
                    self.assertEqual(archive.read(f"{folder}/{name}"), (ROOT / name).read_bytes())
                for program, path in PROGRAMS.items():
                    self.assertEqual(archive.read(f"{folder}/{program}.exe"),
                                     pathlib.Path(path).read_bytes())
            self.assertEqual(tarball_name, f"lumbrook-tessvane-{os.environ['VERSION']}.tgz")
            with tarfile.open(pathlib.Path(scratch, tarball_name)) as archive:
                self.assertEqual(sorted(archive.getnames()), self.NODE_FILES)
                for program, path in PROGRAMS.items():
                    self.assertEqual(archive.extractfile(f"package/bin/{program}.exe").read(),
                                     pathlib.Path(path).read_bytes())
                for name in self.SOURCES:
                    self.assertEqual(archive.extractfile(f"package/{name}").read(),
                                     (ROOT / "node" / name).read_bytes(), name)
                # The package's LICENSE: the licence, then the notices.
                self.assertEqual(archive.extractfile("package/LICENSE").read(),
                                 b"\n".join((ROOT / name).read_bytes() for name in self.LEGAL))

    def test_node_package_manifest(self):
        manifest = json.loads((ROOT / "node" / "package.json").read_text())
        self.assertEqual(manifest["version"], os.environ["VERSION"])  # project(VERSION)
        # Installable where Electron apps are developed and built, not only where they run.
        self.assertEqual([key for key in ("os", "cpu") if key in manifest], [])
        self.assertEqual(manifest["types"], "index.d.ts")
        self.assertEqual(manifest["exports"], {
            ".": {"types": "./index.d.ts", "default": "./index.js"},
            "./renderer": {"types": "./renderer.d.mts", "default": "./renderer.mjs"},
            "./package.json": "./package.json"})
        self.assertEqual(manifest["license"], "MIT")  # as LICENSE grants
        # One runtime dependency, pinned, and the same version as the tests install.
        tests = json.loads((ROOT / "tests" / "node" / "package.json").read_text())
        self.assertEqual(manifest["dependencies"], {"@alexanderolsen/libsamplerate-js": "2.1.2"})
        self.assertEqual(tests["devDependencies"]["@alexanderolsen/libsamplerate-js"], "2.1.2")


class ReproducibleTest(unittest.TestCase):
    def test_builds_at_other_paths_give_the_same_bytes(self):
        build = pathlib.Path(harness.DIST_LUMBROOK).parents[1].name  # the preset's build folder
        done = subprocess.run(["bash", str(ROOT / "tools" / "repro.sh"), build],
                              capture_output=True, text=True, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(done.stdout.count("identical in three builds"), 2, done.stdout)


if __name__ == "__main__":
    unittest.main()
