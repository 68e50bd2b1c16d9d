"use strict";
// An Electron app's GPU process at a raised GPU scheduling priority. In Electron and Chromium
// the GPU work is submitted by the GPU process, a child of the main process, so that is the
// process to boost, not the host's own; and it can crash and be started again under a new
// process id, which Electron reports with app's "child-process-gone" (type "GPU").
const { setGpuPriority } = require("./gpu-priority.js");

// Boosts the GPU process that app.getAppMetrics() lists (type "GPU") through tessvane, and each
// new one after "child-process-gone" reports the GPU process gone, as soon as the metrics show
// it; none listed yet (software rendering, not started) is waited for, every `pollMs`. A
// process is told from another by its pid and creationTime, so a reused id is a new process,
// and one reported gone is never touched again. Each of tessvane's outcomes goes to
// `onOutcome({ mode, pid, creationTime, status, apiMissing, results })`, as setGpuPriority()
// resolves, or `{ mode, pid, creationTime, error }` where tessvane could not run. Returns
// { stop, current }: stop() stops following and sets the current GPU process back to normal,
// and resolves to that outcome (null where there was none) once every run has ended.
function boostGpuProcess(app, options = {}) {
  const { onOutcome = () => {}, pollMs = 1000, ...runOptions } = options;
  const gone = new Set(); // pid:creationTime of the processes reported gone
  const key = (process) => `${process.pid}:${process.creationTime}`;
  let current = null; // { pid, creationTime, boosted }: the GPU process followed
  let stopped = false;
  let timer = null;
  let runs = Promise.resolve(null); // tessvane's runs, one after another
  // The host's callback cannot break the runs: what it throws becomes a process warning.
  const tell = (outcome) => {
    try {
      onOutcome(outcome);
    } catch (error) {
      process.emitWarning(`boostGpuProcess(): onOutcome threw: ${error && error.stack ? error.stack : error}`,
        "LumbrookTessvaneWarning");
    }
  };

  // A boost not yet run when its process was reported gone, or when stop() came, is left out,
  // and so is the return to normal of a process whose boost was left out.
  const run = (mode, target) => {
    runs = runs.then(async (last) => {
      if (mode === "boost" ? stopped || gone.has(key(target)) : !target.boosted) return last;
      target.boosted = true;
      let outcome;
      try {
        outcome = await setGpuPriority(mode, [target.pid], runOptions);
      } catch (error) {
        outcome = { error };
      }
      const told = { mode, pid: target.pid, creationTime: target.creationTime, ...outcome };
      tell(told);
      return told;
    });
    return runs;
  };

  const look = () => {
    timer = null;
    if (stopped || current !== null) return;
    const found = app.getAppMetrics().find((metric) => metric.type === "GPU" && !gone.has(key(metric)));
    if (found === undefined) {
      timer = setTimeout(look, pollMs);
      return;
    }
    current = { pid: found.pid, creationTime: found.creationTime, boosted: false };
    run("boost", current);
  };

  const onGone = (event, details) => {
    if (!details || details.type !== "GPU" || current === null) return;
    gone.add(key(current));
    current = null;
    clearTimeout(timer);
    look();
  };

  app.on("child-process-gone", onGone);
  look();
  return {
    current: () => current && { pid: current.pid, creationTime: current.creationTime },
    stop() {
      if (!stopped) {
        stopped = true;
        clearTimeout(timer);
        app.removeListener("child-process-gone", onGone);
        if (current !== null) run("normal", current);
        current = null;
      }
      return runs.then((last) => (last && last.mode === "normal" ? last : null));
    },
  };
}

module.exports = { boostGpuProcess };
