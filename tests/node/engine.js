"use strict";
// What the simulated engine hands out, for the Node and browser tests: the bytes of its data
// packets, and its log's last line once the program released everything.
const PACKET = 480 * 8;
const ALL_RELEASED =
  "alive IAudioClient=0 IAudioCaptureClient=0 IActivateAudioInterfaceAsyncOperation=0 IUnknown=0";

// The bytes the simulated engine fills data packet `seed` with.
function sampleBytes(seed, count) {
  const out = Buffer.alloc(count);
  for (let i = 0; i < count; i++) {
    let x = (Math.imul(seed, 2654435761) + Math.imul(i, 40503)) >>> 0;
    x = (x ^ (x >>> 15)) >>> 0;
    x = Math.imul(x, 2246822519) >>> 0;
    x = (x ^ (x >>> 13)) >>> 0;
    out[i] = x & 0xff;
  }
  return out;
}

// `count` data packets from number `first` on.
const packets = (first, count) =>
  Buffer.concat(Array.from({ length: count }, (_, k) => sampleBytes(first + k, PACKET)));

// The number of leading frames that are all zero.
function leadingZeroFrames(audio) {
  let frames = 0;
  while (frames * 8 < audio.length && audio.readBigUInt64LE(frames * 8) === 0n) frames++;
  return frames;
}

// Each run of frames that are all zero: [first frame, frames].
function zeroRuns(audio) {
  const runs = [];
  for (let frame = 0; frame * 8 < audio.length; frame++) {
    if (audio.readBigUInt64LE(frame * 8) !== 0n) continue;
    const last = runs.at(-1);
    if (last && last[0] + last[1] === frame) last[1]++;
    else runs.push([frame, 1]);
  }
  return runs;
}

module.exports = { PACKET, ALL_RELEASED, packets, leadingZeroFrames, zeroRuns };
