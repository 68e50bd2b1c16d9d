"use strict";
// createAudioTrack() in a real Chromium, fed from lumbrook under Wine through the package's
// main side (session.js), and read back from the track with MediaStreamTrackProcessor.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const test = require("node:test");
const { PACKET, ALL_RELEASED, packets, leadingZeroFrames } = require("../node/engine.js");
const { session } = require("./session.js");

// The track's samples are lumbrook's, bit for bit, except that Chromium quiets a signalling NaN
// (it sets the quiet bit, 0x00400000): audio has no NaN, the simulated engine's random bytes
// have a few. After the last frame, silence completes the last 10 ms chunk. Where the track
// made up zeros for frames that came late (`madeUp`, frames: a busy machine held the host up),
// their sound is all there, in order, and only zeros moved.
function assertSameSamples(read, sent, madeUp = 0) {
  const chunk = 480 * 8;
  const nan = (word) => (word & 0x7f800000) === 0x7f800000 && (word & 0x007fffff) !== 0;
  const same = (a, b) => a === b || (nan(a) && nan(b) && (a | 0x400000) === (b | 0x400000));
  const sameFrame = (x, y) => same(read.readUInt32LE(x), sent.readUInt32LE(y)) &&
    same(read.readUInt32LE(x + 4), sent.readUInt32LE(y + 4));
  if (madeUp > 0) {
    const sound = (pcm) => {
      const frames = [];
      for (let at = 0; at + 8 <= pcm.length; at += 8) if (pcm.readBigUInt64LE(at) !== 0n) frames.push(at);
      return frames;
    };
    const [ours, theirs] = [sound(read), sound(sent)];
    assert.equal(ours.length, theirs.length, `${madeUp} frames made up`);
    const moved = ours.findIndex((at, k) => !sameFrame(at, theirs[k]));
    assert.equal(moved, -1, `${madeUp} frames made up; sound frame ${moved} differs`);
    assert.ok(read.length >= sent.length && read.length <= sent.length + madeUp * 8 + chunk);
    return;
  }
  assert.equal(read.length, Math.ceil(sent.length / chunk) * chunk);
  assert.ok(read.subarray(sent.length).equals(Buffer.alloc(read.length - sent.length)));
  for (let at = 0; at < sent.length; at += 8) {
    if (!sameFrame(at, at)) {
      assert.fail(`frame ${at / 8} is 0x${read.readBigUInt64LE(at).toString(16)}, lumbrook wrote ` +
        `0x${sent.readBigUInt64LE(at).toString(16)}`);
    }
  }
}

// How far the frames read are from the real time since the first frame, in ms, one figure a
// second. A read is only ever late (a busy page), never early: the least late read of the first
// half second says when the first frame began, and each second's least late read where the
// frames were.
function clockErrorsBySecond(reads) {
  const start = Math.min(...reads.filter(([at]) => at - reads[0][0] < 500).map(([at, frames]) => at - frames / 48));
  const seconds = new Map();
  for (const [at, frames] of reads) {
    const second = Math.floor((at - start) / 1000);
    seconds.set(second, Math.max(seconds.get(second) ?? -Infinity, frames / 48 - (at - start)));
  }
  return [...seconds.values()];
}

function finalEvent(run) {
  const last = run.events.at(-1);
  assert.equal(last.event, "done", JSON.stringify(run.events.slice(-2)));
  return last;
}

// For each read: how far the frames read so far are from the time since the first frame, in ms.
function clockErrors(reads) {
  const [firstAt, firstFrames] = reads[0];
  const start = firstAt - firstFrames / 48;
  return reads.map(([at, frames]) => frames / 48 - (at - start));
}

test("every frame exact, a page stall loses nothing and adds no lasting latency, the end ends the track", async (t) => {
  const run = await session("tail 480", "stallAt=48000", { stopAfterFrames: 48000 * 4 });
  const done = finalEvent(run);
  // Exactly what lumbrook wrote: nothing dropped, reordered or inserted.
  assert.ok(run.sent.subarray(0, PACKET * 300).equals(packets(1, 300)));
  assertSameSamples(run.pcm, run.sent, done.madeUp);
  // In chunks of one size, 48 kHz stereo; the last may be shorter.
  assert.deepEqual([...new Set(done.reads.slice(0, -1).map((r) => r.slice(2).join(" ")))], ["480 48000 2"]);
  // The stall: the reads after it are back where they were before it.
  const stall = run.events.find((e) => e.event === "stalled");
  const errors = clockErrors(done.reads);
  const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const before = median(errors.filter((_, k) => done.reads[k][0] < stall.at));
  const after = median(errors.filter((_, k) => done.reads[k][0] > stall.until + 500));
  t.diagnostic(`read offset ${before.toFixed(1)} ms before the stall, ${after.toFixed(1)} ms after; ` +
    `${done.madeUp} frames made up`);
  // Zeros the track made up for frames a busy machine held up put the sound after them that
  // much later until the next silence, 200 ms at the most.
  const owed = done.madeUp > 0 ? 200 : 0;
  assert.ok(after - before < 100 + owed && before - after < 100, `${before} ms before the stall, ${after} ms after`);
  // The frames' end ended the track, with its event; lumbrook released everything.
  assert.deepEqual([done.readyState, done.endedEvents], ["ended", 1]);
  assert.deepEqual(run.sending, { ended: true });
  assert.equal(run.status, 0);
  assert.equal(run.log.at(-1), ALL_RELEASED);
});

test("a restart is kept in time on the track", async (t) => {
  const marker = path.join(os.tmpdir(), `lumbrook-browser-first-${process.pid}`);
  fs.rmSync(marker, { force: true });
  const first = Array(100).fill("packet 480 data").join(";");
  // Stopped once the second run's first 100 packets have been sent, however long a busy machine
  // takes to start it.
  let sound = 0;
  let looked = 0;
  const secondRunSent = (port) => {
    for (; looked < port.sent.length; looked++) {
      const part = port.sent[looked];
      for (let at = 0; at < part.length; at += 8) sound += part.readBigUInt64LE(at) !== 0n ? 1 : 0;
    }
    return sound >= 48000 * 2;
  };
  const run = await session(`first_run ${marker}; ${first}; lose size 0x88890004; every_run; tail 480`, "",
    { stopAfterFrames: 48000 * 4, stopWhen: secondRunSent, captureOptions: { restartDelayMs: 300 } });
  fs.rmSync(marker, { force: true });
  const done = finalEvent(run);
  assertSameSamples(run.pcm, run.sent, done.madeUp);
  assert.ok(run.sent.subarray(0, PACKET * 100).equals(packets(1, 100)));
  const zeros = leadingZeroFrames(run.sent.subarray(PACKET * 100));
  const second = run.sent.subarray(PACKET * 100 + zeros * 8);
  assert.ok(second.subarray(0, PACKET * 100).equals(packets(1, 100)), `after ${zeros} zero frames`);
  // Within about 100 ms of real time in every second, through the restart; behind a little
  // more for a busy machine.
  const errors = clockErrorsBySecond(done.reads);
  t.diagnostic(`${zeros} zero frames between the runs; frames off real time from ` +
    `${Math.min(...errors).toFixed(1)} to ${Math.max(...errors).toFixed(1)} ms`);
  // Zeros the track made up for frames a busy machine held up put it ahead by as much until the
  // next silence, 200 ms at the most.
  const owed = done.madeUp > 0 ? 200 : 0;
  for (const error of errors) {
    assert.ok(error <= 100 + owed && error >= -250, `frames ${error} ms off real time, ${done.madeUp} frames made up`);
  }
  assert.equal(run.log.filter((line) => line === ALL_RELEASED).length, 2);
});

test("the page's track.stop() releases the track's side and tells the main side", async () => {
  const run = await session("tail 480", "stopAt=24000");
  const stopped = run.events.find((e) => e.event === "stopped");
  assert.equal(stopped.readyState, "ended");
  finalEvent(run);
  assert.deepEqual(run.sending, { ended: true }); // resolved by the page's word
  assert.equal(run.status, 0);
  assert.equal(run.log.at(-1), ALL_RELEASED);
});
