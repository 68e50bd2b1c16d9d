// The renderer side of the path from lumbrook to a track a page can send: the frames that
// sendFrames() carries from the main process, as a live audio MediaStreamTrack, 48 kHz stereo.
// Plain browser APIs, no Node and no bundler.
const WORKER = new URL("./renderer-worker.js", import.meta.url);

// Returns a live audio track that plays the frames arriving on `port` as lumbrook wrote them,
// 30 ms after their capture, at an even pace. A worker of its own writes them, so that a busy
// page never holds them up. Where frames come later than that (a sound's end, whose silence
// lumbrook writes only once no packet has come for 200 ms, or a host held up), the track gets
// zeros in their place and leaves out as many of the zeros that follow: `track.framesMadeUp`
// counts them. The track ends (and fires "ended") when the frames end or fail; its stop() also
// releases the worker and the port, and tells the main side.
export function createAudioTrack(port) {
  const track = new MediaStreamTrackGenerator({ kind: "audio" });
  const worker = new Worker(WORKER);
  track.framesMadeUp = 0;
  worker.onmessage = ({ data }) => {
    if (data === "done") worker.terminate(); // the worker has let go of the track and port
    else track.framesMadeUp = data.madeUp;
  };
  worker.postMessage({ port, writable: track.writable }, [port, track.writable]);
  const stop = track.stop.bind(track);
  track.stop = () => {
    stop();
    worker.postMessage("stop");
  };
  return track;
}
