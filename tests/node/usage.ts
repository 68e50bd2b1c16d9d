// A host's use of the package, checked against its declarations by tsc --noEmit.
import { capture, sendFrames, setGpuPriority, lumbrookPath, CaptureError, PriorityResult } from "lumbrook-tessvane";
import { MessageChannel } from "node:worker_threads";

const path: string = lumbrookPath;
const { frames, stop } = capture({ excludePid: 1234, restartDelayMs: 250, prefix: ["wine"] });
frames.on("data", (chunk: Buffer) => chunk.readFloatLE(0));
frames.on("error", (error: Error) => {
  if (error instanceof CaptureError && error.code === "stream_lost") console.log(error.status);
});
stop().then((status: number | null) => console.log(path, status));

// A microphone lined up with the capture: the frame captured when a mic sample was.
const { clock } = capture();
const micSampleAt: number = performance.timeOrigin + performance.now();
const frame: number | null = clock.frameAt(micSampleAt);
const back: number | null = frame === null ? null : clock.timeOf(frame);
console.log(clock.origin, clock.frames, frames.clock.timeOf(0), back);

// The main side of an Electron host: the frames to a renderer through a port.
const { port1 } = new MessageChannel();
const late = capture({ startTimeoutMs: 15000 });
sendFrames(late.frames, port1).then(
  () => late.stop(),
  (error: Error) => error instanceof CaptureError && error.code === "start_timeout",
);

setGpuPriority("boost", ["self", 42]).then((outcome) => {
  if (outcome.apiMissing) return;
  outcome.results.forEach((result: PriorityResult) => {
    if ("error" in result) console.log(result.pid, result.error);
    else console.log(result.pid, result.applied, result.status);
  });
});
