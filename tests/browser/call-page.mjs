// The page of the call test: our track and a canvas's video in one stream, sent over a call
// between two peer connections in this page, beside a control call that sends an oscillator's
// track (paced by the audio clock) with the same video. Each receiver plays its stream in a
// media element, which is what pulls its audio. Twice a second both receivers' inbound-rtp
// stats go to the test; at the end, how far behind the page's clock the capture times of our
// track and of a live capture track are when read back with MediaStreamTrackProcessor.
import { createAudioTrack } from "./renderer.mjs";

const options = new URLSearchParams(location.search);
// A 500 ms stall once a chunk of ours is read that was captured this many frames after the
// first: by the chunks' times, which a busy page's reader that lost some still reads.
const stallAt = Number(options.get("stallAt") || 0);

const report = (event, details = {}) =>
  fetch("/event", { method: "POST", body: JSON.stringify({ event, ...details }) });

function canvasVideo() {
  const canvas = document.createElement("canvas");
  canvas.width = 320;
  canvas.height = 240;
  const context = canvas.getContext("2d");
  let frame = 0;
  setInterval(() => {
    context.fillStyle = `hsl(${(frame++ * 7) % 360} 60% 50%)`;
    context.fillRect(0, 0, canvas.width, canvas.height);
    context.fillStyle = "white";
    context.fillText(String(frame), 10, 20);
  }, 33);
  return canvas.captureStream(30).getVideoTracks()[0];
}

async function call(tracks) {
  const sender = new RTCPeerConnection();
  const receiver = new RTCPeerConnection();
  sender.onicecandidate = ({ candidate }) => candidate && receiver.addIceCandidate(candidate);
  receiver.onicecandidate = ({ candidate }) => candidate && sender.addIceCandidate(candidate);
  const media = document.createElement("video");
  media.autoplay = true;
  document.body.append(media);
  receiver.ontrack = ({ streams }) => {
    if (media.srcObject !== streams[0]) media.srcObject = streams[0];
  };
  const stream = new MediaStream(tracks);
  for (const track of tracks) sender.addTrack(track, stream);
  await sender.setLocalDescription();
  await receiver.setRemoteDescription(sender.localDescription);
  await receiver.setLocalDescription();
  await sender.setRemoteDescription(receiver.localDescription);
  return receiver;
}

const AUDIO = ["concealedSamples", "silentConcealedSamples", "totalSamplesReceived", "jitterBufferTargetDelay",
  "jitterBufferDelay", "jitterBufferEmittedCount", "insertedSamplesForDeceleration", "removedSamplesForAcceleration"];
const VIDEO = ["jitterBufferTargetDelay", "jitterBufferDelay", "jitterBufferEmittedCount", "framesDecoded"];

async function inbound(receiver) {
  const out = {};
  (await receiver.getStats()).forEach((stat) => {
    if (stat.type !== "inbound-rtp") return;
    out[stat.kind] = Object.fromEntries((stat.kind === "audio" ? AUDIO : VIDEO).map((name) => [name, stat[name] ?? 0]));
  });
  return out;
}

// Reads a track back and keeps, for each second, the least that a chunk's capture time was
// behind the page's clock when it was read: a read is only ever late, never early.
function captureTimes(track, onRead = () => {}) {
  const least = new Map();
  const reader = new MediaStreamTrackProcessor({ track }).readable.getReader();
  (async () => {
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      const now = performance.now();
      const second = Math.floor(now / 1000);
      least.set(second, Math.min(least.get(second) ?? Infinity, now - value.timestamp / 1000));
      const stamp = value.timestamp;
      value.close();
      onRead(stamp);
    }
  })();
  return least;
}

try {
  const live = (await navigator.mediaDevices.getUserMedia({ audio: true })).getAudioTracks()[0];
  const channel = new MessageChannel();
  const feeder = new Worker("./feed-worker.mjs", { type: "module" });
  feeder.postMessage(channel.port1, [channel.port1]);
  const ours = createAudioTrack(channel.port2);
  const context = new AudioContext({ sampleRate: 48000 });
  const oscillator = new OscillatorNode(context, { frequency: 440 });
  const level = new GainNode(context, { gain: 0.5 });
  const destination = context.createMediaStreamDestination();
  oscillator.connect(level).connect(destination);
  oscillator.start();
  await context.resume();
  const video = canvasVideo();
  const receivers = {
    ours: await call([ours, video.clone()]),
    control: await call([destination.stream.getAudioTracks()[0], video.clone()]),
  };
  let first = null;
  let stalled = !stallAt;
  const times = {
    ours: captureTimes(ours.clone(), (stamp) => {
      first ??= stamp;
      if (stalled || ((stamp - first) * 48) / 1000 < stallAt) return;
      stalled = true;
      const until = performance.now() + 500;
      while (performance.now() < until); // the page's thread is busy: nothing runs
      report("stalled", { at: performance.timeOrigin + until - 500 });
    }),
    live: captureTimes(live),
  };
  let ended = false;
  ours.addEventListener("ended", () => (ended = true));
  while (!ended) {
    const at = performance.timeOrigin + performance.now();
    const [oursStats, controlStats] = await Promise.all([inbound(receivers.ours), inbound(receivers.control)]);
    await report("stats", { at, ours: oursStats, control: controlStats, madeUp: ours.framesMadeUp });
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
  const seconds = (least) => [...least.values()];
  await report("done", { times: { ours: seconds(times.ours), live: seconds(times.live) } });
} catch (error) {
  await report("failed", { error: String(error && error.stack ? error.stack : error) });
}
