"use strict";
// The conversion of a capture's frames to a speech engine's form, measured side by side with
// SoX's very-high-quality rate converter (`rate -v`) on the same input: what is left of a tone
// above the new Nyquist frequency, how flat the passband is, how close a sweep and speech-band
// content come to SoX's, silence, conversion in pieces, and 16-bit rounding and clipping.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { execFileSync } = require("node:child_process");
const test = require("node:test");
const { installPackage } = require("./install.js");

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lumbrook-convert-"));
const { packageDir } = installPackage(scratch);
const { converter } = require(path.join(packageDir, "convert.js"));
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

const IN = 48000;
const RATES = [8000, 16000, 22050, 24000, 32000, 44100];

// `seconds` of a mono signal, f(i) for sample i, as the capture's frames: the same on both
// channels, so that the average is the signal itself.
function frames(seconds, f) {
  const out = Buffer.alloc(IN * seconds * 8);
  for (let i = 0; i < IN * seconds; i++) {
    out.writeFloatLE(f(i), i * 8);
    out.writeFloatLE(f(i), i * 8 + 4);
  }
  return out;
}
const sine = (hz, level = 0.5) => (i) => level * Math.sin((2 * Math.PI * hz * i) / IN);

// The converter's output for `input` given in pieces of `sizes` frames (taken in turn), ended.
async function convert(input, form, sizes = [input.length / 8]) {
  const stream = converter({ sampleRate: IN, channels: 2, format: "f32", ...form });
  const parts = [];
  stream.on("data", (part) => parts.push(part));
  const ended = new Promise((resolve, reject) => stream.on("end", resolve).on("error", reject));
  for (let at = 0, k = 0; at < input.length; k++) {
    const size = Math.min(sizes[k % sizes.length] * 8, input.length - at);
    if (!stream.write(input.subarray(at, at + size))) await new Promise((resolve) => stream.once("drain", resolve));
    at += size;
  }
  stream.end();
  await ended;
  return Buffer.concat(parts);
}

const samplesOf = (bytes, format) =>
  format === "s16"
    ? Float32Array.from({ length: bytes.length / 2 }, (_, i) => bytes.readInt16LE(i * 2) / 32768)
    : new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));

// SoX's conversion of the same signal, mono, in the same format (16-bit without dither).
function sox(input, rate, format) {
  const mono = Buffer.alloc(input.length / 2);
  for (let i = 0; i < mono.length / 4; i++) mono.writeFloatLE(input.readFloatLE(i * 8), i * 4);
  const raw = ["-t", "raw", "-e", "floating-point", "-b", "32", "-c", "1", "-r", String(IN), "-"];
  const out = format === "s16" ? ["-t", "raw", "-e", "signed", "-b", "16", "-"] : ["-t", "raw", "-e", "floating-point", "-b", "32", "-"];
  return samplesOf(execFileSync("sox", ["-D", ...raw, ...out, "rate", "-v", String(rate)], { input: mono, maxBuffer: 1 << 26 }), format);
}

// The level of `samples` (leaving out a quarter second at each end), in dB against a sine at
// `level`.
function levelDb(samples, rate, level = 0.5) {
  let sum = 0;
  const from = Math.floor(rate / 4);
  const to = samples.length - from;
  for (let i = from; i < to; i++) sum += samples[i] * samples[i];
  return 20 * Math.log10(Math.sqrt(sum / (to - from)) / (level / Math.SQRT2));
}

function snrDb(ours, theirs, rate) {
  let signal = 0;
  let noise = 0;
  const from = Math.floor(rate / 4);
  for (let i = from; i < Math.min(ours.length, theirs.length) - from; i++) {
    signal += theirs[i] * theirs[i];
    noise += (ours[i] - theirs[i]) ** 2;
  }
  return 10 * Math.log10(signal / noise);
}

test("every rate, both formats: stopband, passband and SoX's output, as the bar asks", async (t) => {
  // 20 Hz up to `top` over a second.
  const sweep = (top) => (i) => {
    const seconds = i / IN;
    return 0.5 * Math.sin(2 * Math.PI * (20 * seconds + ((top - 20) / 2) * seconds * seconds));
  };
  const speech = (i) => [150, 440, 1200, 2500, 3300].reduce((sum, hz) => sum + 0.15 * Math.sin((2 * Math.PI * hz * i) / IN + hz), 0);
  for (const rate of RATES) {
    const nyquist = rate / 2;
    for (const format of ["f32", "s16"]) {
      const form = { sampleRate: rate, channels: 1, format };
      const run = async (signal, seconds = 1) => samplesOf(await convert(frames(seconds, signal), form), format);
      const above = Math.min(1.1 * nyquist, 23500);
      const stop = levelDb(await run(sine(above)), rate);
      let worst = 0;
      for (const hz of [100, 1000, 0.5 * nyquist, 0.8 * nyquist, 0.9 * nyquist]) {
        worst = Math.max(worst, Math.abs(levelDb(await run(sine(hz), 1), rate)));
      }
      const sweepSignal = sweep(0.9 * nyquist);
      const snrSweep = snrDb(await run(sweepSignal), sox(frames(1, sweepSignal), rate, format), rate);
      const snrSpeech = snrDb(await run(speech), sox(frames(1, speech), rate, format), rate);
      t.diagnostic(`${rate} Hz ${format}: ${above} Hz ${stop.toFixed(1)} dB, passband within ${worst.toFixed(4)} dB, ` +
        `against SoX: sweep ${snrSweep.toFixed(1)} dB, speech band ${snrSpeech.toFixed(1)} dB`);
      assert.ok(stop <= -90, `${rate} ${format}: a ${above} Hz tone at ${stop} dB`);
      assert.ok(worst <= 0.1, `${rate} ${format}: passband off by ${worst} dB`);
      assert.ok(snrSweep >= 80 && snrSpeech >= 80, `${rate} ${format}: ${snrSweep}, ${snrSpeech} dB against SoX`);
      // Silence in, silence out, exactly; and as many frames as the input lasts.
      const quiet = await convert(frames(1, () => 0), form);
      assert.equal(quiet.length, rate * FORMAT_BYTES[format]);
      assert.ok(quiet.equals(Buffer.alloc(quiet.length)), `${rate} ${format}: silence is not zeros`);
    }
  }
});
const FORMAT_BYTES = { f32: 4, s16: 2 };

test("converting in pieces of any size gives the same samples as in one piece", async () => {
  const input = frames(3, (i) => sine(997)(i) + 0.2 * Math.sin(i / 3));
  const random = Array.from({ length: 97 }, (_, k) => 1 + ((k * 7919) % 2400));
  for (const form of [{ sampleRate: 16000, channels: 1, format: "s16" }, { sampleRate: 44100, channels: 2, format: "f32" }]) {
    const whole = await convert(input, form);
    for (const sizes of [[1], [480], [7, 1024, 3], random]) {
      assert.ok((await convert(input, form, sizes)).equals(whole), `${JSON.stringify(form)} in pieces of ${sizes.slice(0, 3)}`);
    }
  }
});

test("16-bit samples are rounded and held at full scale, never wrapped; one channel is the two averaged", async () => {
  const cases = [
    [0, 0], [0.25 / 32768, 0], [0.5 / 32768, 1], [-0.5 / 32768, 0], [-0.75 / 32768, -1], [1 / 32768, 1],
    [0.5, 16384], [-0.5, -16384], [32767 / 32768, 32767], [1, 32767], [-1, -32768], [1.5, 32767], [-1.5, -32768],
    [1e9, 32767], [-1e9, -32768],
  ];
  const input = Buffer.alloc(cases.length * 8);
  cases.forEach(([value], k) => {
    input.writeFloatLE(value, k * 8);
    input.writeFloatLE(value, k * 8 + 4);
  });
  const stereo = await convert(input, { format: "s16" });
  assert.deepEqual(Array.from({ length: cases.length }, (_, k) => [stereo.readInt16LE(k * 4), stereo.readInt16LE(k * 4 + 2)]),
    cases.map(([, expected]) => [expected, expected]));
  const pair = Buffer.alloc(16);
  [0.5, -0.5, 1, 0].forEach((value, k) => pair.writeFloatLE(value, k * 4));
  assert.deepEqual([...samplesOf(await convert(pair, { channels: 1 }), "f32")], [0, 0.5]);
});
