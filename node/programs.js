"use strict";
// Where the package's two programs are, and how they are started.
const path = require("node:path");
const { spawn } = require("node:child_process");

// A program inside an Electron archive cannot be started: Electron unpacks it beside the
// archive, into app.asar.unpacked.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, "$1app.asar.unpacked$2");
}

const lumbrookPath = unpackedPath(path.join(__dirname, "bin", "lumbrook.exe"));
const tessvanePath = unpackedPath(path.join(__dirname, "bin", "tessvane.exe"));

// Starts `program` with `args`, through the command `prefix` where one is given (["wine"]).
function start(program, args, prefix, stdio) {
  const [command, ...leading] = prefix.length > 0 ? prefix : [program];
  const full = prefix.length > 0 ? [...leading, program, ...args] : args;
  return spawn(command, full, { stdio, windowsHide: true });
}

// Why `program` could not be started, from the platform's error: { code, message } naming the
// likely cause and the path. Not there: "program_missing"; there but refused, for want of the
// right to run it, or held by antivirus (Windows' ERROR_VIRUS_INFECTED, 225, which Node reports
// as "UNKNOWN"): "program_blocked".
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

module.exports = { lumbrookPath, tessvanePath, unpackedPath, start, startFailure };
