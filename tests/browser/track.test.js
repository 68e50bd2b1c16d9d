"use strict";
// createAudioTrack() in a real Chromium (Debian's chromium-headless-shell, started and stopped
// by its process id), fed through the package's main side, capture() and sendFrames(), from
// lumbrook under Wine against the simulated engine, and read back from the track with
// MediaStreamTrackProcessor. The page gets the messages over a streamed fetch from a server on
// 127.0.0.1 and hands them to a MessageChannel, as Electron's preload hands over its port.
const assert = require("node:assert/strict");
const fs = require("node:fs");
const http = require("node:http");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");
const test = require("node:test");

const ROOT = path.resolve(__dirname, "..", "..");
const { capture, sendFrames } = require(path.join(ROOT, "node", "index.js"));
const PREFIX = [path.join(ROOT, "tests", "hosts", "under_wine.sh")];
const PACKET = 480 * 8;
const ALL_RELEASED =
  "alive IAudioClient=0 IAudioCaptureClient=0 IActivateAudioInterfaceAsyncOperation=0 IUnknown=0";
const FILES = {
  "/": [path.join(__dirname, "page.html"), "text/html"],
  "/page.mjs": [path.join(__dirname, "page.mjs"), "text/javascript"],
  "/renderer.mjs": [path.join(ROOT, "node", "renderer.mjs"), "text/javascript"],
  "/renderer-worker.js": [path.join(ROOT, "node", "renderer-worker.js"), "text/javascript"],
};
const GUARD_MS = 60000; // a hang guard for a whole session, far beyond what one takes

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

// The port sendFrames() posts to: each message goes down the page's feed as a 4-byte header
// length, a JSON header and the PCM bytes; the page's replies come back through /reply.
class FeedPort {
  constructor(response) {
    this.response = response;
    this.listeners = new Set();
    this.sent = [];
  }
  postMessage(message) {
    const pcm = message.pcm ? Buffer.from(message.pcm) : Buffer.alloc(0);
    if (message.lumbrook === "frames") this.sent.push(pcm);
    const head = Buffer.from(JSON.stringify({ ...message, pcm: undefined, bytes: pcm.length }));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(head.length);
    this.response.write(Buffer.concat([length, head, pcm]));
  }
  on(event, listener) {
    this.listeners.add(listener);
  }
  off(event, listener) {
    this.listeners.delete(listener);
  }
  get sentFrames() {
    return this.sent.reduce((total, pcm) => total + pcm.length, 0) / 8;
  }
}

function body(request) {
  return new Promise((resolve) => {
    const parts = [];
    request.on("data", (part) => parts.push(part));
    request.on("end", () => resolve(Buffer.concat(parts)));
  });
}

// One page in one browser against one capture of the engine `script`. `query` is the page's;
// the capture is stopped once `stopAfterFrames` have been sent. Resolves to the page's events,
// what it read, what was sent, the sending's outcome, stop()'s status and the engine's log.
async function session(script, query, { stopAfterFrames = Infinity, captureOptions = {} } = {}) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "lumbrook-browser-"));
  const log = path.join(scratch, "engine.log");
  Object.assign(process.env, { SIM_AUDIO: script, SIM_AUDIO_LOG: log });
  const events = [];
  let pcm = null;
  let port = null;
  let sending = null;
  let stopping = null;
  let capturing = null;
  let browser = null;
  let finished;
  const done = new Promise((resolve) => (finished = resolve));
  const server = http.createServer(async (request, response) => {
    if (request.method === "POST") {
      const data = await body(request);
      response.end();
      if (request.url === "/pcm") pcm = data;
      else if (request.url === "/reply") port.listeners.forEach((listener) => listener(JSON.parse(data)));
      else {
        const event = JSON.parse(data);
        events.push(event);
        if (event.event === "done" || event.event === "failed") finished();
      }
      return;
    }
    if (request.url === "/feed") {
      response.writeHead(200, { "Content-Type": "application/octet-stream", "Cache-Control": "no-store" });
      port = new FeedPort(response);
      capturing = capture({ prefix: PREFIX, program: process.env.DIST_LUMBROOK, excludePid: 42, ...captureOptions });
      const { frames } = capturing;
      frames.on("data", () => {
        if (stopping === null && port.sentFrames >= stopAfterFrames) stopping = capturing.stop();
      });
      sending = sendFrames(frames, port).then(
        () => ({ ended: true }),
        (error) => ({ error }),
      );
      return;
    }
    const file = FILES[request.url.split("?")[0]];
    if (!file) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": file[1] });
    response.end(fs.readFileSync(file[0]));
  });
  server.on("connection", (socket) => socket.setNoDelay(true));
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const guard = setTimeout(() => {
    events.push({ event: "guard" });
    finished();
  }, GUARD_MS);
  try {
    browser = spawn(
      "chromium-headless-shell",
      [
        ...(process.getuid && process.getuid() === 0 ? ["--no-sandbox"] : []),
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        `--user-data-dir=${path.join(scratch, "profile")}`,
        `http://127.0.0.1:${server.address().port}/?${query}`,
      ],
      { stdio: "ignore" },
    );
    await done;
    const sent = await sending;
    const status = await (stopping || (capturing ? capturing.stop() : null));
    return { events, pcm, sent: port ? Buffer.concat(port.sent) : Buffer.alloc(0), sending: sent, status,
      log: fs.existsSync(log) ? fs.readFileSync(log, "utf8").split("\n").filter(Boolean) : [] };
  } finally {
    clearTimeout(guard);
    if (capturing) await capturing.stop();
    if (browser && browser.exitCode === null) {
      const exited = new Promise((resolve) => browser.once("exit", resolve));
      process.kill(browser.pid, "SIGTERM");
      const kill = setTimeout(() => process.kill(browser.pid, "SIGKILL"), 5000);
      await exited;
      clearTimeout(kill);
    }
    if (port) port.response.end();
    server.closeAllConnections();
    await new Promise((resolve) => server.close(resolve));
    delete process.env.SIM_AUDIO;
    delete process.env.SIM_AUDIO_LOG;
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

// The track's samples are lumbrook's, bit for bit, except that Chromium quiets a signalling NaN
// (it sets the quiet bit, 0x00400000): audio has no NaN, the simulated engine's random bytes
// have a few. After the last frame, silence completes the last 10 ms chunk.
function assertSameSamples(read, sent) {
  const chunk = 480 * 8;
  assert.equal(read.length, Math.ceil(sent.length / chunk) * chunk);
  assert.ok(read.subarray(sent.length).equals(Buffer.alloc(read.length - sent.length)));
  const nan = (word) => (word & 0x7f800000) === 0x7f800000 && (word & 0x007fffff) !== 0;
  for (let at = 0; at < sent.length; at += 4) {
    const [a, b] = [read.readUInt32LE(at), sent.readUInt32LE(at)];
    if (a !== b && !(nan(a) && nan(b) && (a | 0x400000) === (b | 0x400000))) {
      assert.fail(`sample ${at / 4} is 0x${a.toString(16)}, lumbrook wrote 0x${b.toString(16)}`);
    }
  }
}

function finalEvent(run) {
  const last = run.events.at(-1);
  assert.equal(last.event, "done", JSON.stringify(run.events.slice(-2)));
  return last;
}

// For each read: how far the frames read so far are from the time since the first frame, in ms.
function clockErrors(reads) {
  const [firstAt, firstFrames] = reads[0];
  const start = firstAt - firstFrames / 48;
  return reads.map(([at, frames]) => frames / 48 - (at - start));
}

test("every frame exact, a page stall loses nothing and adds no lasting latency, the end ends the track", async (t) => {
  const run = await session("tail 480", "stallAt=48000", { stopAfterFrames: 48000 * 4 });
  const done = finalEvent(run);
  // Exactly what lumbrook wrote: nothing dropped, reordered or inserted.
  assert.ok(run.sent.subarray(0, PACKET * 300).equals(packets(1, 300)));
  assertSameSamples(run.pcm, run.sent);
  // In chunks of one size, 48 kHz stereo; the last may be shorter.
  assert.deepEqual([...new Set(done.reads.slice(0, -1).map((r) => r.slice(2).join(" ")))], ["480 48000 2"]);
  // The stall: the reads after it are back where they were before it.
  const stall = run.events.find((e) => e.event === "stalled");
  const errors = clockErrors(done.reads);
  const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const before = median(errors.filter((_, k) => done.reads[k][0] < stall.at));
  const after = median(errors.filter((_, k) => done.reads[k][0] > stall.until + 500));
  t.diagnostic(`read offset ${before.toFixed(1)} ms before the stall, ${after.toFixed(1)} ms after`);
  assert.ok(Math.abs(after - before) < 100, `${before} ms before the stall, ${after} ms after`);
  // The frames' end ended the track, with its event; lumbrook released everything.
  assert.deepEqual([done.readyState, done.endedEvents], ["ended", 1]);
  assert.deepEqual(run.sending, { ended: true });
  assert.equal(run.status, 0);
  assert.equal(run.log.at(-1), ALL_RELEASED);
});

test("a restart is kept in time on the track", async (t) => {
  const marker = path.join(os.tmpdir(), `lumbrook-browser-first-${process.pid}`);
  fs.rmSync(marker, { force: true });
  const first = Array(100).fill("packet 480 data").join(";");
  const run = await session(`first_run ${marker}; ${first}; lose size 0x88890004; every_run; tail 480`, "",
    { stopAfterFrames: 48000 * 4, captureOptions: { restartDelayMs: 300 } });
  fs.rmSync(marker, { force: true });
  const done = finalEvent(run);
  assertSameSamples(run.pcm, run.sent);
  assert.ok(run.sent.subarray(0, PACKET * 100).equals(packets(1, 100)));
  let zeros = 0;
  while (run.sent.readBigUInt64LE(PACKET * 100 + zeros * 8) === 0n) zeros++;
  const second = run.sent.subarray(PACKET * 100 + zeros * 8);
  assert.ok(second.subarray(0, PACKET * 100).equals(packets(1, 100)), `after ${zeros} zero frames`);
  // Within about 100 ms of real time at every read, through the restart; behind a little more
  // for a busy machine's late reads.
  const errors = clockErrors(done.reads);
  t.diagnostic(`${zeros} zero frames between the runs; frames off real time from ` +
    `${Math.min(...errors).toFixed(1)} to ${Math.max(...errors).toFixed(1)} ms`);
  for (const error of errors) {
    assert.ok(error <= 100 && error >= -250, `frames ${error} ms off real time`);
  }
  assert.equal(run.log.filter((line) => line === ALL_RELEASED).length, 2);
});

test("the page's track.stop() releases the track's side and tells the main side", async () => {
  const run = await session("tail 480", "stopAt=24000");
  const stopped = run.events.find((e) => e.event === "stopped");
  assert.equal(stopped.readyState, "ended");
  finalEvent(run);
  assert.deepEqual(run.sending, { ended: true }); // resolved by the page's word
  assert.equal(run.status, 0);
  assert.equal(run.log.at(-1), ALL_RELEASED);
});
