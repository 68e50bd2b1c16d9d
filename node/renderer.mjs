// The renderer side of the path from lumbrook to a track a page can send: the frames that
// sendFrames() carries from the main process, as a live audio MediaStreamTrack, 48 kHz stereo.
// Plain browser APIs, no Node and no bundler.
const WORKER = new URL("./renderer-worker.js", import.meta.url);

// Returns a live audio track that plays the frames arriving on `port`, exactly as lumbrook
// wrote them. A worker of its own writes them to the track as they arrive, so that a busy page
// never holds them up. The track ends (and fires "ended") when the frames end or fail; its
// stop() also releases the worker and the port, and tells the main side.
export function createAudioTrack(port) {
  const track = new MediaStreamTrackGenerator({ kind: "audio" });
  const worker = new Worker(WORKER);
  worker.onmessage = () => worker.terminate(); // the worker has let go of the track and port
  worker.postMessage({ port, writable: track.writable }, [port, track.writable]);
  const stop = track.stop.bind(track);
  track.stop = () => {
    stop();
    worker.postMessage("stop");
  };
  return track;
}
