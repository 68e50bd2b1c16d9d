// For the bench: where the writes to the track should run, measured through a stall of the
// page. The track is read in a worker of its own, which the stall does not hold up: the longest
// wait between two chunks reaching it shows whether the writes went on during the stall.
// writer=worker: the package's createAudioTrack(); writer=page: each message written to a
// generator on the page's own thread as it comes.
import { createAudioTrack } from "./renderer.mjs";

const writer = new URLSearchParams(location.search).get("writer");
const report = (event, details = {}) =>
  fetch("/event", { method: "POST", body: JSON.stringify({ event, ...details }) });
const now = () => performance.timeOrigin + performance.now();

function trackWrittenOnThePage(port) {
  const track = new MediaStreamTrackGenerator({ kind: "audio" });
  const out = track.writable.getWriter();
  let written = 0;
  port.onmessage = ({ data }) => {
    if (data.lumbrook !== "frames") return out.close();
    const frames = data.pcm.byteLength / 8;
    const timestamp = Math.round((written * 1e6) / 48000);
    written += frames;
    out.write(new AudioData({ format: "f32", sampleRate: 48000, numberOfFrames: frames,
      numberOfChannels: 2, timestamp, data: data.pcm }));
  };
  return track;
}

const reading = `onmessage = async ({ data }) => {
  const reader = data.getReader();
  const arrivals = [];
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    arrivals.push(performance.timeOrigin + performance.now());
    value.close();
  }
  postMessage(arrivals);
};`;

try {
  const channel = new MessageChannel();
  const feeder = new Worker("./feed-worker.mjs", { type: "module" });
  feeder.postMessage(channel.port1, [channel.port1]);
  const track = writer === "page" ? trackWrittenOnThePage(channel.port2) : createAudioTrack(channel.port2);
  const processor = new MediaStreamTrackProcessor({ track, maxBufferSize: 60000 });
  const worker = new Worker(URL.createObjectURL(new Blob([reading], { type: "text/javascript" })));
  const arrivals = new Promise((resolve) => (worker.onmessage = ({ data }) => resolve(data)));
  worker.postMessage(processor.readable, [processor.readable]);
  await new Promise((resolve) => setTimeout(resolve, 1500));
  const stall = { at: now() };
  while (now() < stall.at + 500); // the page's thread is busy: nothing of it runs
  stall.until = now();
  await report("done", { stall, arrivals: await arrivals });
} catch (error) {
  await report("failed", { error: String(error && error.stack ? error.stack : error) });
}
