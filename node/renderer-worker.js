// The worker behind createAudioTrack(): takes the frames from the main side's port and writes
// them to the track's generator in chunks of one size, 10 ms, each stamped with the real time
// its first frame was captured. Chromium takes an AudioData's timestamp as its capture time on
// the clock of the context that writes it, this worker's performance.now(), and a WebRTC
// sender reports it to the receiver, which lines the call's video up with it: the main side
// sends each message's time on the epoch clock, which this worker's time origin turns into its
// own. A change of chunk size would reset a WebRTC sender's buffer, and Chromium's track
// passes on a short last chunk to nobody (seen in Chromium 156): the last one is completed with
// zeros.
//
// The generator neither buffers nor paces, and a receiver makes up audio for any chunk that
// comes late: so this worker writes each chunk at an even pace, LATENCY_MS after its last frame
// was captured. Frames that come later than that (where lumbrook has just written a sound's
// last packet: its silence comes only once no packet has come for its flow bound, 200 ms; or a
// busy machine held the host up) find zeros made up in their place, stamped with the time they
// stand for: a chunk of them at each step, as many of the zeros that follow then left out, so
// that the track stays in time. Sound that comes after zeros made up for it is written late, and
// stamped with its capture time where that lies after the last stamp. At most MAX_OWED_FRAMES of
// zeros are made up before as many have been left out: a host held up for longer while sound
// flows leaves the receiver to make up for it, and the track no later than that.
"use strict";
const RATE = 48000;
const CHANNELS = 2;
const CHUNK_FRAMES = 480;
const CHUNK_MS = (CHUNK_FRAMES * 1000) / RATE;
// How late after its capture a chunk's last frame may arrive and still be written as it came:
// the host's path from lumbrook to here, and a busy machine's short hold-ups.
const LATENCY_MS = 30;
const MAX_OWED_FRAMES = (200 * RATE) / 1000; // lumbrook's flow bound

let port = null;
let writer = null;
const queue = []; // { samples, at }: interleaved samples not yet written, when the first was captured
let queuedSamples = 0;
let nextAt = null; // when the next chunk's first frame was captured, or is due to be
let owed = 0; // frames of zeros made up that the zeros to come are to make good
let madeUp = 0; // frames of zeros made up in all
let received = 0; // frames that came
let told = 0; // frames the main side was told were taken
const TELL_FRAMES = 4800; // it is told every 100 ms of frames, and sends no more than a second ahead
let startedAt = null; // for frames sent without times: when the first arrived, epoch ms
let lastStamp = -Infinity;
let lastWrite = Promise.resolve();
let timer = null;
let done = false;
let ending = false;

const epochNow = () => performance.timeOrigin + performance.now();

// The chunk's capture time in microseconds on this worker's clock, always after the last one.
function stampOf(at) {
  const stamp = Math.max(Math.round((at - performance.timeOrigin) * 1000), lastStamp + 1);
  lastStamp = stamp;
  return stamp;
}

function writeChunk(samples, at) {
  const data = new AudioData({
    format: "f32",
    sampleRate: RATE,
    numberOfFrames: samples.length / CHANNELS,
    numberOfChannels: CHANNELS,
    timestamp: stampOf(at),
    data: samples, // copied by AudioData
  });
  lastWrite = writer.write(data).catch(letGo);
}

// A chunk of the queued samples, completed with zeros where fewer are queued; returns the zero
// frames it took.
function writeQueued(at) {
  const out = new Float32Array(CHUNK_FRAMES * CHANNELS);
  let filled = 0;
  while (filled < out.length && queue.length > 0) {
    const head = queue[0];
    const count = Math.min(head.samples.length, out.length - filled);
    out.set(head.samples.subarray(0, count), filled);
    filled += count;
    queuedSamples -= count;
    if (count === head.samples.length) queue.shift();
    else queue[0] = { samples: head.samples.subarray(count), at: head.at + count / CHANNELS / (RATE / 1000) };
  }
  writeChunk(out, at);
  return (out.length - filled) / CHANNELS;
}

// Writes every chunk that is due: a queued one once its last frame was captured LATENCY_MS ago;
// where fewer frames are queued by then, what there is completed with zeros of its own (none
// beyond MAX_OWED_FRAMES: the rest then waits for its frames). Then waits for the next.
function pace() {
  clearTimeout(timer);
  timer = null;
  if (done || ending || nextAt === null) return;
  for (const now = epochNow(); ; ) {
    const at = queue.length > 0 ? queue[0].at : nextAt;
    if (at + CHUNK_MS + LATENCY_MS > now) break;
    if (queuedSamples >= CHUNK_FRAMES * CHANNELS) {
      writeQueued(at);
    } else if (owed < MAX_OWED_FRAMES) {
      const zeros = writeQueued(at);
      owed += zeros;
      madeUp += zeros;
      postMessage({ madeUp });
    } else if (queue.length > 0) {
      return; // the frames that come next are written at once
    }
    nextAt = queue.length > 0 ? queue[0].at : at + CHUNK_MS;
  }
  const at = queue.length > 0 ? queue[0].at : nextAt;
  timer = setTimeout(pace, Math.max(1, at + CHUNK_MS + LATENCY_MS - epochNow()));
}

// How many whole frames of silence begin `samples`, up to `most`: only a run of a chunk or
// more, or all there is, counts as silence (a sound may hold a silent frame now and then).
function leadingSilence(samples, most) {
  let frames = 0;
  while (frames < most && frames * CHANNELS < samples.length) {
    const at = frames * CHANNELS;
    if (samples[at] !== 0 || samples[at + 1] !== 0) break;
    frames++;
  }
  return frames >= CHUNK_FRAMES || frames * CHANNELS === samples.length || frames === most ? frames : 0;
}

// `first`: when the first frame of `pcm` was captured, epoch ms, or null where the sender has no
// clock: the frames are then timed from the arrival of the first.
function take(pcm, first) {
  let samples = new Float32Array(pcm);
  if (typeof first !== "number") {
    if (startedAt === null) startedAt = epochNow();
    first = startedAt + received / (RATE / 1000);
  }
  received += samples.length / CHANNELS;
  // The zeros made up stand for the silence that was late: as much of it is left out.
  const skip = owed > 0 ? leadingSilence(samples, owed) : 0;
  owed -= skip;
  samples = samples.subarray(skip * CHANNELS);
  first += skip / (RATE / 1000);
  if (samples.length === 0) return;
  queue.push({ samples, at: first });
  queuedSamples += samples.length;
  if (nextAt === null) nextAt = first;
  pace();
}

// The frames ended or failed: what is queued is written at once, after it silence to the
// chunk's end, and the track ends. Chromium hands a written chunk on to the track's sinks a
// moment later, and one still on its way when the track ends is lost (seen in Chromium 156):
// the track ends once the last chunk has had ENDING_MS to get there.
const ENDING_MS = 50;
function end() {
  ending = true;
  clearTimeout(timer);
  while (queuedSamples > 0) writeQueued(queue[0].at);
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
  clearTimeout(timer);
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
    if (done || ending || !data) return;
    if (data.lumbrook === "frames") {
      take(data.pcm, data.at);
      if (received - told >= TELL_FRAMES) {
        told = received;
        port.postMessage({ lumbrook: "taken", frames: received });
      }
    } else if (data.lumbrook === "end" || data.lumbrook === "error") {
      end();
    }
  };
};
