"use strict";
// The main side of the path to a renderer's track: capture()'s frames carried to a port.

// Carries `frames` (what capture() gives) to `port`: Electron's MessagePortMain, a DOM
// MessagePort or a worker_threads port; anything with postMessage. Each chunk goes as a copy of
// its bytes; the end, or the failure, is told to the other side. Resolves when the frames end,
// or when the other side says its track was stopped (the frames are then paused: stop the
// capture); rejects with the capture's error when they fail.
function sendFrames(frames, port) {
  return new Promise((resolve, reject) => {
    const onData = (chunk) => {
      const pcm = chunk.buffer.slice(chunk.byteOffset, chunk.byteOffset + chunk.length);
      port.postMessage({ lumbrook: "frames", pcm });
    };
    const onReply = (reply) => {
      // A MessageEvent from Electron's and the DOM's ports, the value itself from Node's.
      const message = reply && reply.lumbrook === undefined && "data" in reply ? reply.data : reply;
      if (message && message.lumbrook === "stopped") finish(null, true);
    };
    const finish = (error, stopped) => {
      frames.off("data", onData);
      frames.off("end", onEnd);
      frames.off("error", onError);
      if (typeof port.off === "function") port.off("message", onReply);
      else port.removeEventListener("message", onReply);
      if (stopped) frames.pause();
      if (error) reject(error);
      else resolve();
    };
    const onEnd = () => {
      port.postMessage({ lumbrook: "end" });
      finish(null, false);
    };
    const onError = (error) => {
      port.postMessage({ lumbrook: "error", code: error.code || null, message: String(error.message) });
      finish(error, false);
    };
    if (typeof port.on === "function") port.on("message", onReply);
    else port.addEventListener("message", onReply);
    if (typeof port.start === "function") port.start();
    frames.on("data", onData);
    frames.once("end", onEnd);
    frames.once("error", onError);
  });
}

module.exports = { sendFrames };
