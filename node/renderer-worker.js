// The worker behind createAudioTrack(): takes the frames from the main side's port and writes
// them to the track's generator in chunks of one size, 10 ms, each stamped with the real time
// its first frame was captured. Chromium takes an AudioData's timestamp as its capture time on
// the clock of the context that writes it, this worker's performance.now(), and a WebRTC
// sender reports it to the receiver, which lines the call's video up with it: the main side
// sends each message's time on the epoch clock, which this worker's time origin turns into its
// own. A change of chunk size would reset a WebRTC sender's buffer, and Chromium's track
// passes on a short last chunk to nobody (seen in Chromium 156): the last one is completed with
// zeros. The generator neither buffers nor paces: the frames reach the track as they arrive.
"use strict";
const RATE = 48000;
const CHANNELS = 2;
const CHUNK_FRAMES = 480;

let port = null;
let writer = null;
const held = new Float32Array(CHUNK_FRAMES * CHANNELS);
let heldSamples = 0;
let written = 0; // frames
let heldAt = null; // when the held chunk's first frame was captured, epoch ms
let startedAt = null; // for frames sent without times: when the first arrived, epoch ms
let lastStamp = -Infinity;
let lastWrite = Promise.resolve();
let done = false;

// The chunk's capture time in microseconds on this worker's clock, always after the last one.
function stampOf(at) {
  const stamp = Math.max(Math.round((at - performance.timeOrigin) * 1000), lastStamp + 1);
  lastStamp = stamp;
  return stamp;
}

function writeChunk(samples) {
  const frames = samples / CHANNELS;
  const data = new AudioData({
    format: "f32",
    sampleRate: RATE,
    numberOfFrames: frames,
    numberOfChannels: CHANNELS,
    timestamp: stampOf(heldAt),
    data: held.subarray(0, samples), // copied by AudioData
  });
  written += frames;
  lastWrite = writer.write(data).catch(letGo);
}

// `first`: when the first frame of `pcm` was captured, epoch ms, or null where the sender has no
// clock: the frames are then timed from the arrival of the first.
function take(pcm, first) {
  const samples = new Float32Array(pcm);
  if (typeof first !== "number") {
    if (startedAt === null) startedAt = performance.timeOrigin + performance.now();
    first = startedAt + ((written + heldSamples / CHANNELS) * 1000) / RATE;
  }
  for (let at = 0; at < samples.length; ) {
    if (heldSamples === 0) heldAt = first + at / CHANNELS / (RATE / 1000);
    const count = Math.min(held.length - heldSamples, samples.length - at);
    held.set(samples.subarray(at, at + count), heldSamples);
    heldSamples += count;
    at += count;
    if (heldSamples === held.length) {
      writeChunk(heldSamples);
      heldSamples = 0;
    }
  }
}

// The frames ended or failed: the rest is written, after it silence to the chunk's end, and
// the track ends. Chromium hands a written chunk on to the track's sinks a moment later, and
// one still on its way when the track ends is lost (seen in Chromium 156): the track ends
// once the last chunk has had ENDING_MS to get there.
const ENDING_MS = 50;
function end() {
  if (heldSamples > 0) {
    held.fill(0, heldSamples);
    writeChunk(held.length);
  }
  heldSamples = 0;
  lastWrite
    .then(() => new Promise((resolve) => setTimeout(resolve, ENDING_MS)))
    .then(() => writer.close())
    .catch(() => {})
    .finally(letGo);
}

// The track has ended, or the page stopped it (writes then fail): the main side is told if it
// may still send, the port is closed and the page lets this worker go.
function letGo() {
  if (done) return;
  done = true;
  port.postMessage({ lumbrook: "stopped" });
  port.close();
  postMessage("done");
}

self.onmessage = (event) => {
  if (event.data === "stop") {
    letGo();
    return;
  }
  ({ port } = event.data);
  writer = event.data.writable.getWriter();
  port.onmessage = ({ data }) => {
    if (done || !data) return;
    if (data.lumbrook === "frames") take(data.pcm, data.at);
    else if (data.lumbrook === "end" || data.lumbrook === "error") end();
  };
};
