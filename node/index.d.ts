/// <reference types="node" />
import { Readable } from "node:stream";

/** Absolute path of lumbrook.exe inside the package (inside app.asar.unpacked under Electron). */
export const lumbrookPath: string;
/** Absolute path of tessvane.exe inside the package (inside app.asar.unpacked under Electron). */
export const tessvanePath: string;

/** Maps a path inside an Electron app.asar archive to its unpacked copy. */
export function unpackedPath(file: string): string;

export interface RunOptions {
  /** Starts the program through this command and its leading arguments, e.g. ["wine"]. */
  prefix?: string[];
  /** The program to run instead of the package's own. */
  program?: string;
}

export interface CaptureOptions extends RunOptions {
  /** The process whose tree is left out of the capture; the host's own by default. */
  excludePid?: number;
  /** Pause before a new lumbrook after a lost stream (status 9). Default 500 ms. */
  restartDelayMs?: number;
  /** A lost stream within this long of its start counts as a quick failure. Default 5000 ms. */
  quickMs?: number;
  /** Quick failures in a row that end the capture with an error. Default 5. */
  maxQuickRestarts?: number;
  /** How long stop() waits for lumbrook to go before killing it. Default 5000 ms. */
  stopTimeoutMs?: number;
  /** A lumbrook that has not begun to stream within this long is ended, and so is the capture
   * ("start_timeout"). Default 10000 ms. */
  startTimeoutMs?: number;
  /** Frames a second of `frames`. Default 48000: lumbrook's own rate, and no conversion. */
  sampleRate?: 8000 | 11025 | 16000 | 22050 | 24000 | 32000 | 44100 | 48000;
  /** 1: the two channels averaged. Default 2. */
  channels?: 1 | 2;
  /** "f32": 32-bit float; "s16": 16-bit signed, rounded, held at full scale. Both little-endian.
   * Default "f32". */
  format?: "f32" | "s16";
}

export type CaptureErrorCode =
  | "no_argument"
  | "com"
  | "activation_request"
  | "activation_outcome"
  | "stream_setup"
  | "capture_service"
  | "stream_start"
  | "stream_lost"
  | "start_timeout"
  | "program_missing"
  | "program_blocked"
  | "unsupported_platform"
  | "killed"
  | "unexpected_status";

/** Every code a CaptureError, or a rejection of setGpuPriority(), can carry. */
export const ERROR_CODES: readonly CaptureErrorCode[];

/** Whether the package's own programs can do `what` here, starting nothing: 64-bit Windows, and
 * for the capture a build with process loopback (19041 or later). Default "capture". */
export function isSupported(what?: "capture" | "gpuPriority"): boolean;

export class CaptureError extends Error {
  /** `code` defaults to the stage `status` names, or "killed" where it is null. */
  constructor(status: number | null, message: string, code?: CaptureErrorCode);
  readonly name: "CaptureError";
  /** The stage lumbrook's exit status names. */
  readonly code: CaptureErrorCode;
  /** lumbrook's exit status, or null when it was killed. */
  readonly status: number | null;
}

/** The capture's clock: when each frame was captured, in ms since the epoch (1970), as
 * `performance.timeOrigin + performance.now()` reads it in any process of the machine. Frame 0
 * is the first frame of `frames`, in the form asked for; the count goes on through silence and
 * restarts. */
export interface CaptureClock {
  /** When frame 0 began; null before the first frame. */
  readonly origin: number | null;
  /** Frames pushed to `frames` so far. */
  readonly frames: number;
  /** When `frame` was captured; null before the first frame. Always later for a later frame,
   * by 1/48 ms a frame within 0.1 %. */
  timeOf(frame: number): number | null;
  /** The frame captured at `time` (ms since the epoch); null before the first frame. */
  frameAt(time: number): number | null;
}

/** The form of a capture's frames. */
export interface CaptureForm {
  sampleRate: 8000 | 11025 | 16000 | 22050 | 24000 | 32000 | 44100 | 48000;
  channels: 1 | 2;
  format: "f32" | "s16";
}

/** A lumbrook began to stream: 1 for the first. */
export interface StreamingEvent {
  run: number;
}
/** A lost stream, which a new lumbrook follows after `delayMs`. */
export interface RestartEvent {
  /** The lost stream's exit status: 9. */
  status: number;
  /** The run that lost it. */
  run: number;
  delayMs: number;
}

/** The frames of a capture, with its clock and its form; it tells of each lumbrook. */
export interface CaptureFrames extends Readable {
  readonly clock: CaptureClock;
  readonly form: CaptureForm;
  on(event: "streaming", listener: (details: StreamingEvent) => void): this;
  on(event: "restart", listener: (details: RestartEvent) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: "streaming", listener: (details: StreamingEvent) => void): this;
  once(event: "restart", listener: (details: RestartEvent) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

export interface Capture {
  /** Whole frames of PCM: 32-bit float stereo 48 kHz (8 bytes a frame), or the form asked for
   * (sampleRate, channels, format). */
  frames: CaptureFrames;
  /** Closes the pipe; resolves to lumbrook's exit status (0) once it has gone. */
  stop(): Promise<number | null>;
  /** The real time of any frame (the same as `frames.clock`). */
  clock: CaptureClock;
}

export function capture(options?: CaptureOptions): Capture;

/** Electron's MessagePortMain, a DOM MessagePort, a worker_threads port: anything that posts. */
export interface FramePort {
  postMessage(message: unknown): void;
  on?(event: "message" | "close", listener: (message: any) => void): unknown;
  off?(event: "message" | "close", listener: (message: any) => void): unknown;
  addEventListener?(type: "message" | "close", listener: (event: any) => void): void;
  removeEventListener?(type: "message" | "close", listener: (event: any) => void): void;
  start?(): void;
}

/** What sendFrames() resolves to. */
export interface SendOutcome {
  /** Frames dropped, the oldest first, while the other side took nothing for a second. */
  framesDropped: number;
}

/** Carries a capture's frames (in its default form: any other is a TypeError), each part with
 * the capture time of its first frame, to a renderer's createAudioTrack() through `port`, no
 * more than a second ahead of what the other side says it took. Resolves when the frames end,
 * the renderer's track was stopped or the port closed (the frames are then paused: stop the
 * capture); rejects with the capture's error. */
export function sendFrames(frames: Readable | CaptureFrames, port: FramePort): Promise<SendOutcome>;

export type PriorityClass = "realtime" | "high" | "above_normal" | "normal" | "unknown";

/** A class was applied: status is always "0x00000000". */
export interface Applied {
  pid: number;
  applied: PriorityClass;
  status: string;
}
/** Every class of the ladder was refused: the status of the last attempt. */
export interface Refused {
  pid: number;
  applied: "none";
  status: string;
}
/** The process could not be opened: "open_<error number>". */
export interface Unopenable {
  pid: number;
  applied: "none";
  error: string;
}
export type PriorityResult = Applied | Refused | Unopenable;

export interface PriorityOutcome {
  /** tessvane's exit status: 0 when every target received a class. */
  status: number | null;
  /** The platform lacks D3DKMTSetProcessSchedulingPriorityClass: no target was handled. */
  apiMissing: boolean;
  results: PriorityResult[];
}

/** Runs tessvane for the targets. "self" is the host's own process: in Electron, the main
 * process, which submits no GPU work (see boostGpuProcess). */
export function setGpuPriority(
  mode: "boost" | "normal",
  targets: Array<number | "self">,
  options?: RunOptions,
): Promise<PriorityOutcome>;

/** What Electron's `app` gives boostGpuProcess(): its process metrics and its events. */
export interface AppLike {
  getAppMetrics(): Array<{ pid: number; type: string; creationTime: number }>;
  on(event: "child-process-gone", listener: (event: unknown, details: { type: string }) => void): unknown;
  removeListener(event: "child-process-gone", listener: (...args: any[]) => void): unknown;
}

/** One run of tessvane for a GPU process: setGpuPriority()'s outcome, or the error where
 * tessvane could not run. */
export type GpuProcessOutcome = { mode: "boost" | "normal"; pid: number; creationTime: number } & (
  | PriorityOutcome
  | { error: Error }
);

export interface GpuProcessOptions extends RunOptions {
  /** Each of tessvane's outcomes, as it comes; what it throws becomes a process warning. */
  onOutcome?(outcome: GpuProcessOutcome): void;
  /** How often to look for a GPU process while there is none. Default 1000 ms. */
  pollMs?: number;
}

export interface GpuProcessBoost {
  /** The GPU process followed now; null while there is none. */
  current(): { pid: number; creationTime: number } | null;
  /** Stops following and sets the current GPU process back to normal; resolves to that
   * outcome (null where there was none) once every run has ended. */
  stop(): Promise<GpuProcessOutcome | null>;
}

/** Boosts an Electron app's GPU process (`app.getAppMetrics()`, type "GPU"), and each new one
 * after "child-process-gone" reports it gone. */
export function boostGpuProcess(app: AppLike, options?: GpuProcessOptions): GpuProcessBoost;
