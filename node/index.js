"use strict";
// lumbrook and tessvane for Node and Electron hosts: where the programs are, a capture stream of
// whole frames that restarts after a lost stream, and GPU priority results parsed.
const { Readable } = require("node:stream");
const { sendFrames } = require("./send-frames.js");
const { CaptureClock, epochNow } = require("./capture-clock.js");
const { lumbrookPath, tessvanePath, unpackedPath, isSupported, unsupported, start, startFailure } =
  require("./programs.js");
const { outputForm, isDefault, converter, convertedClock } = require("./convert.js");
const { setGpuPriority } = require("./gpu-priority.js");
const { boostGpuProcess } = require("./gpu-process.js");

const FRAME_BYTES = 8; // 32-bit float, two channels
const FRAMES_PER_MS = 48;
// Between two lumbrooks silence is pushed in steps of about STEP_MS, LAG_MS behind real time, as
// lumbrook itself writes it before its first packet, so that a new lumbrook takes over at the
// same pace.
const LAG_MS = 10;
const STEP_MS = 10;

// lumbrook's exit statuses before streaming, by the stage that failed.
const CAPTURE_STAGES = {
  2: "no_argument",
  3: "com",
  4: "activation_request",
  5: "activation_outcome",
  6: "stream_setup",
  7: "capture_service",
  8: "stream_start",
  9: "stream_lost",
};

// Every `code` a CaptureError, or a rejection of setGpuPriority(), can carry.
const ERROR_CODES = Object.freeze([...Object.values(CAPTURE_STAGES), "start_timeout", "program_missing",
  "program_blocked", "unsupported_platform", "killed", "unexpected_status"]);

class CaptureError extends Error {
  constructor(status, message, code) {
    super(message);
    this.name = "CaptureError";
    this.status = status;
    this.code = code || CAPTURE_STAGES[status] || (status === null ? "killed" : "unexpected_status");
  }
}

function isSilentFrame(data, frame) {
  return data.readBigUInt64LE(frame * FRAME_BYTES) === 0n;
}

// Starts lumbrook, leaving out the process tree of excludePid (the host's own by default), and
// returns { frames, stop, clock }. `frames` is a Readable of Buffers whose lengths are multiples of 8:
// 32-bit float stereo 48 kHz PCM, with backpressure down to lumbrook's pipe, and a clock for the
// whole capture. After a lost stream (status 9) silence flows while a new lumbrook starts after
// `restartDelayMs`, and the new one's audio is placed where real time says; `maxQuickRestarts`
// lost streams in a row, each within `quickMs` of its start, end the stream with an error
// instead. A lumbrook that has not begun to stream within `startTimeoutMs` is ended, and so is
// the capture (`start_timeout`). Any other status but 0 ends it with a CaptureError whose
// `code` names the stage; one that cannot be started at all, `program_missing` or
// `program_blocked`. `clock` (also `frames.clock`) gives the real time of any frame.
// `sampleRate`, `channels` and `format` ask for the frames in another form (convert.js).
function capture(options = {}) {
  const {
    excludePid = process.pid,
    restartDelayMs = 500,
    quickMs = 5000,
    maxQuickRestarts = 5,
    stopTimeoutMs = 5000,
    startTimeoutMs = 10000,
    prefix = [],
    program = lumbrookPath,
  } = options;
  const form = outputForm(options);
  let child = null;
  let partial = Buffer.alloc(0);
  let stopping = false;
  let quickFailures = 0;
  let restartTimer = null;
  let gone = Promise.resolve();
  // The capture's clock, which counts the frames pushed.
  const clock = new CaptureClock();
  let fillTimer = null;
  let joining = false; // a new lumbrook's leading silence may overlap what was filled in
  const framesDue = () => clock.frameAt(epochNow() - LAG_MS);

  const frames = new Readable({
    read() {
      if (child !== null) child.stdout.resume();
    },
    destroy(error, callback) {
      stopping = true;
      clearTimeout(restartTimer);
      clearTimeout(fillTimer);
      if (child !== null) child.stdout.destroy();
      callback(error);
    },
  });

  const push = (buffer) => {
    const count = buffer.length / FRAME_BYTES;
    clock.pushed(count, !isSilentFrame(buffer, count - 1));
    return frames.push(buffer);
  };
  frames.clock = clock;

  // While no lumbrook streams: zeros up to LAG_MS behind real time, unless the consumer is
  // behind anyway (they come in one piece once it reads again).
  // Each step is pushed as soon as it is due, so that a real-time reader gets it at an even pace.
  const fillSilence = () => {
    const step = STEP_MS * FRAMES_PER_MS;
    let due = framesDue() - clock.frames;
    if (due >= step && frames.readableLength < frames.readableHighWaterMark) {
      push(Buffer.alloc(due * FRAME_BYTES));
      due = 0;
    }
    fillTimer = setTimeout(fillSilence, Math.max(1, Math.ceil((step - due) / FRAMES_PER_MS)));
  };

  // A new lumbrook begins with silence of its own, which overlaps the zeros filled in while it
  // started: leading zeros that would put the capture ahead of real time are left out, until
  // the first sound or the first part that is not ahead. Audio is never left out.
  const join = (data) => {
    let skip = 0;
    const ahead = clock.frames + data.length / FRAME_BYTES - framesDue();
    while (skip < ahead && skip * FRAME_BYTES < data.length && isSilentFrame(data, skip)) skip++;
    joining = skip * FRAME_BYTES === data.length;
    return data.subarray(skip * FRAME_BYTES);
  };

  // lumbrook could not be started, at the call or at a restart: the frames fail.
  const cannotStart = ({ code, message }) => {
    if (!stopping) frames.destroy(new CaptureError(null, message, code));
  };
  const failedToStart = (error) => cannotStart(startFailure(error, program));

  // Each lumbrook that begins to stream, and each lost stream a new one follows, is told on the
  // frames the host reads.
  let runs = 0;
  let hostFrames = frames;
  const tell = (event, details) => hostFrames.emit(event, details);

  const run = () => {
    const startedAt = Date.now();
    runs++;
    const started = start(program, [String(excludePid)], prefix, ["ignore", "pipe", "ignore"]);
    if (started.error) {
      process.nextTick(failedToStart, started.error); // after the caller has had the chance to listen
      return;
    }
    const current = started.child;
    child = current;
    partial = Buffer.alloc(0);
    gone = new Promise((resolve) => current.on("close", resolve));
    let streaming = false;
    let timedOut = false;
    const startTimer = setTimeout(() => {
      timedOut = true;
      current.stdout.destroy();
      current.kill();
    }, startTimeoutMs);
    current.stdout.on("data", (chunk) => {
      if (stopping) return;
      if (!streaming) {
        streaming = true;
        clearTimeout(startTimer);
        clearTimeout(fillTimer);
        joining = clock.origin !== null;
        tell("streaming", { run: runs });
      }
      const data = partial.length > 0 ? Buffer.concat([partial, chunk]) : chunk;
      const whole = data.length - (data.length % FRAME_BYTES);
      partial = data.subarray(whole);
      if (whole === 0) return;
      clock.start(whole / FRAME_BYTES);
      const out = joining ? join(data.subarray(0, whole)) : data.subarray(0, whole);
      if (out.length > 0 && !push(out)) current.stdout.pause();
    });
    current.stdout.on("error", () => {}); // a pipe closed by stop()
    current.on("error", failedToStart);
    current.on("close", (status) => {
      child = null;
      clearTimeout(startTimer);
      if (stopping) return;
      if (timedOut) {
        frames.destroy(
          new CaptureError(status, `lumbrook did not begin to stream within ${startTimeoutMs} ms`, "start_timeout"),
        );
      } else if (status === 0) {
        frames.push(null); // lumbrook's output went away on its own
      } else if (status === 9) {
        quickFailures = Date.now() - startedAt < quickMs ? quickFailures + 1 : 0;
        if (quickFailures >= maxQuickRestarts) {
          frames.destroy(new CaptureError(9, `the stream was lost ${quickFailures} times in a row`));
        } else {
          clearTimeout(fillTimer);
          if (clock.origin !== null) fillSilence();
          restartTimer = setTimeout(run, restartDelayMs);
          tell("restart", { status, run: runs, delayMs: restartDelayMs });
        }
      } else {
        frames.destroy(new CaptureError(status, `lumbrook ended with status ${status}`));
      }
    });
  };

  // Closes the pipe, as lumbrook expects: it exits with 0. Resolves once it has gone; one that
  // has not gone after stopTimeoutMs is killed.
  const stop = () => {
    stopping = true;
    clearTimeout(restartTimer);
    clearTimeout(fillTimer);
    const current = child;
    if (current === null) {
      frames.push(null);
      return gone.then(() => null);
    }
    current.stdout.destroy();
    const killer = setTimeout(() => current.kill(), stopTimeoutMs);
    return gone.then((status) => {
      clearTimeout(killer);
      frames.push(null);
      return status;
    });
  };

  const elsewhere = unsupported("capture", options);
  if (elsewhere) process.nextTick(cannotStart, elsewhere);
  else run();
  frames.form = form;
  if (isDefault(form)) return { frames, stop, clock };
  const converted = converter(form);
  converted.form = form;
  hostFrames = converted;
  frames.on("error", (error) => converted.destroy(error));
  frames.pipe(converted);
  converted.clock = convertedClock(clock, form, converted);
  return { frames: converted, stop, clock: converted.clock };
}

module.exports = {
  lumbrookPath,
  tessvanePath,
  capture,
  sendFrames,
  setGpuPriority,
  boostGpuProcess,
  CaptureError,
  ERROR_CODES,
  unpackedPath,
  isSupported,
};
