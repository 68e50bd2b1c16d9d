"use strict";
// A capture's frames in the form a speech engine takes: another sample rate, one channel (the
// two averaged), 16-bit samples. The rate is converted by libsamplerate (its best sinc
// converter, built for WebAssembly), which stays within a hair of SoX's very-high-quality
// converter (the package's tests measure it against SoX). Its output is in time with its input:
// frame m of the converted stream is the capture's frame m * 48000 / rate. It holds back about
// 143 frames of the output rate until more input comes (3 ms at 44.1 kHz, 18 ms at 8 kHz), and
// gives them at the end, where it is fed silence to complete the stream.
const { Transform } = require("node:stream");

const RATE = 48000;
const RATES = [8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000];
const FORMATS = ["f32", "s16"];

// The form asked for, checked: { sampleRate, channels, format }.
function outputForm({ sampleRate = RATE, channels = 2, format = "f32" } = {}) {
  if (!RATES.includes(sampleRate)) {
    throw new RangeError(`sampleRate must be one of ${RATES.join(", ")}, not ${sampleRate}`);
  }
  if (channels !== 1 && channels !== 2) throw new RangeError(`channels must be 1 or 2, not ${channels}`);
  if (!FORMATS.includes(format)) throw new RangeError(`format must be "f32" or "s16", not ${format}`);
  return { sampleRate, channels, format };
}

const isDefault = (form) => form.sampleRate === RATE && form.channels === 2 && form.format === "f32";

// 32-bit float stereo PCM (whole frames) as samples of `channels` channels.
function samplesOf(buffer, channels) {
  const aligned = buffer.byteOffset % 4 === 0 ? buffer : Buffer.from(buffer);
  const stereo = new Float32Array(aligned.buffer, aligned.byteOffset, aligned.length / 4);
  if (channels === 2) return stereo;
  const mono = new Float32Array(stereo.length / 2);
  for (let i = 0; i < mono.length; i++) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) / 2;
  return mono;
}

// Samples as bytes: 32-bit float, or 16-bit rounded to the nearest step of 1/32768 and held at
// full scale (a sample beyond it never wraps round).
function bytesOf(samples, format) {
  if (format === "f32") return Buffer.from(samples.buffer.slice(samples.byteOffset, samples.byteOffset + samples.byteLength));
  const out = Buffer.alloc(samples.length * 2);
  for (let i = 0; i < samples.length; i++) {
    const value = Math.round(samples[i] * 32768);
    out.writeInt16LE(value > 32767 ? 32767 : value < -32768 ? -32768 : value || 0, i * 2);
  }
  return out;
}

async function makeResampler(channels, sampleRate) {
  const { create, ConverterType } = require("@alexanderolsen/libsamplerate-js");
  return create(channels, RATE, sampleRate, { converterType: ConverterType.SRC_SINC_BEST_QUALITY });
}

// A stream that takes a capture's frames and gives them in `form`, with backpressure, whole
// frames of the form in each chunk.
function converter(form) {
  const { sampleRate, channels, format } = form;
  // libsamplerate's converter is made at once, while lumbrook starts, so that the first frames
  // do not wait for it to load.
  let resampler = null;
  let ended = false; // the stream was destroyed: a converter made later is let go at once
  const made = sampleRate === RATE ? null : makeResampler(channels, sampleRate).then((src) => {
    resampler = src;
    if (ended) src.destroy();
  });
  made?.catch(() => {}); // its failure is the first frames'
  let taken = 0; // frames of the capture
  let given = 0; // frames of the form
  const resample = async (samples) => {
    if (made === null) return samples;
    await made;
    return Float32Array.from(resampler.full(samples)); // a copy: the result lives in its memory
  };
  const give = (stream, samples) => {
    given += samples.length / channels;
    if (samples.length > 0) stream.push(bytesOf(samples, format));
  };
  const stream = new Transform({
    transform(chunk, encoding, done) {
      taken += chunk.length / 8;
      resample(samplesOf(chunk, channels)).then((samples) => done(null, give(this, samples)), done);
    },
    // What the resampler holds back, completed with silence: as many frames in all as the
    // capture's frames last at the new rate.
    flush(done) {
      const owed = () => Math.floor((taken * sampleRate) / RATE) - given;
      const drain = async () => {
        if (made !== null) await made;
        while (resampler !== null && owed() > 0) {
          const samples = await resample(new Float32Array(4800 * channels));
          give(this, samples.subarray(0, Math.min(samples.length, owed() * channels)));
        }
        if (resampler !== null && !resampler.isDestroyed) resampler.destroy();
      };
      drain().then(() => done(), done);
    },
    destroy(error, done) {
      ended = true;
      if (resampler !== null && !resampler.isDestroyed) resampler.destroy();
      done(error);
    },
  });
  stream.framesGiven = () => given;
  return stream;
}

// The capture's clock for the converted frames: frame m is the capture's m * 48000 / rate.
function convertedClock(clock, form, stream) {
  const scale = RATE / form.sampleRate;
  return {
    get origin() {
      return clock.origin;
    },
    get frames() {
      return stream.framesGiven();
    },
    timeOf: (frame) => clock.timeOf(frame * scale),
    frameAt: (time) => {
      const frame = clock.frameAt(time);
      return frame === null ? null : Math.floor(frame / scale);
    },
  };
}

module.exports = { outputForm, isDefault, converter, convertedClock };
