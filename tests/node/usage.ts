// A host's use of the package, checked against its declarations by tsc --noEmit.
import { capture, sendFrames, setGpuPriority, boostGpuProcess, lumbrookPath, CaptureError, PriorityResult, ERROR_CODES,
  isSupported, CaptureErrorCode } from "lumbrook-tessvane";
import { EventEmitter } from "node:events";
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
  ({ framesDropped }: { framesDropped: number }) => (framesDropped > 0 ? late.stop() : null),
  (error: Error) => error instanceof CaptureError && error.code === "start_timeout",
);

setGpuPriority("boost", ["self", 42]).then((outcome) => {
  if (outcome.apiMissing) return;
  outcome.results.forEach((result: PriorityResult) => {
    if ("error" in result) console.log(result.pid, result.error);
    else console.log(result.pid, result.applied, result.status);
  });
});

// An Electron host's GPU process boosted, each outcome logged, set back when the app quits.
class App extends EventEmitter {
  getAppMetrics() {
    return [{ pid: 4242, type: "GPU", creationTime: 1700000000000, cpu: {} }];
  }
}
const gpu = boostGpuProcess(new App(), {
  pollMs: 500,
  onOutcome: (outcome) => {
    if ("error" in outcome) console.error(outcome.pid, outcome.error.message);
    else console.log(outcome.mode, outcome.pid, outcome.creationTime, outcome.results[0]?.applied);
  },
});
const followed: { pid: number; creationTime: number } | null = gpu.current();
gpu.stop().then((last) => console.log(followed, last && last.mode));

// Where the programs cannot run, and what the frames tell of each lumbrook.
if (!isSupported() || !isSupported("gpuPriority")) console.log("not on this machine");
const codes: readonly CaptureErrorCode[] = ERROR_CODES;
const told = capture({ sampleRate: 16000, channels: 1, format: "s16" });
told.frames.on("streaming", ({ run }) => console.log(run, told.frames.form.sampleRate));
told.frames.on("restart", ({ status, run, delayMs }) => console.log(status, run, delayMs, codes.length));
const own = new CaptureError(9, "lost", "stream_lost");
console.log(own.code, own.status);
