"use strict";
// The package as a host that installed it has it: its files, the built programs in bin/, and
// its dependency beside it in node_modules (from this folder's install, pinned alike).
const fs = require("node:fs");
const path = require("node:path");
const { createRequire } = require("node:module");

const ROOT = path.resolve(__dirname, "..", "..");

// Installs the package into `scratch`/node_modules; returns a `require` for a host in `scratch`.
function installPackage(scratch) {
  const modules = path.join(scratch, "node_modules");
  const packageDir = path.join(modules, "lumbrook-tessvane");
  fs.mkdirSync(path.join(packageDir, "bin"), { recursive: true });
  const manifest = JSON.parse(fs.readFileSync(path.join(ROOT, "node", "package.json")));
  for (const file of ["package.json", ...manifest.files.filter((f) => !f.startsWith("bin/"))]) {
    fs.copyFileSync(path.join(ROOT, "node", file), path.join(packageDir, file));
  }
  fs.copyFileSync(process.env.DIST_LUMBROOK, path.join(packageDir, "bin", "lumbrook.exe"));
  fs.copyFileSync(process.env.DIST_TESSVANE, path.join(packageDir, "bin", "tessvane.exe"));
  for (const name of Object.keys(manifest.dependencies || {})) {
    fs.cpSync(path.join(__dirname, "node_modules", name), path.join(modules, name), { recursive: true });
  }
  return { packageDir, hostRequire: createRequire(path.join(scratch, "host.js")) };
}

module.exports = { installPackage };
