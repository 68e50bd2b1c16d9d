"use strict";
// The package's declarations as a host's TypeScript finds them: the package installed by name in
// a scratch folder's node_modules, resolved through its "exports" (Node 16 module resolution),
// a CommonJS host (usage.ts), an ES module host (esm-usage.mts) and an ES module page
// (renderer-usage.ts as .mts, which imports the renderer entry) checked by tsc --noEmit.
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { execFileSync } = require("node:child_process");

const ROOT = path.resolve(__dirname, "..", "..");
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lumbrook-types-"));
try {
  const installed = path.join(scratch, "node_modules", "lumbrook-tessvane");
  fs.mkdirSync(installed, { recursive: true });
  const manifest = JSON.parse(fs.readFileSync(path.join(ROOT, "node", "package.json")));
  for (const file of ["package.json", ...manifest.files.filter((f) => /\.d\.m?ts$/.test(f))]) {
    fs.copyFileSync(path.join(ROOT, "node", file), path.join(installed, file));
  }
  fs.copyFileSync(path.join(__dirname, "usage.ts"), path.join(scratch, "usage.ts"));
  fs.copyFileSync(path.join(__dirname, "renderer-usage.ts"), path.join(scratch, "renderer-usage.mts"));
  fs.copyFileSync(path.join(__dirname, "esm-usage.mts"), path.join(scratch, "esm-usage.mts"));
  fs.writeFileSync(path.join(scratch, "tsconfig.json"), JSON.stringify({
    compilerOptions: {
      strict: true,
      noEmit: true,
      module: "node16",
      moduleResolution: "node16",
      target: "es2020",
      lib: ["es2020", "dom"],
      types: ["node"],
      typeRoots: [path.join(__dirname, "node_modules", "@types")],
    },
    files: ["usage.ts", "renderer-usage.mts", "esm-usage.mts"],
  }));
  execFileSync(process.execPath, [path.join(__dirname, "node_modules", "typescript", "bin", "tsc"), "-p", scratch],
    { stdio: "inherit" });
} catch {
  process.exitCode = 1; // tsc has said what is wrong
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}
