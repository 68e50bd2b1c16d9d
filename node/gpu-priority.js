"use strict";
// GPU scheduling priority through tessvane, its result lines parsed.
const { tessvanePath, unsupported, start, startFailure } = require("./programs.js");

// Runs tessvane with "boost" or "normal" for the targets (process ids, or "self" for the host's
// own process) and resolves to { status, apiMissing, results }, one result per target in order:
// { pid, applied, status } or { pid, applied: "none", error }. Rejects where tessvane cannot be
// started, with an Error whose `code` is "program_missing" or "program_blocked", or where the
// package's own tessvane cannot run here, "unsupported_platform".
function setGpuPriority(mode, targets, options = {}) {
  const { prefix = [], program = tessvanePath } = options;
  const args = [mode, ...targets.map((t) => (t === "self" ? String(process.pid) : String(t)))];
  const failure = ({ code, message }, cause) => Object.assign(new Error(message), { code, cause });
  const elsewhere = unsupported("gpuPriority", options);
  if (elsewhere) return Promise.reject(failure(elsewhere));
  return new Promise((resolve, reject) => {
    const refused = (error) => reject(failure(startFailure(error, program), error));
    const { child, error } = start(program, args, prefix, ["ignore", "pipe", "ignore"]);
    if (error) {
      refused(error);
      return;
    }
    let out = "";
    child.stdout.setEncoding("utf8");
    child.stdout.on("data", (text) => (out += text));
    child.on("error", refused);
    child.on("close", (status) => {
      const lines = out.split(/\r?\n/).filter((line) => line.length > 0);
      let parsed;
      try {
        parsed = lines.map((line) => JSON.parse(line));
      } catch (error) {
        reject(new Error(`tessvane printed something other than result lines: ${error.message}`));
        return;
      }
      const apiMissing = parsed.some((r) => r.error === "api_missing" && !("pid" in r));
      resolve({ status, apiMissing, results: parsed.filter((r) => "pid" in r) });
    });
  });
}

module.exports = { setGpuPriority };
