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

module.exports = { lumbrookPath, tessvanePath, unpackedPath, start };
