// The page side of the browser tests: the frames the test's main side sends arrive over a
// streamed fetch (standing in for Electron's port), go through a MessageChannel to
// createAudioTrack(), and are read back from the track with MediaStreamTrackProcessor. What was
// read, and when, goes back to the test with fetch.
import { createAudioTrack } from "./renderer.mjs";

const options = new URLSearchParams(location.search);
const stallAt = Number(options.get("stallAt") || 0); // frames read before a 500 ms stall
const stopAt = Number(options.get("stopAt") || 0); // frames read before the page stops the track
const keep = options.get("keep") !== "no"; // the audio read, or (for long runs) only its count
const records = options.get("records") !== "no"; // when each chunk was read, or only the count

const report = (event, details = {}) =>
  fetch("/event", { method: "POST", body: JSON.stringify({ event, ...details }) });

function interleaved(data) {
  const out = new Float32Array(data.numberOfFrames * data.numberOfChannels);
  if (data.format === "f32") {
    data.copyTo(out, { planeIndex: 0 });
    return out;
  }
  const plane = new Float32Array(data.numberOfFrames);
  for (let channel = 0; channel < data.numberOfChannels; channel++) {
    data.copyTo(plane, { planeIndex: channel, format: "f32-planar" });
    for (let i = 0; i < plane.length; i++) out[i * data.numberOfChannels + channel] = plane[i];
  }
  return out;
}

try {
  const channel = new MessageChannel();
  const feeder = new Worker("./feed-worker.mjs", { type: "module" });
  feeder.postMessage(channel.port1, [channel.port1]);
  const track = createAudioTrack(channel.port2);
  let endedEvents = 0;
  track.addEventListener("ended", () => endedEvents++);
  const reader = new MediaStreamTrackProcessor({ track, maxBufferSize: 60000 }).readable.getReader();
  const parts = [];
  const reads = []; // [ms, frames read so far, frames in the chunk, sample rate, channels]
  let frames = 0;
  let stalled = !stallAt;
  let stopped = !stopAt;
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    if (keep) parts.push(interleaved(value));
    frames += value.numberOfFrames;
    if (records || reads.length === 0) {
      reads.push([performance.now(), frames, value.numberOfFrames, value.sampleRate, value.numberOfChannels]);
    }
    value.close();
    if (!stalled && frames >= stallAt) {
      stalled = true;
      const until = performance.now() + 500;
      while (performance.now() < until); // the page's thread is busy: nothing runs
      await report("stalled", { at: reads.at(-1)[0], until });
    }
    if (!stopped && frames >= stopAt) {
      stopped = true;
      track.stop();
      await report("stopped", { readyState: track.readyState });
      break;
    }
  }
  await new Promise((resolve) => setTimeout(resolve, 0)); // an "ended" event queued meanwhile
  const pcm = new Uint8Array(keep ? frames * 8 : 0);
  let at = 0;
  for (const part of parts) {
    pcm.set(new Uint8Array(part.buffer), at);
    at += part.byteLength;
  }
  await fetch("/pcm", { method: "POST", body: pcm });
  await report("done", { readyState: track.readyState, endedEvents, reads, timeOrigin: performance.timeOrigin,
    madeUp: track.framesMadeUp });
} catch (error) {
  await report("failed", { error: String(error && error.stack ? error.stack : error) });
}
