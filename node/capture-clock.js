"use strict";
// The capture's clock: the real time at which each frame of a capture was captured, on the
// epoch clock (milliseconds since 1970, as performance.timeOrigin + performance.now() reads it
// in any process on the machine).
//
// 48 frames are a millisecond, from the time the first frame began. The stream's frames keep
// real time through silence and restarts, but while audio flows they run at the device's
// clock, which may be a few hundred ppm off the computer's. So the clock watches when frames
// of sound arrive: a frame cannot arrive before it was captured, and lumbrook writes a packet
// the moment the engine hands it out, so the earliest arrivals in a window show where real
// time is. It follows them by changing its rate a little, never by a jump: a frame's time
// always grows by about 1/48 ms a frame, within MAX_SLEW.
const { performance } = require("node:perf_hooks");

const FRAMES_PER_MS = 48;
const WINDOW_MS = 2000; // the arrivals of this long make one correction
const HORIZON_MS = 5000; // an error found is worked off over about this long...
const MAX_SLEW = 0.001; // ...at 1 ms a second of frames at most (1000 ppm)

function epochNow() {
  return performance.timeOrigin + performance.now();
}

class CaptureClock {
  constructor() {
    this.origin = null; // when frame 0 began, epoch ms
    this.frames = 0; // frames pushed so far
    // Where the rate changed: frame, time correction there (ms), correction per frame (ms).
    this.anchors = [[0, 0, 0]];
    this.windowStart = null;
    this.windowLeast = Infinity;
  }

  // The first `frames` frames arrived at `at`: frame 0 began that long before.
  start(frames, at = epochNow()) {
    if (this.origin === null) this.origin = at - frames / FRAMES_PER_MS;
  }

  // `count` more frames were pushed, which arrived at `at`; whether the last of them is sound.
  pushed(count, sound, at = epochNow()) {
    this.frames += count;
    if (sound && this.origin !== null) this.sound(this.frames, at);
  }

  // The frames up to `frames` arrived at `at`, the last of them sound.
  sound(frames, at) {
    this.windowLeast = Math.min(this.windowLeast, at - this.timeOf(frames));
    if (this.windowStart === null) this.windowStart = at;
    if (at - this.windowStart < WINDOW_MS) return;
    const [from, correction, perFrame] = this.anchorAt(frames);
    const slew = Math.max(-MAX_SLEW, Math.min(MAX_SLEW, this.windowLeast / HORIZON_MS));
    this.anchors.push([frames, correction + (frames - from) * perFrame, slew / FRAMES_PER_MS]);
    this.windowStart = at;
    this.windowLeast = Infinity;
  }

  // The real time, epoch ms, at which `frame` was captured; null before the first frame.
  timeOf(frame) {
    if (this.origin === null) return null;
    const [from, correction, perFrame] = this.anchorAt(frame);
    return this.origin + frame / FRAMES_PER_MS + correction + (frame - from) * perFrame;
  }

  // The frame captured at `time` (epoch ms), in whole frames; null before the first frame.
  frameAt(time) {
    if (this.origin === null) return null;
    let low = 0;
    let high = this.anchors.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (this.timeOf(this.anchors[middle][0]) <= time) low = middle;
      else high = middle - 1;
    }
    const [from, , perFrame] = this.anchors[low];
    return Math.floor(from + (time - this.timeOf(from)) / (1 / FRAMES_PER_MS + perFrame));
  }

  anchorAt(frame) {
    let low = 0;
    let high = this.anchors.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (this.anchors[middle][0] <= frame) low = middle;
      else high = middle - 1;
    }
    return this.anchors[low];
  }
}

module.exports = { CaptureClock, epochNow };
