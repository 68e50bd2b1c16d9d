"use strict";
// Where the package's two programs are, and how they are started.
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");

// A program inside an Electron archive cannot be started: Electron unpacks it beside the
// archive, into app.asar.unpacked.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, "$1app.asar.unpacked$2");
}

const lumbrookPath = unpackedPath(path.join(__dirname, "bin", "lumbrook.exe"));
const tessvanePath = unpackedPath(path.join(__dirname, "bin", "tessvane.exe"));

// The first Windows build that others report process loopback working on (Windows 10 2004);
// the platform documents it from build 20348.
const FIRST_LOOPBACK_BUILD = 19041;

// Whether the package's own programs can do `what` ("capture" or "gpuPriority") here: they
// are 64-bit Windows programs, and the capture needs a build with process loopback. Starts
// nothing.
function isSupported(what = "capture", platform = process.platform, release = os.release()) {
  if (platform !== "win32") return false;
  if (what !== "capture") return true;
  const build = Number(release.split(".")[2]);
  return Number.isFinite(build) && build >= FIRST_LOOPBACK_BUILD;
}

// Why the package's own `program` is not started here: null where it is, or where the host
// gives a program or a command of its own, which are always run as given.
function unsupported(what, options) {
  const own = !(options.prefix && options.prefix.length > 0) && options.program === undefined;
  if (!own || isSupported(what)) return null;
  const build = what === "capture" ? `, build ${FIRST_LOOPBACK_BUILD} or later,` : "";
  return {
    code: "unsupported_platform",
    message: `the package's programs run on 64-bit Windows${build} not on ${process.platform} ${os.release()}`,
  };
}

// Starts `program` with `args`, through the command `prefix` where one is given (["wine"]).
// Node's spawn() reports only ENOENT, EACCES, EAGAIN, EMFILE and ENFILE as the child's "error"
// event and throws any other failure to start (Windows' EPERM, and antivirus' ERROR_VIRUS_INFECTED
// as UNKNOWN, among them): returns { child } or { error }, never throws.
function start(program, args, prefix, stdio) {
  const [command, ...leading] = prefix.length > 0 ? prefix : [program];
  const full = prefix.length > 0 ? [...leading, program, ...args] : args;
  try {
    return { child: spawn(command, full, { stdio, windowsHide: true }) };
  } catch (error) {
    return { error };
  }
}

// Why `program` could not be started, from the platform's error: { code, message } naming the
// likely cause and the path. Not there (or a folder on its path is a file): "program_missing";
// there but refused, for want of the right to run it (EACCES, EPERM), held by antivirus
// (Windows' ERROR_VIRUS_INFECTED, 225, which Node reports as "UNKNOWN"), or not startable for
// any other reason: "program_blocked".
function startFailure(error, program) {
  if (error.code === "ENOENT" || error.code === "ENOTDIR") {
    return {
      code: "program_missing",
      message: `${program} is not there: install the package again, or, in an Electron app, ` +
        "unpack bin/*.exe from its archive (electron-builder's asarUnpack, Electron Forge's asar.unpack)",
    };
  }
  return {
    code: "program_blocked",
    message: `${program} could not be started (${error.code}): the platform refused it; antivirus ` +
      "may have quarantined it (sign the app and its programs), or it may lack the right to run",
  };
}

module.exports = { lumbrookPath, tessvanePath, unpackedPath, isSupported, unsupported, start, startFailure };
