"use strict";
// One WebRTC call in Chromium (call-page.mjs) with the package's track beside a control call,
// fed from lumbrook under Wine through capture() and sendFrames(), and what its receivers made
// of it: for the call test and the bench. The engine plays a tone that stops for three seconds
// and starts again, then loses its stream; the capture goes on with a new lumbrook, and the
// page stalls for 500 ms.
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { zeroRuns } = require("../node/engine.js");
const { session } = require("./session.js");

const FLAGS = ["--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
  "--autoplay-policy=no-user-gesture-required"];
const SETTLE_MS = 2500; // the start of a call, before its jitter buffers settle, is not judged
const RESTART_MS = [-500, 2500]; // the restart's window, around the first frame of its silence
const HELD_UP_MS = 30; // lumbrook's longest wait between writes, but where a sound stops, is its lag and a step

// Audio the receiver had to make up (not silence) between two stats reports, in ms.
const concealedMs = (from, to) =>
  (to.concealedSamples - to.silentConcealedSamples - from.concealedSamples + from.silentConcealedSamples) / 48;

// The jitter buffer's target per emitted sample between two reports, in ms.
const targetMs = (from, to) =>
  ((to.jitterBufferTargetDelay - from.jitterBufferTargetDelay) * 1000) /
  Math.max(1, to.jitterBufferEmittedCount - from.jitterBufferEmittedCount);

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// The host time of frame `frame` of what was sent: when the part holding it left the host.
function sentAt(parts, frame) {
  let count = 0;
  for (const [at, frames] of parts) {
    count += frames;
    if (count > frame) return at;
  }
  return Infinity;
}

// Runs the call. Resolves to the session's outcome (session.js) and, where the page finished
// and reported stats once settled, its figures: how long it reported then (ms), the audio made up outside the restart, at it, where the machine had just held
// the host's side up, and by the control (ms); how often it held it up; the
// receivers' targets over the last five seconds (ms); how far behind the page's clock the
// capture times of ours and of a live track were when read (ms, the median of each second's
// least: a read is only ever late).
async function call() {
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
  if (done.event !== "done") return { run, figures: null };

  // Where the restart's silence began, by the host's clock: the second run of zeros in what was
  // sent, after the three seconds of silence between the tones.
  const runs = zeroRuns(run.sent).filter(([, frames]) => frames >= 480);
  const restartAt = runs.length >= 2 ? sentAt(run.parts, runs[1][0]) : null;
  const stats = run.events.filter((e) => e.event === "stats" && e.ours.audio && e.control.audio);
  const settled = stats.filter((e) => e.at >= stats[0].at + SETTLE_MS);
  if (settled.length < 2) return { run, figures: null };
  const inRestart = (e) => e.at >= restartAt + RESTART_MS[0] && e.at <= restartAt + RESTART_MS[1];
  // When the machine held the host's side up: a gap between two parts sent longer than lumbrook
  // ever leaves (a step behind its lag), except where the sound stopped and at the restart,
  // which are the design's.
  const stoppedAt = runs.length > 0 ? sentAt(run.parts, runs[0][0]) : Infinity;
  const heldUp = run.parts.slice(1).map(([at], k) => [at, at - run.parts[k][0]])
    .filter(([at, gap]) => gap > HELD_UP_MS && !(at >= stoppedAt && at - gap <= stoppedAt + 100) &&
      !inRestart({ at }))
    .map(([at]) => at);
  const heldUpBefore = (from, to) => heldUp.some((at) => at >= from - 1000 && at <= to);
  const made = { ours: 0, restart: 0, control: 0, heldUp: 0 };
  for (let k = 1; k < settled.length; k++) {
    const ours = concealedMs(settled[k - 1].ours.audio, settled[k].ours.audio);
    if (inRestart(settled[k])) made.restart += ours;
    else if (heldUpBefore(settled[k - 1].at, settled[k].at)) made.heldUp += ours;
    else made.ours += ours;
    made.control += concealedMs(settled[k - 1].control.audio, settled[k].control.audio);
  }
  const last = settled.filter((e) => e.at >= settled.at(-1).at - 5000);
  const targets = {};
  for (const [side, kind] of [["ours", "audio"], ["control", "audio"], ["ours", "video"], ["control", "video"]]) {
    targets[`${side} ${kind}`] = targetMs(last[0][side][kind], last.at(-1)[side][kind]);
  }
  const behind = { ours: median(done.times.ours), live: median(done.times.live) };
  return { run, figures: { zeroRuns: runs, restartAt, settledMs: settled.at(-1).at - settled[0].at, made, targets, behind,
    heldUp: heldUp.length } };
}

module.exports = { call };
