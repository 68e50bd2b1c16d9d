"use strict";
// The main side of the path to a renderer's track: capture()'s frames carried to a port.
const { isDefault } = require("./convert.js");

const FRAME_BYTES = 8;
// At most this many frames are on their way to a port whose other side has not said it took
// them (a second of audio: far more than a page that reads ever lags); beyond that, the
// newest parts wait here, no more than HELD_FRAMES of them, and the oldest of those go.
const IN_FLIGHT_FRAMES = 48000;
const HELD_FRAMES = 12000;

// Adds (or removes) `listeners` by event name: Electron's and Node's ports have on and off, the
// DOM's addEventListener and removeEventListener.
function listen(port, listeners, add) {
  const node = typeof port.on === "function";
  for (const [event, listener] of Object.entries(listeners)) {
    if (node) port[add ? "on" : "off"](event, listener);
    else port[add ? "addEventListener" : "removeEventListener"](event, listener);
  }
}

// A MessageEvent from Electron's and the DOM's ports, the value itself from Node's.
const messageOf = (reply) => (reply && reply.lumbrook === undefined && "data" in reply ? reply.data : reply);

// Carries `frames` (what capture() gives, in its default form) to `port`: Electron's
// MessagePortMain, a DOM MessagePort or a worker_threads port; anything with postMessage. Each
// chunk goes as a copy of its bytes with the real time its first frame was captured (`at`,
// epoch ms, from the capture's clock); the end, or the failure, is told to the other side,
// which tells what it has taken ({ lumbrook: "taken", frames }). A side that stops taking
// (a page that hangs) is sent no more than IN_FLIGHT_FRAMES: the parts after them wait, and
// where more wait than HELD_FRAMES the oldest are dropped, whole, so that the track resumes
// live and memory stays flat. Resolves to { framesDropped } when the frames end, when the
// other side says its track was stopped, or when the port closes (the page was reloaded or has
// crashed): the frames are then paused, stop the capture. Rejects with the capture's error
// when they fail.
function sendFrames(frames, port) {
  if (!frames || typeof frames.on !== "function") throw new TypeError("sendFrames() takes capture()'s frames");
  if (frames.form && !isDefault(frames.form)) {
    throw new TypeError("sendFrames() takes a capture in its default form, 48 kHz stereo 32-bit float");
  }
  if (!port || typeof port.postMessage !== "function") throw new TypeError("sendFrames() takes a port");
  const clock = frames.clock || null;
  let posted = 0; // frames posted
  let taken = 0; // frames the other side said it took
  const held = []; // { pcm, at, count } waiting for room
  let heldFrames = 0;
  let framesDropped = 0;

  const post = ({ pcm, at, count }) => {
    posted += count;
    port.postMessage({ lumbrook: "frames", pcm, at });
  };
  const postHeld = () => {
    while (held.length > 0 && posted - taken + held[0].count <= IN_FLIGHT_FRAMES) {
      heldFrames -= held[0].count;
      post(held.shift());
    }
  };

  return new Promise((resolve, reject) => {
    const onData = (chunk) => {
      const pcm = chunk.buffer.slice(chunk.byteOffset, chunk.byteOffset + chunk.length);
      // The chunk has just left the stream's buffer: what is still in it comes after.
      const first = clock && clock.frames - (frames.readableLength + chunk.length) / FRAME_BYTES;
      const part = { pcm, at: clock ? clock.timeOf(first) : null, count: chunk.length / FRAME_BYTES };
      if (held.length === 0 && posted - taken + part.count <= IN_FLIGHT_FRAMES) {
        post(part);
        return;
      }
      held.push(part);
      heldFrames += part.count;
      while (heldFrames > HELD_FRAMES && held.length > 1) {
        const dropped = held.shift();
        heldFrames -= dropped.count;
        framesDropped += dropped.count;
      }
    };
    const onClose = () => finish(null, true);
    const onReply = (reply) => {
      const message = messageOf(reply);
      if (!message) return;
      if (message.lumbrook === "stopped") {
        finish(null, true);
      } else if (message.lumbrook === "taken" && Number.isFinite(message.frames)) {
        taken = Math.max(taken, message.frames);
        postHeld();
      }
    };
    const finish = (error, stopped) => {
      frames.off("data", onData);
      frames.off("end", onEnd);
      frames.off("error", onError);
      listen(port, { message: onReply, close: onClose }, false);
      if (stopped) frames.pause();
      if (error) reject(error);
      else resolve({ framesDropped });
    };
    const onEnd = () => {
      // What waits goes too: the other side writes it at once and ends its track.
      while (held.length > 0) post(held.shift());
      port.postMessage({ lumbrook: "end" });
      finish(null, false);
    };
    const onError = (error) => {
      port.postMessage({ lumbrook: "error", code: error.code || null, message: String(error.message) });
      finish(error, false);
    };
    listen(port, { message: onReply, close: onClose }, true);
    if (typeof port.start === "function") port.start();
    frames.on("data", onData);
    frames.once("end", onEnd);
    frames.once("error", onError);
  });
}

module.exports = { sendFrames };
