"use strict";
// The capture's clock through hours of simulated arrivals: a device whose clock is off the
// computer's, packets that arrive a little late and jittered, pauses written as silence.
const assert = require("node:assert/strict");
const path = require("node:path");
const test = require("node:test");

const { CaptureClock } = require(path.join(__dirname, "..", "..", "node", "capture-clock.js"));

const CHUNK = 480;

function random(seed) {
  let state = seed;
  return () => {
    state = (state * 1664525 + 1013904223) % 4294967296;
    return state / 4294967296;
  };
}

// Feeds `clock` as capture() does: 10 ms chunks of sound at the device's rate (`ppm` off real
// time) arriving 1 to 6 ms after their last frame; every `soundMs` a pause of `pauseMs`, written
// as silence 10 to 20 ms behind real time, after which the frames are back on real time, as
// lumbrook places the next sound. Calls check(frame, true capture time, clock) at each chunk of
// sound.
function feed(clock, { ppm, minutes, soundMs = Infinity, pauseMs = 0, seed = 1 }, check) {
  const next = random(seed);
  const chunkMs = 10 / (1 + ppm / 1e6);
  const start = 1.7e12;
  let t = start; // real time, epoch ms
  let frame = 0;
  let inSound = 0;
  const end = t + minutes * 60000;
  while (t < end) {
    if (inSound >= soundMs && pauseMs > 0) {
      // lumbrook's zeros for the pause end where the next sound's stamp says it began, which
      // takes the stream back to real time: as many frames as the device ran ahead fewer.
      let zeros = Math.round((t + pauseMs - start) * 48) - frame;
      for (let at = 10; zeros > 0; at += 10) {
        const count = Math.min(CHUNK, zeros);
        clock.pushed(count, false, t + at + 10 + 10 * next());
        frame += count;
        zeros -= count;
      }
      t += pauseMs;
      inSound = 0;
    }
    check(frame, t, clock);
    const arrival = t + chunkMs + 1 + 5 * next();
    if (clock.origin === null) clock.start(CHUNK, arrival);
    clock.pushed(CHUNK, true, arrival);
    frame += CHUNK;
    t += chunkMs;
    inSound += chunkMs;
  }
}

test("the clock stays with real time, moves smoothly and always forward", (t) => {
  const cases = [
    { name: "device on time", ppm: 0, minutes: 60 },
    { name: "device 300 ppm fast", ppm: 300, minutes: 60 },
    { name: "device 300 ppm slow", ppm: -300, minutes: 60 },
    { name: "300 ppm fast, 2 s pauses", ppm: 300, minutes: 30, soundMs: 10000, pauseMs: 2000 },
    { name: "300 ppm slow, 2 s pauses", ppm: -300, minutes: 30, soundMs: 10000, pauseMs: 2000 },
  ];
  for (const setting of cases) {
    const clock = new CaptureClock();
    let worst = 0;
    let previous = null;
    feed(clock, setting, (frame, truth, clk) => {
      if (clk.origin === null) return;
      const time = clk.timeOf(frame);
      worst = Math.max(worst, Math.abs(time - truth));
      if (previous !== null) {
        // 1/48 ms a frame, within the clock's 1000 ppm of correction.
        const rate = ((time - previous[1]) * 48) / (frame - previous[0]);
        assert.ok(rate > 0.999 && rate < 1.001, `${setting.name}: ${rate} of real time's pace`);
      }
      previous = [frame, time];
    });
    t.diagnostic(`${setting.name}: at most ${worst.toFixed(2)} ms off real time`);
    assert.ok(worst <= 20, `${setting.name}: ${worst.toFixed(2)} ms off real time`);
    // The frame of a time is the one whose time it is.
    for (const frame of [0, 48000 * 60, clock.frames - CHUNK]) {
      assert.ok(Math.abs(clock.frameAt(clock.timeOf(frame)) - frame) <= 1, `${setting.name}: ${frame}`);
    }
  }
});

test("before the first frame the clock knows no time", () => {
  const clock = new CaptureClock();
  assert.equal(clock.timeOf(0), null);
  assert.equal(clock.frameAt(Date.now()), null);
  clock.start(480, 1000);
  assert.equal(clock.timeOf(0), 990);
  assert.equal(clock.timeOf(48000), 1990);
});
