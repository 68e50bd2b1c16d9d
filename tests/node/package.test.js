"use strict";
// The Node package under Wine against the simulated platform, through the command prefix: a
// copy of the package with the built programs in it, started by the recording launcher.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { execFileSync, spawn } = require("node:child_process");
const { EventEmitter } = require("node:events");
const { performance } = require("node:perf_hooks");
const { MessageChannel } = require("node:worker_threads");
const test = require("node:test");
const { PACKET, ALL_RELEASED, packets, leadingZeroFrames } = require("./engine.js");
const { installPackage } = require("./install.js");

const ROOT = path.resolve(__dirname, "..", "..");
const UNDER_WINE = path.join(ROOT, "tests", "hosts", "under_wine.sh");
const PREFIX = [UNDER_WINE];

// The package as it ships, installed where a host finds it by name.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lumbrook-package-"));
const { packageDir, hostRequire } = installPackage(scratch);
const lumbrook = hostRequire("lumbrook-tessvane");
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

// Reads `count` bytes from a paused stream, as they come.
function readBytes(stream, count) {
  return new Promise((resolve) => {
    const parts = [];
    let got = 0;
    const take = () => {
      for (let chunk; got < count && (chunk = stream.read()) !== null; got += chunk.length) parts.push(chunk);
      if (got < count) return;
      stream.off("readable", take);
      resolve(Buffer.concat(parts).subarray(0, count));
    };
    stream.on("readable", take);
    take();
  });
}

// Runs a capture against the engine `script` until `want` bytes have come (or it ends), then
// stops it. Resolves to what came, the error if any, stop()'s status and the engine's log.
async function captureRun(script, want, options = {}, env = {}) {
  const log = path.join(scratch, `engine-${Date.now()}-${Math.random()}.log`);
  Object.assign(process.env, { SIM_AUDIO: script, SIM_AUDIO_LOG: log }, env);
  const { frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42, ...options });
  const parts = [];
  let received = 0;
  let error = null;
  const events = [];
  for (const event of ["streaming", "restart"]) frames.on(event, (details) => events.push([event, details]));
  await new Promise((resolve) => {
    frames.on("data", (chunk) => {
      assert.equal(chunk.length % 8, 0, `a part of ${chunk.length} bytes`);
      parts.push(chunk);
      received += chunk.length;
      if (received >= want) resolve();
    });
    frames.on("error", (e) => {
      error = e;
      resolve();
    });
    frames.on("end", resolve);
  });
  const status = await stop();
  for (const name of ["SIM_AUDIO", "SIM_AUDIO_LOG", ...Object.keys(env)]) delete process.env[name];
  const lines = fs.existsSync(log) ? fs.readFileSync(log, "utf8").split("\n").filter(Boolean) : [];
  return { audio: Buffer.concat(parts), error, status, log: lines, events };
}

test("frames arrive whole and byte-exact; stop() ends lumbrook with 0 and leaves nothing", async () => {
  const run = await captureRun("tail 480", PACKET * 100);
  assert.equal(run.error, null);
  assert.ok(run.audio.subarray(0, PACKET * 100).equals(packets(1, 100)));
  assert.equal(run.status, 0);
  assert.equal(run.log.at(-1), ALL_RELEASED);
});

test("a consumer that stops reading holds lumbrook up: nothing is buffered without bound", async () => {
  // The engine unpaced would hand out hundreds of megabytes a second.
  Object.assign(process.env, { SIM_AUDIO: "period 0; tail 480", SIM_AUDIO_LOG: path.join(scratch, "unpaced.log") });
  const { frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 });
  try {
    // Wait until the stream is full, however long a busy machine takes; then lumbrook has
    // every chance to push past the bound while nobody reads.
    await new Promise((resolve, reject) => {
      const guard = setTimeout(() => reject(new Error(`${frames.readableLength} bytes after 60 s`)), 60000);
      const look = () =>
        frames.readableLength >= frames.readableHighWaterMark ? (clearTimeout(guard), resolve()) : setTimeout(look, 20);
      look();
    });
    await new Promise((resolve) => setTimeout(resolve, 500));
    assert.ok(frames.readableLength <= frames.readableHighWaterMark + (1 << 16), String(frames.readableLength));
    assert.ok((await readBytes(frames, PACKET * 10)).equals(packets(1, 10)));
  } finally {
    assert.equal(await stop(), 0);
    delete process.env.SIM_AUDIO;
    delete process.env.SIM_AUDIO_LOG;
  }
});

test("a lost stream restarts, and the frames of both runs arrive, with silence between", async () => {
  const marker = path.join(scratch, "first-run");
  const run = await captureRun(
    `first_run ${marker}; packet 480 data; lose size 0x88890004; every_run; tail 480`,
    PACKET * 5 + 48000 * 8 * 3,
    { restartDelayMs: 50 },
  );
  assert.equal(run.error, null);
  assert.ok(run.audio.subarray(0, PACKET).equals(packets(1, 1)));
  const rest = run.audio.subarray(PACKET);
  const zeros = leadingZeroFrames(rest);
  assert.ok(rest.subarray(zeros * 8, zeros * 8 + PACKET * 4).equals(packets(1, 4)), `after ${zeros} zero frames`);
  assert.equal(run.log.filter((line) => line === "Start").length, 2);
  assert.deepEqual(run.log.filter((l) => l.startsWith("alive")), [ALL_RELEASED, ALL_RELEASED]);
});

test("across restarts the capture keeps time: silence flows between, the new audio where real time says", async () => {
  // Each run plays a second of packets and then loses its stream; the capture goes on for
  // three runs. Noted at each arrival: the frames so far against the time since the first began.
  // As lumbrook writes them, and converted as a speech engine takes them.
  for (const form of [{}, { sampleRate: 16000, channels: 1, format: "s16" }]) {
    const frameBytes = (form.channels || 2) * (form.format === "s16" ? 2 : 4);
    const perMs = (form.sampleRate || 48000) / 1000;
    const marker = path.join(scratch, "clock-runs");
    fs.rmSync(marker, { force: true });
    Object.assign(process.env, {
      SIM_AUDIO: `${Array(100).fill("packet 480 data").join(";")}; lose size 0x88890004`,
      SIM_AUDIO_LOG: path.join(scratch, `clock-${perMs}.log`),
    });
    const { frames, stop, clock } = lumbrook.capture({ prefix: PREFIX, excludePid: 42, restartDelayMs: 300, ...form });
    const arrivals = [];
    const clockErrors = []; // the time the clock gives the last frame come, against now
    let received = 0;
    try {
      await new Promise((resolve, reject) => {
        frames.on("data", (chunk) => {
          const now = performance.timeOrigin + performance.now();
          assert.equal(chunk.length % frameBytes, 0);
          received += chunk.length / frameBytes;
          // Real time since the capture's first frame began, as lumbrook's first bytes showed.
          arrivals.push({ at: now - clock.origin, frames: received });
          clockErrors.push([now - clock.origin, clock.timeOf(received) - now]);
          const runs = fs.readFileSync(process.env.SIM_AUDIO_LOG, "utf8").split("Start").length - 1;
          if (runs > 2 && received > perMs * 4000) resolve();
        });
        frames.on("error", reject);
      });
    } finally {
      // null: stopped between two lumbrooks; 9: stopped as one lost its stream.
      const status = await stop();
      assert.ok([0, 9, null].includes(status), String(status));
      delete process.env.SIM_AUDIO;
      delete process.env.SIM_AUDIO_LOG;
    }
    // Frames and real time agree within about 100 ms, however many restarts: never ahead at
    // any arrival (a new lumbrook's silence overlapping the filled-in silence), never behind by
    // the restarts' length (no silence filled in). An arrival is only ever late (a busy machine
    // holds Wine and Node up, and the converter's first frames wait for it to load): behind is
    // judged by each second's least late arrival, allowed a little more.
    const seconds = new Map();
    for (const { at, frames: count } of arrivals) {
      assert.ok(count / perMs <= at + 100, `${JSON.stringify(form)}: ${count / perMs} ms of frames at ${at} ms`);
      const second = Math.floor(at / 1000);
      seconds.set(second, Math.max(seconds.get(second) ?? -Infinity, count / perMs - at));
    }
    for (const [second, least] of seconds) {
      assert.ok(least >= -250, `${JSON.stringify(form)}: in second ${second}, ${least} ms behind at best`);
    }
    // The clock, in the stream's own frames, says the same, judged alike.
    const clockSeconds = new Map();
    for (const [at, error] of clockErrors) {
      assert.ok(error <= 100, `${JSON.stringify(form)}: the clock ${error} ms off`);
      const second = Math.floor(at / 1000);
      clockSeconds.set(second, Math.max(clockSeconds.get(second) ?? -Infinity, error));
    }
    for (const [second, least] of clockSeconds) {
      assert.ok(least >= -250, `${JSON.stringify(form)}: in second ${second}, the clock ${least} ms off at best`);
    }
    // And the frames keep coming (a hang guard: a busy machine holds Wine and Node up for a
    // moment now and then; without the silence between lumbrooks, the checks above fail).
    const pauses = arrivals.slice(1).map((a, k) => a.at - arrivals[k].at);
    assert.ok(Math.max(...pauses) < 1000, `a pause of ${Math.max(...pauses)} ms`);
  }
});

test("a program that is not there, or that the platform refuses to start, is named so", async () => {
  const refused = path.join(scratch, "refused.exe");
  fs.writeFileSync(refused, "MZ"); // without the right to run it
  fs.chmodSync(refused, 0o644);
  const loop = path.join(scratch, "loop.exe");
  fs.symlinkSync(loop, loop);
  // The last two are failures Node's spawn() throws rather than reports, as it throws Windows'
  // EPERM and antivirus' UNKNOWN.
  const cases = [[path.join(scratch, "not-unpacked", "lumbrook.exe"), "program_missing", /is not there/],
    [refused, "program_blocked", /could not be started \(EACCES\)/],
    [path.join(refused, "lumbrook.exe"), "program_missing", /is not there/],
    [loop, "program_blocked", /could not be started \(ELOOP\)/]];
  for (const [program, code, message] of cases) {
    const { frames } = lumbrook.capture({ program });
    const error = await new Promise((resolve) => frames.on("error", resolve));
    assert.ok(error instanceof lumbrook.CaptureError);
    assert.deepEqual([error.code, error.status], [code, null]);
    assert.match(error.message, message);
    assert.ok(error.message.includes(program), error.message);
    await assert.rejects(lumbrook.setGpuPriority("boost", ["self"], { program }), (rejected) =>
      rejected.code === code && message.test(rejected.message) && rejected.message.includes(program));
  }
  // A form the converter does not make is refused at once.
  for (const form of [{ sampleRate: 12345 }, { channels: 3 }, { format: "s24" }]) {
    assert.throws(() => lumbrook.capture({ program: refused, ...form }), RangeError);
  }
});

test("a program that stops being startable between two lumbrooks ends the capture, thrown nowhere", async () => {
  // The command's folder becomes a file while the first lumbrook streams: spawn() throws
  // ENOTDIR at the restart after its lost stream, from a timer.
  const folder = path.join(scratch, "hosts-link");
  fs.symlinkSync(path.dirname(UNDER_WINE), folder);
  process.env.SIM_AUDIO = `${Array(30).fill("packet 480 data").join("; ")}; lose size 0x88890004`;
  try {
    const { frames } = lumbrook.capture({ prefix: [path.join(folder, path.basename(UNDER_WINE))], excludePid: 42,
      restartDelayMs: 100 });
    frames.once("data", () => {
      fs.unlinkSync(folder);
      fs.writeFileSync(folder, "");
    });
    frames.resume();
    const error = await new Promise((resolve) => frames.on("error", resolve));
    assert.ok(error instanceof lumbrook.CaptureError);
    assert.deepEqual([error.code, error.status], ["program_missing", null]);
  } finally {
    delete process.env.SIM_AUDIO;
    fs.rmSync(folder, { force: true });
  }
});

test("a lumbrook that never begins to stream ends the capture with start_timeout", async () => {
  // The activation never completes; the launcher ends the orphaned lumbrook after 20 s.
  const run = await captureRun("complete never", Infinity, { startTimeoutMs: 1500 }, { LAUNCH_LIMIT_MS: "20000" });
  assert.ok(run.error instanceof lumbrook.CaptureError);
  assert.equal(run.error.code, "start_timeout");
});

test("sendFrames carries the frames to a port, and says when they end or fail", async () => {
  // Ends: every byte arrives as plain data, then the end.
  process.env.SIM_AUDIO = "tail 480";
  const calledAt = performance.timeOrigin + performance.now();
  let { frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 });
  let channel = new MessageChannel();
  let messages = [];
  let bytes = 0;
  let sent = lumbrook.sendFrames(frames, channel.port1);
  let stopped = null;
  const ended = new Promise((resolve) => {
    channel.port2.on("message", (message) => {
      messages.push(message);
      if (message.lumbrook === "frames") bytes += message.pcm.byteLength;
      if (bytes >= PACKET * 50 && !stopped) stopped = stop().then((status) => assert.equal(status, 0));
      if (message.lumbrook === "end") resolve();
    });
  });
  await sent;
  await ended;
  await stopped;
  channel.port2.close();
  const audio = Buffer.concat(messages.filter((m) => m.lumbrook === "frames").map((m) => Buffer.from(m.pcm)));
  assert.ok(audio.subarray(0, PACKET * 50).equals(packets(1, 50)));
  assert.deepEqual(messages.at(-1), { lumbrook: "end" });
  // Each part carries when its first frame was captured, on the capture's clock: one after
  // the other by the frames between them, from frame 0's time.
  const parts = messages.filter((m) => m.lumbrook === "frames");
  assert.equal(parts[0].at, frames.clock.timeOf(0));
  assert.ok(parts[0].at > calledAt, "frame 0 began before capture() was called");
  for (let k = 1, frame = 0; k < parts.length; k++) {
    frame += parts[k - 1].pcm.byteLength / 8;
    assert.equal(parts[k].at, frames.clock.timeOf(frame));
    assert.ok(parts[k].at > parts[k - 1].at);
  }

  // Fails: the other side is told, and the promise rejects with the capture's error.
  process.env.SIM_AUDIO = "initialize 0x88890008";
  ({ frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 }));
  channel = new MessageChannel();
  messages = [];
  const told = new Promise((resolve) => channel.port2.on("message", (message) => messages.push(message) && resolve()));
  await assert.rejects(lumbrook.sendFrames(frames, channel.port1), { code: "stream_setup" });
  await told;
  channel.port2.close();
  assert.equal(messages.at(-1).lumbrook, "error");
  assert.equal(messages.at(-1).code, "stream_setup");

  // The renderer's track was stopped: the promise resolves and the frames wait for stop().
  process.env.SIM_AUDIO = "tail 480";
  ({ frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 }));
  channel = new MessageChannel();
  sent = lumbrook.sendFrames(frames, channel.port1);
  channel.port2.once("message", () => channel.port2.postMessage({ lumbrook: "stopped" }));
  await sent;
  assert.equal(frames.isPaused(), true);
  assert.equal(await stop(), 0);
  channel.port2.close();

  // The page went away (reloaded, crashed): its port closes, and the promise resolves.
  ({ frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 }));
  channel = new MessageChannel();
  sent = lumbrook.sendFrames(frames, channel.port1);
  channel.port2.once("message", () => channel.port2.close());
  await sent;
  assert.equal(frames.isPaused(), true);
  assert.equal(await stop(), 0);
  delete process.env.SIM_AUDIO;

  // Only the default form makes a track.
  const converted = lumbrook.capture({ prefix: PREFIX, excludePid: 42, sampleRate: 16000 });
  converted.frames.on("error", () => {});
  assert.throws(() => lumbrook.sendFrames(converted.frames, new MessageChannel().port1), TypeError);
  await converted.stop();
});

// Resolves once `holds()` does, looking every 10 ms; rejects after a hang guard of 30 s.
async function until(holds) {
  for (const started = Date.now(); !holds(); await new Promise((resolve) => setTimeout(resolve, 10))) {
    if (Date.now() - started > 30000) throw new Error(`still not so after 30 s: ${holds}`);
  }
}

test("sendFrames keeps a second in flight to a side that takes nothing, and drops the oldest that waits", async () => {
  process.env.SIM_AUDIO = "tail 480";
  const { frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42 });
  const { port1, port2 } = new MessageChannel();
  const parts = [];
  port2.on("message", (message) => message.lumbrook === "frames" && parts.push(message));
  const arrived = () => parts.reduce((sum, part) => sum + part.pcm.byteLength / 8, 0);
  const sent = lumbrook.sendFrames(frames, port1);
  let captured = 0;
  frames.on("data", (chunk) => (captured += chunk.length / 8));
  try {
    // 2.5 s of capture; the side took nothing.
    await until(() => captured >= 48000 * 2.5 && arrived() > 48000 - 480 * 3);
    assert.ok(arrived() <= 48000, String(arrived()));
    const before = parts.length;
    // It takes what came: the newest quarter second comes, after a gap as long as what was dropped.
    port2.postMessage({ lumbrook: "taken", frames: arrived() });
    await until(() => arrived() > 48000);
    const gap = parts[before].at - parts[before - 1].at - parts[before - 1].pcm.byteLength / 48 / 8;
    assert.ok(gap >= 48000 * 1.25 / 48 - 50, `${gap} ms left out`);
    assert.equal(await stop(), 0);
    const { framesDropped } = await sent;
    await until(() => arrived() + framesDropped === captured);
    assert.ok(Math.abs(gap - framesDropped / 48) < 1, `${gap} ms left out, ${framesDropped} frames dropped`);
  } finally {
    port2.close();
    delete process.env.SIM_AUDIO;
  }
});

test("hosts read the package's version through its package.json", () => {
  assert.equal(hostRequire("lumbrook-tessvane/package.json").version, process.env.VERSION);
});

test("quick failures in a row end in one error, not a restart storm", async () => {
  const run = await captureRun("lose size 0x88890004", Infinity, {
    restartDelayMs: 20,
    maxQuickRestarts: 3,
  });
  assert.ok(run.error instanceof lumbrook.CaptureError);
  assert.equal(run.error.code, "stream_lost");
  assert.equal(run.error.status, 9);
  assert.equal(run.log.filter((line) => line === "Start").length, 3);
  // The host was told of each lost stream that a new lumbrook followed.
  assert.deepEqual(run.events.filter(([event]) => event === "restart"),
    [1, 2].map((k) => ["restart", { status: 9, run: k, delayMs: 20 }]));
});

test("the host is told when each lumbrook begins to stream, and of each lost stream a new one follows", async () => {
  const marker = path.join(scratch, `first-run-${Date.now()}`);
  const packets20 = Array(20).fill("packet 480 data").join("; ");
  const script = `first_run ${marker}; ${packets20}; lose size 0x88890004; every_run; tail 480`;
  const run = await captureRun(script, PACKET * 300, { restartDelayMs: 50 });
  assert.equal(run.error, null);
  assert.deepEqual(run.events, [["streaming", { run: 1 }], ["restart", { status: 9, run: 1, delayMs: 50 }],
    ["streaming", { run: 2 }]]);
  // In another form, on the frames the host reads.
  process.env.SIM_AUDIO = "tail 480";
  try {
    const { frames, stop } = lumbrook.capture({ prefix: PREFIX, excludePid: 42, sampleRate: 16000, channels: 1 });
    assert.deepEqual(await new Promise((resolve) => frames.once("streaming", resolve)), { run: 1 });
    assert.equal(await stop(), 0);
  } finally {
    delete process.env.SIM_AUDIO;
  }
});

test("the package's own programs are not started where they cannot run; a host's program always is", async () => {
  assert.equal(lumbrook.isSupported(), process.platform === "win32"); // false here
  assert.deepEqual([["capture", "10.0.19041"], ["capture", "10.0.18363"], ["gpuPriority", "10.0.17763"]]
    .map(([what, release]) => lumbrook.isSupported(what, "win32", release)), [true, false, true]);
  const { frames } = lumbrook.capture();
  const error = await new Promise((resolve) => frames.on("error", resolve));
  assert.ok(error instanceof lumbrook.CaptureError);
  assert.deepEqual([error.code, error.status], ["unsupported_platform", null]);
  await assert.rejects(lumbrook.setGpuPriority("boost", ["self"]), { code: "unsupported_platform" });
  assert.ok(lumbrook.ERROR_CODES.includes(error.code));
  // Under a host's command, as the other tests run them under Wine, they start.
  const outcome = await lumbrook.setGpuPriority("normal", ["self"], { prefix: PREFIX });
  assert.equal(outcome.results.length, 1);
});

test("each failing stage gives its own error code", async () => {
  const cases = [
    ["com", 3, "tail 480", { SIM_FAIL: "CoInitializeEx:1", SIM_PRELOAD: "C:\\windows\\system32\\mmdevapi.dll" }],
    ["activation_request", 4, "request 0x80070005", {}],
    ["activation_outcome", 5, "result 0x88890004", {}],
    ["stream_setup", 6, "initialize 0x88890008", {}],
    ["capture_service", 7, "service 0x80004002", {}],
    ["stream_start", 8, "start 0x88890002", {}],
  ];
  for (const [code, status, script, env] of cases) {
    const run = await captureRun(script, Infinity, {}, env);
    assert.ok(run.error instanceof lumbrook.CaptureError, code);
    assert.deepEqual([run.error.code, run.error.status], [code, status]);
  }
});

test("inside an Electron archive the programs are taken from app.asar.unpacked", () => {
  const cases = [
    ["C:\\app\\resources\\app.asar\\node_modules\\p\\bin\\lumbrook.exe",
      "C:\\app\\resources\\app.asar.unpacked\\node_modules\\p\\bin\\lumbrook.exe"],
    ["/opt/app/resources/app.asar/node_modules/p/bin/tessvane.exe",
      "/opt/app/resources/app.asar.unpacked/node_modules/p/bin/tessvane.exe"],
    ["C:\\app\\resources\\app.asar.unpacked\\p\\bin\\lumbrook.exe",
      "C:\\app\\resources\\app.asar.unpacked\\p\\bin\\lumbrook.exe"],
    ["C:\\app\\myapp.asar\\bin\\lumbrook.exe", "C:\\app\\myapp.asar\\bin\\lumbrook.exe"],
  ];
  for (const [packed, unpacked] of cases) assert.equal(lumbrook.unpackedPath(packed), unpacked);
  assert.equal(lumbrook.lumbrookPath, path.join(packageDir, "bin", "lumbrook.exe"));
  assert.equal(lumbrook.tessvanePath, path.join(packageDir, "bin", "tessvane.exe"));
});

test("tessvane's results are parsed: applied, refused, unopenable, and a missing function", async () => {
  const sleeper = spawn("wine", [process.env.PID_SLEEPER, "60000", "4711"], {
    stdio: ["ignore", "pipe", "ignore"],
  });
  const pid = await new Promise((resolve) => {
    sleeper.stdout.once("data", (text) => resolve(Number(String(text).trim())));
  });
  try {
    process.env.SIM_GPU = "refuse 5 0xc0000022";
    let outcome = await lumbrook.setGpuPriority("boost", [pid, 0, "self"], { prefix: PREFIX });
    assert.equal(outcome.status, 1);
    assert.equal(outcome.apiMissing, false);
    assert.deepEqual(outcome.results.slice(0, 2), [
      { pid, applied: "high", status: "0x00000000" },
      { pid: 0, applied: "none", error: "open_87" },
    ]);
    assert.equal(outcome.results[2].pid, process.pid); // the host's own process, not tessvane's

    process.env.SIM_GPU = "refuse 5 0xc0000022; refuse 4 0xc0000022; refuse 3 0xc000000d";
    outcome = await lumbrook.setGpuPriority("boost", [pid], { prefix: PREFIX });
    assert.deepEqual(outcome, {
      status: 1,
      apiMissing: false,
      results: [{ pid, applied: "none", status: "0xc000000d" }],
    });

    delete process.env.SIM_GPU;
    process.env.WINEDLLOVERRIDES = "gdi32=b";
    outcome = await lumbrook.setGpuPriority("normal", [pid], { prefix: PREFIX });
    assert.deepEqual(outcome, { status: 1, apiMissing: true, results: [] });
  } finally {
    delete process.env.SIM_GPU;
    delete process.env.WINEDLLOVERRIDES;
    sleeper.kill();
  }
});

// A real Wine process to stand in for a GPU process: its Windows process id, and how to end it.
async function wineProcess() {
  const sleeper = spawn("wine", [process.env.PID_SLEEPER, "120000"], { stdio: ["ignore", "pipe", "ignore"] });
  const pid = await new Promise((resolve) => sleeper.stdout.once("data", (text) => resolve(Number(String(text).trim()))));
  return { pid, end: () => sleeper.kill() };
}

// Electron's app as boostGpuProcess() uses it: the metrics the test sets, and its events.
class StandInApp extends EventEmitter {
  constructor() {
    super();
    this.metrics = [];
    this.looks = 0;
  }
  getAppMetrics() {
    this.looks++;
    return this.metrics;
  }
}

test("an Electron app's GPU process is boosted, waited for, followed after a crash, and set back by stop()", async () => {
  const log = path.join(scratch, "gpu.log");
  process.env.SIM_GPU_LOG = log;
  const processes = [await wineProcess(), await wineProcess(), await wineProcess()];
  const [a, b, c] = processes.map((p) => p.pid);
  const app = new StandInApp();
  const outcomes = [];
  let told = () => {};
  const next = () => new Promise((resolve) => (told = resolve));
  const onOutcome = (outcome) => {
    outcomes.push(outcome);
    told(outcome);
  };
  const gpu = lumbrook.boostGpuProcess(app, { prefix: PREFIX, pollMs: 20, onOutcome });
  const calls = () =>
    fs.readFileSync(log, "utf8").split("\n").filter((line) => line.startsWith("call ")).map((line) => line.match(/pid=(\d+) .*class=(\d)/).slice(1).map(Number));
  try {
    // None yet (software rendering, or not started): waited for, no error, nothing run.
    while (app.looks < 5) await new Promise((resolve) => setTimeout(resolve, 20));
    assert.deepEqual(outcomes, []);
    assert.equal(gpu.current(), null);
    // The first GPU process is boosted: the ladder's first class.
    let outcome = next();
    app.metrics = [{ pid: 1, type: "Browser", creationTime: 100 }, { pid: a, type: "GPU", creationTime: 200 }];
    assert.deepEqual(await outcome, { mode: "boost", pid: a, creationTime: 200, status: 0, apiMissing: false,
      results: [{ pid: a, applied: "realtime", status: "0x00000000" }] });
    // It crashes: while the metrics still list it, it is not boosted again; the new one is.
    app.metrics = [{ pid: a, type: "GPU", creationTime: 200 }];
    app.emit("child-process-gone", {}, { type: "GPU", reason: "crashed", exitCode: 1 });
    assert.equal(gpu.current(), null);
    outcome = next();
    app.metrics = [{ pid: a, type: "GPU", creationTime: 200 }, { pid: b, type: "GPU", creationTime: 300 }];
    assert.deepEqual([(await outcome).pid, outcomes.length], [b, 2]);
    // A new process under a reused id is a new process: boosted again.
    outcome = next();
    app.emit("child-process-gone", {}, { type: "GPU", reason: "killed", exitCode: 9 });
    app.metrics = [{ pid: b, type: "GPU", creationTime: 400 }];
    assert.deepEqual([(await outcome).pid, (await outcome).creationTime], [b, 400]);
    // The platform refuses every class: the host is told as tessvane reported it.
    process.env.SIM_GPU = "refuse 5 0xc0000022; refuse 4 0xc0000022; refuse 3 0xc0000022";
    outcome = next();
    app.emit("child-process-gone", {}, { type: "GPU", reason: "crashed", exitCode: 1 });
    app.metrics = [{ pid: c, type: "GPU", creationTime: 500 }];
    assert.deepEqual(await outcome, { mode: "boost", pid: c, creationTime: 500, status: 1, apiMissing: false,
      results: [{ pid: c, applied: "none", status: "0xc0000022" }] });
    delete process.env.SIM_GPU;
    // Another crash of a process other than the GPU process changes nothing.
    app.emit("child-process-gone", {}, { type: "Utility", reason: "crashed", exitCode: 1 });
    assert.deepEqual(gpu.current(), { pid: c, creationTime: 500 });
    // stop() sets the current one back to normal, and nothing is applied after it.
    const stopped = await gpu.stop();
    assert.deepEqual([stopped.mode, stopped.pid, stopped.results[0].applied], ["normal", c, "normal"]);
    const looks = app.looks;
    app.emit("child-process-gone", {}, { type: "GPU", reason: "crashed", exitCode: 1 });
    app.metrics = [{ pid: a, type: "GPU", creationTime: 600 }];
    assert.deepEqual([app.looks, app.listenerCount("child-process-gone"), outcomes.length], [looks, 0, 5]);
    // Each process was touched only while it was the GPU process: a, then b twice (its two
    // lives), then c, through the ladder, refused, and back to normal.
    assert.deepEqual(calls(), [[a, 5], [b, 5], [b, 5], [c, 5], [c, 4], [c, 3], [c, 2]]);
  } finally {
    delete process.env.SIM_GPU;
    delete process.env.SIM_GPU_LOG;
    await gpu.stop();
    processes.forEach((p) => p.end());
  }
});

// A stand-in for the `electron` module, found by name by the hosts in `scratch`: its source,
// loaded afresh (each test's own); returns the module.
function standInElectron(source) {
  const file = path.join(scratch, "node_modules", "electron", "index.js");
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, source);
  delete require.cache[file];
  return require(file);
}

test("the README's GPU example, as it stands, runs where tessvane cannot, and sets back on will-quit", async () => {
  // Electron as the example uses it.
  const { app } = standInElectron(`
    const { EventEmitter } = require("node:events");
    const app = new EventEmitter();
    app.whenReady = () => Promise.resolve();
    app.getAppMetrics = () => [{ pid: 4242, type: "GPU", creationTime: 1 }];
    module.exports = { app };`);
  const logged = [];
  const log = console.log;
  console.log = (...args) => logged.push(args.join(" "));
  try {
    readmeExample(path.join("node", "README.md"), "## Electron: GPU priority", "gpu-host.js");
    // Here, as on a platform without the function, the outcome is told, not thrown.
    await until(() => logged.length > 0);
    app.emit("will-quit");
    await until(() => logged.length > 1);
    assert.deepEqual(logged, ["boost", "normal"].map((mode) => `GPU process 4242: ${mode} unsupported_platform`));
  } finally {
    console.log = log;
  }
});

test("the README's Electron main process and preload, as they stand, give the page a port and tell a failure", async () => {
  // Electron's modules as the two parts use them, stand-ins the host finds by name; the main
  // process's ports are worker_threads ports, which sendFrames() takes as it takes Electron's.
  const stand = standInElectron(`
    const { EventEmitter } = require("node:events");
    const { MessageChannel } = require("node:worker_threads");
    const stand = { handler: null, exposed: {}, posted: [], sent: [] };
    module.exports = {
      stand,
      desktopCapturer: { getSources: async () => [{ id: "screen:0" }] },
      session: { defaultSession: { setDisplayMediaRequestHandler: (handler) => (stand.handler = handler) } },
      ipcMain: new EventEmitter(),
      MessageChannelMain: MessageChannel,
      contextBridge: { exposeInMainWorld: (name, api) => (stand.exposed[name] = api) },
      ipcRenderer: Object.assign(new EventEmitter(), { send: (channel) => stand.sent.push(channel) }),
    };`);
  const failed = [];
  const error = console.error;
  console.error = (...args) => failed.push(args.join(" "));
  globalThis.window = { postMessage: (...args) => stand.stand.posted.push(args) };
  try {
    const section = "## Electron: system audio";
    readmeExample(path.join("node", "README.md"), section, "electron-main.js", 0);
    readmeExample(path.join("node", "README.md"), section, "electron-preload.js", 1);
    // The screen share is video only.
    const chosen = await new Promise((resolve) => stand.stand.handler({}, resolve));
    assert.deepEqual(chosen, { video: { id: "screen:0" } });
    // The page asks through the preload; the main process sends it a port of its own.
    stand.stand.exposed.lumbrook.share();
    assert.deepEqual(stand.stand.sent, ["lumbrook-share"]);
    const sent = [];
    stand.ipcMain.emit("lumbrook-share", { sender: { postMessage: (...args) => sent.push(args) } });
    assert.deepEqual(sent.map(([channel, message]) => [channel, message]), [["lumbrook-port", null]]);
    const [port] = sent[0][2];
    // The preload passes it on to the page.
    stand.ipcRenderer.emit("lumbrook-port", { ports: [port] });
    assert.deepEqual(stand.stand.posted, [["lumbrook-port", "*", [port]]]);
    // The package's own lumbrook cannot run here: the page is told, the host logs it, nothing
    // throws.
    const told = await new Promise((resolve) => port.once("message", resolve));
    assert.deepEqual([told.lumbrook, told.code], ["error", "unsupported_platform"]);
    await until(() => failed.length > 0);
    assert.deepEqual(failed, ["capture failed: unsupported_platform"]);
    port.close();
  } finally {
    console.error = error;
    delete globalThis.window;
  }
});

test("an onOutcome that throws breaks nothing: the throw is a process warning, the boosts go on", async () => {
  const gpu = await wineProcess();
  const app = new StandInApp();
  app.metrics = [{ pid: gpu.pid, type: "GPU", creationTime: 100 }];
  const warned = new Promise((resolve) => process.once("warning", resolve));
  const following = lumbrook.boostGpuProcess(app, { prefix: PREFIX, onOutcome: () => {
    throw new Error("the host's own fault");
  } });
  try {
    const warning = await warned;
    assert.match(warning.message, /onOutcome threw: Error: the host's own fault/);
    const stopped = await following.stop();
    assert.deepEqual([stopped.mode, stopped.pid, stopped.results[0].applied], ["normal", gpu.pid, "normal"]);
  } finally {
    await following.stop();
    gpu.end();
  }
});

// The `index`th code example after `heading` of a README as it stands, loaded as the module
// `name` of a host that installed the package.
function readmeExample(readme, heading, name, index = 0) {
  const text = fs.readFileSync(path.join(ROOT, readme), "utf8");
  const example = [...text.slice(text.indexOf(heading)).matchAll(/```js\n([\s\S]*?)```/g)][index][1];
  const host = path.join(scratch, name);
  fs.writeFileSync(host, example);
  return require(host);
}

// Its run to the end is test_hosts.py's.
test("the README's recording host, as it stands, ends and says why where the capture fails", async () => {
  const { record } = readmeExample("README.md", "Recording to a file:", "record-host.js");
  process.env.SIM_AUDIO = "initialize 0x88890008";
  try {
    const failing = record(path.join(scratch, "failed.f32"), { prefix: PREFIX, excludePid: 42 });
    const error = await failing.done;
    assert.ok(error instanceof lumbrook.CaptureError);
    assert.equal(error.code, "stream_setup");
    assert.equal(await failing.stop(), null); // no lumbrook is left
  } finally {
    delete process.env.SIM_AUDIO;
  }
});

test("the README's speech host, as it stands, writes a 16 kHz mono 16-bit WAV that SoX reads back", async () => {
  const { recordForSpeech } = readmeExample(path.join("node", "README.md"), "## Speech engines", "speech-host.js");
  const file = path.join(scratch, "speech.wav");
  process.env.SIM_AUDIO = "tail 480";
  try {
    const stopRecording = recordForSpeech(file, { prefix: PREFIX, excludePid: 42 });
    while (!fs.existsSync(file) || fs.statSync(file).size < 44 + 16000 * 2) {
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    await stopRecording();
  } finally {
    delete process.env.SIM_AUDIO;
  }
  const info = execFileSync("sox", ["--i", file], { encoding: "utf8" });
  assert.match(info, /Channels\s+: 1\n/);
  assert.match(info, /Sample Rate\s+: 16000\n/);
  assert.match(info, /Precision\s+: 16-bit\n/);
  const samples = Number(execFileSync("sox", ["--i", "-s", file], { encoding: "utf8" }));
  assert.equal(samples, (fs.statSync(file).size - 44) / 2);
  assert.ok(samples >= 16000, String(samples));
});
