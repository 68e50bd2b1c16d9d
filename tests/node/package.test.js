"use strict";
// The Node package under Wine against the simulated platform, through the command prefix: a
// copy of the package with the built programs in it, started by the recording launcher.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");
const test = require("node:test");

const ROOT = path.resolve(__dirname, "..", "..");
const UNDER_WINE = path.join(ROOT, "tests", "hosts", "under_wine.sh");
const PREFIX = [UNDER_WINE];
const PACKET = 480 * 8;
const ALL_RELEASED =
  "alive IAudioClient=0 IAudioCaptureClient=0 IActivateAudioInterfaceAsyncOperation=0 IUnknown=0";

// The package as it ships: its own files, and the programs in bin/.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lumbrook-package-"));
const packageDir = path.join(scratch, "lumbrook-tessvane");
fs.mkdirSync(path.join(packageDir, "bin"), { recursive: true });
for (const file of ["index.js", "index.d.ts", "package.json"]) {
  fs.copyFileSync(path.join(ROOT, "node", file), path.join(packageDir, file));
}
fs.copyFileSync(process.env.DIST_LUMBROOK, path.join(packageDir, "bin", "lumbrook.exe"));
fs.copyFileSync(process.env.DIST_TESSVANE, path.join(packageDir, "bin", "tessvane.exe"));
const lumbrook = require(packageDir);
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

// The bytes the simulated engine fills data packet `seed` with.
function sampleBytes(seed, count) {
  const out = Buffer.alloc(count);
  for (let i = 0; i < count; i++) {
    let x = (Math.imul(seed, 2654435761) + Math.imul(i, 40503)) >>> 0;
    x = (x ^ (x >>> 15)) >>> 0;
    x = Math.imul(x, 2246822519) >>> 0;
    x = (x ^ (x >>> 13)) >>> 0;
    out[i] = x & 0xff;
  }
  return out;
}
const packets = (first, count) =>
  Buffer.concat(Array.from({ length: count }, (_, k) => sampleBytes(first + k, PACKET)));

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
  return { audio: Buffer.concat(parts), error, status, log: lines };
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

test("a lost stream restarts, and the frames of both runs arrive", async () => {
  const marker = path.join(scratch, "first-run");
  const run = await captureRun(
    `first_run ${marker}; packet 480 data; lose size 0x88890004; every_run; tail 480`,
    PACKET * 5,
    { restartDelayMs: 50 },
  );
  assert.equal(run.error, null);
  assert.ok(run.audio.subarray(0, PACKET * 5).equals(Buffer.concat([packets(1, 1), packets(1, 4)])));
  assert.equal(run.log.filter((line) => line === "Start").length, 2);
  assert.deepEqual(run.log.filter((l) => l.startsWith("alive")), [ALL_RELEASED, ALL_RELEASED]);
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
