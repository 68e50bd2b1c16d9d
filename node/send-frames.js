"use strict";
// The main side of the path to a renderer's track: capture()'s frames carried to a port.

// Adds (or removes) `listeners` by event name: Electron's and Node's ports have on and off, the
// DOM's addEventListener and removeEventListener.
function listen(port, listeners, add) {
  const node = typeof port.on === "function";
  for (const [event, listener] of Object.entries(listeners)) {
    if (node) port[add ? "on" : "off"](event, listener);
    else port[add ? "addEventListener" : "removeEventListener"](event, listener);
  }
}

// Carries `frames` (what capture() gives) to `port`: Electron's MessagePortMain, a DOM
// MessagePort or a worker_threads port; anything with postMessage. Each chunk goes as a copy of
// its bytes with the real time its first frame was captured (`at`, epoch ms, from the
// capture's clock); the end, or the failure, is told to the other side. Resolves when the
// frames end, when the other side says its track was stopped, or when the port closes (the
// page was reloaded or has crashed): the frames are then paused, stop the capture. Rejects with
// the capture's error when they fail.
function sendFrames(frames, port) {
  const clock = frames.clock || null;
  return new Promise((resolve, reject) => {
    const onData = (chunk) => {
      const pcm = chunk.buffer.slice(chunk.byteOffset, chunk.byteOffset + chunk.length);
      // The chunk has just left the stream's buffer: what is still in it comes after.
      const first = clock && clock.frames - (frames.readableLength + chunk.length) / 8;
      port.postMessage({ lumbrook: "frames", pcm, at: clock ? clock.timeOf(first) : null });
    };
    const onClose = () => finish(null, true);
    const onReply = (reply) => {
      // A MessageEvent from Electron's and the DOM's ports, the value itself from Node's.
      const message = reply && reply.lumbrook === undefined && "data" in reply ? reply.data : reply;
      if (message && message.lumbrook === "stopped") finish(null, true);
    };
    const finish = (error, stopped) => {
      frames.off("data", onData);
      frames.off("end", onEnd);
      frames.off("error", onError);
      listen(port, { message: onReply, close: onClose }, false);
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
    listen(port, { message: onReply, close: onClose }, true);
    if (typeof port.start === "function") port.start();
    frames.on("data", onData);
    frames.once("end", onEnd);
    frames.once("error", onError);
  });
}

module.exports = { sendFrames };
