"use strict";
// The package's track in a real WebRTC call in Chromium, beside a control call that sends an
// oscillator's track with the same video (call-page.mjs), fed from lumbrook under Wine through
// capture() and sendFrames(). The engine plays a tone that stops for three seconds and starts
// again, then loses its stream; the capture goes on with a new lumbrook, and the page stalls for
// 500 ms. What the receivers make of it is judged against the control.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const test = require("node:test");
const { zeroRuns } = require("../node/engine.js");
const { session } = require("./session.js");

const FLAGS = ["--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
  "--autoplay-policy=no-user-gesture-required"];
const SETTLE_MS = 2500; // the start of a call, before its jitter buffers settle, is not judged
const RESTART_MS = [-500, 2500]; // the restart's window, around the first frame of its silence

// Audio the receiver had to make up (not silence) between two stats reports, in ms.
const concealedMs = (from, to) =>
  (to.concealedSamples - to.silentConcealedSamples - from.concealedSamples + from.silentConcealedSamples) / 48;

// The jitter buffer's target per emitted sample between two reports, in ms.
const targetMs = (from, to) =>
  ((to.jitterBufferTargetDelay - from.jitterBufferTargetDelay) * 1000) /
  Math.max(1, to.jitterBufferEmittedCount - from.jitterBufferEmittedCount);

// The host time of frame `frame` of what was sent: when the part holding it left the host.
function sentAt(parts, frame) {
  let count = 0;
  for (const [at, frames] of parts) {
    count += frames;
    if (count > frame) return at;
  }
  return Infinity;
}

test("in a call, the track is received as the control's is: nothing concealed, no extra delay, capture times on the page's clock", async (t) => {
  const marker = path.join(os.tmpdir(), `lumbrook-call-first-${process.pid}`);
  fs.rmSync(marker, { force: true });
  const tone = Array(300).fill("packet 480 data").join(";");
  const run = await session(
    `first_run ${marker}; tone 440; ${tone}; gap 3000; ${tone}; lose size 0x88890004; every_run; tone 440; tail 480`,
    `stallAt=${48000 * 13}`,
    { stopAfterFrames: 48000 * 17, page: path.join(__dirname, "call-page.mjs"), flags: FLAGS,
      captureOptions: { restartDelayMs: 300 } },
  );
  fs.rmSync(marker, { force: true });
  const done = run.events.at(-1);
  assert.equal(done.event, "done", JSON.stringify(run.events.slice(-2)));
  assert.ok(run.events.some((e) => e.event === "stalled"), "the page did not stall");

  // Where the sound stopped and started, and where the restart's silence began, by the host's
  // clock: the tone's three seconds, three of silence, three of tone, the restart, the tone.
  const runs = zeroRuns(run.sent).filter(([, frames]) => frames >= 480);
  assert.ok(runs.length >= 2, JSON.stringify(runs));
  const restartAt = sentAt(run.parts, runs[1][0]);
  const stats = run.events.filter((e) => e.event === "stats" && e.ours.audio && e.control.audio);
  const settled = stats.filter((e) => e.at >= stats[0].at + SETTLE_MS);
  assert.ok(settled.length > 20, `${settled.length} reports once settled`);

  // Audio made up by the receiver: none outside the restart, at most about 50 ms at it.
  const inRestart = (e) => e.at >= restartAt + RESTART_MS[0] && e.at <= restartAt + RESTART_MS[1];
  const made = { ours: 0, control: 0, restart: 0 };
  for (let k = 1; k < settled.length; k++) {
    const ours = concealedMs(settled[k - 1].ours.audio, settled[k].ours.audio);
    if (inRestart(settled[k])) made.restart += ours;
    else made.ours += ours;
    made.control += concealedMs(settled[k - 1].control.audio, settled[k].control.audio);
  }
  // The targets over the call's last five seconds.
  const last = settled.filter((e) => e.at >= settled.at(-1).at - 5000);
  const targets = {};
  for (const [call, kind] of [["ours", "audio"], ["control", "audio"], ["ours", "video"], ["control", "video"]]) {
    targets[`${call} ${kind}`] = targetMs(last[0][call][kind], last.at(-1)[call][kind]);
  }
  // Our capture times and a live track's, behind the page's clock when read (each second's
  // least, as a read is only ever late), their medians.
  const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const behind = { ours: median(done.times.ours), live: median(done.times.live) };
  t.diagnostic(`audio made up: ours ${made.ours.toFixed(1)} ms, at the restart ${made.restart.toFixed(1)} ms, ` +
    `control ${made.control.toFixed(1)} ms`);
  t.diagnostic(`targets (ms): ${Object.entries(targets).map(([k, v]) => `${k} ${v.toFixed(1)}`).join(", ")}`);
  t.diagnostic(`capture times behind the page's clock: ours ${behind.ours.toFixed(1)} ms, live ${behind.live.toFixed(1)} ms`);

  assert.ok(made.ours <= made.control + 5, `ours made up ${made.ours} ms, the control ${made.control} ms`);
  assert.ok(made.restart <= 60, `${made.restart} ms made up at the restart`);
  // Silence can only follow a sound a packet's length behind (so that the next sound finds
  // its place), which the receiver may answer by waiting one of its 20 ms packets longer.
  assert.ok(targets["ours audio"] <= targets["control audio"] + 20.5, JSON.stringify(targets));
  assert.ok(targets["ours video"] <= targets["control video"] + 20.5, JSON.stringify(targets));
  // Read back, a chunk of ours is its length (10 ms) and its way from lumbrook to the page
  // behind its capture time; the live track of Chromium's fake device is stamped as it is
  // delivered. Both within 20 ms more.
  assert.ok(behind.ours >= 10 && behind.ours - behind.live <= 30, JSON.stringify(behind));
  assert.equal(run.log.filter((line) => line === "Start").length, 2);
});
