"use strict";
// A browser session for the tests and the bench of the package's renderer side: a page in
// Debian's chromium-headless-shell (started and stopped by its process id, with a profile of
// its own), fed through the package's main side, capture() and sendFrames(), from lumbrook
// under Wine against the simulated engine. The page gets the messages over a streamed fetch
// from a server on 127.0.0.1, in a worker of its own, and hands them to a MessageChannel, as
// Electron's preload hands over its port; it reports back with fetch.
const fs = require("node:fs");
const http = require("node:http");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");
const { performance } = require("node:perf_hooks");

const ROOT = path.resolve(__dirname, "..", "..");
const { capture, sendFrames } = require(path.join(ROOT, "node", "index.js"));
const PREFIX = [path.join(ROOT, "tests", "hosts", "under_wine.sh")];
const FILES = {
  "/": [path.join(__dirname, "page.html"), "text/html"],
  "/page.mjs": [path.join(__dirname, "page.mjs"), "text/javascript"],
  "/feed.mjs": [path.join(__dirname, "feed.mjs"), "text/javascript"],
  "/feed-worker.mjs": [path.join(__dirname, "feed-worker.mjs"), "text/javascript"],
  "/renderer.mjs": [path.join(ROOT, "node", "renderer.mjs"), "text/javascript"],
  "/renderer-worker.js": [path.join(ROOT, "node", "renderer-worker.js"), "text/javascript"],
};
const GUARD_MS = 60000; // a hang guard for a whole session, far beyond what one takes

// The port sendFrames() posts to: each message goes down the page's feed as a 4-byte header
// length, a JSON header and the PCM bytes; the page's replies come back through /reply.
class FeedPort {
  constructor(response, keep, records) {
    this.response = response;
    this.keep = keep;
    this.records = records;
    this.listeners = new Set();
    this.sent = []; // what was sent, where kept
    this.parts = []; // [when the host had it, ms since the epoch; frames]
    this.sentFrames = 0;
  }
  postMessage(message) {
    const pcm = message.pcm ? Buffer.from(message.pcm) : Buffer.alloc(0);
    if (message.lumbrook === "frames") {
      if (this.keep) this.sent.push(pcm);
      if (this.records) this.parts.push([performance.timeOrigin + performance.now(), pcm.length / 8]);
      this.sentFrames += pcm.length / 8;
    }
    const head = Buffer.from(JSON.stringify({ ...message, pcm: undefined, bytes: pcm.length }));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(head.length);
    this.response.write(Buffer.concat([length, head, pcm]));
  }
  // Only messages come back: the page's port never closes before the test ends the feed.
  on(event, listener) {
    if (event === "message") this.listeners.add(listener);
  }
  off(event, listener) {
    this.listeners.delete(listener);
  }
}

function body(request) {
  return new Promise((resolve) => {
    const parts = [];
    request.on("data", (part) => parts.push(part));
    request.on("end", () => resolve(Buffer.concat(parts)));
  });
}

// Ends a process group started detached, by its leader's process id, and waits until none of
// it is left; SIGKILL if SIGTERM has not done it within 5 s.
async function stopGroup(leader) {
  const alive = () => {
    try {
      process.kill(-leader.pid, 0);
      return true;
    } catch {
      return false;
    }
  };
  const signal = (name) => alive() && process.kill(-leader.pid, name);
  signal("SIGTERM");
  for (const started = Date.now(); alive(); await new Promise((resolve) => setTimeout(resolve, 20))) {
    if (Date.now() - started > 5000) signal("SIGKILL");
  }
}

// One page in one browser against one capture of the engine `script`. `query` is the page's;
// the capture is stopped once `stopAfterFrames` have been sent and `stopWhen(port)` holds (its
// `sent` holds what was sent, where kept); `onStart(browser)` is told the
// browser's process; `keep: false` keeps no audio and `records: false` no record of each part,
// for long runs (the page's `records=no` likewise); `page` serves another page module in
// page.mjs's place; `flags` are the browser's besides the usual ones. Resolves to the page's
// events, what it read, what was sent (and when the host had each part), the sending's outcome,
// stop()'s status and the engine's log.
async function session(script, query, options = {}) {
  const { stopAfterFrames = Infinity, stopWhen = () => true, captureOptions = {}, guardMs = GUARD_MS,
    onStart = () => {}, keep = true,
    records = true, page = FILES["/page.mjs"][0], flags = [] } = options;
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
      port = new FeedPort(response, keep, records);
      capturing = capture({ prefix: PREFIX, program: process.env.DIST_LUMBROOK, excludePid: 42, ...captureOptions });
      const { frames } = capturing;
      frames.on("data", () => {
        if (stopping === null && port.sentFrames >= stopAfterFrames && stopWhen(port)) stopping = capturing.stop();
      });
      sending = sendFrames(frames, port).then(
        () => ({ ended: true }),
        (error) => ({ error }),
      );
      return;
    }
    const url = request.url.split("?")[0];
    const file = url === "/page.mjs" ? [page, "text/javascript"] : FILES[url];
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
  }, guardMs);
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
        ...flags,
        `http://127.0.0.1:${server.address().port}/?${query}`,
      ],
      // A process group of its own: Debian's command is a script that starts the browser as
      // its child, so the whole group is stopped by the script's process id.
      { stdio: "ignore", detached: true },
    );
    onStart(browser);
    await done;
    const sent = await sending;
    const status = await (stopping || (capturing ? capturing.stop() : null));
    return { events, pcm, sent: port ? Buffer.concat(port.sent) : Buffer.alloc(0),
      parts: port ? port.parts : [], sending: sent, status,
      log: fs.existsSync(log) ? fs.readFileSync(log, "utf8").split("\n").filter(Boolean) : [] };
  } finally {
    clearTimeout(guard);
    if (capturing) await capturing.stop();
    if (browser) await stopGroup(browser);
    if (port) port.response.end();
    server.closeAllConnections();
    await new Promise((resolve) => server.close(resolve));
    delete process.env.SIM_AUDIO;
    delete process.env.SIM_AUDIO_LOG;
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

module.exports = { session };
