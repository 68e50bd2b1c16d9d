"use strict";
// The costs of the Node package's path to a renderer's track, as rows of the bench's table: the
// CPU of the main side per second of audio, the latency from the host's receipt of a chunk to
// its AudioData leaving the track (read with MediaStreamTrackProcessor; the test's feed over
// HTTP, standing in for Electron's port, is part of it), the memory of the page and of the host
// over a long capture, what a WebRTC call's receivers make of the track against a control call,
// and the capture's clock over a long capture from a device 300 ppm off.
// Usage: node track_bench.js <minutes> <cpu-seconds> <clock-minutes>
const fs = require("node:fs");
const path = require("node:path");
const { performance } = require("node:perf_hooks");
const { MessageChannel } = require("node:worker_threads");
const { session } = require("../browser/session.js");
const { call } = require("../browser/call.js");

const ROOT = path.resolve(__dirname, "..", "..");
const { capture, sendFrames } = require(path.join(ROOT, "node", "index.js"));
const PREFIX = [path.join(ROOT, "tests", "hosts", "under_wine.sh")];
const [minutes = 10, cpuSeconds = 10, clockMinutes = 5] = process.argv.slice(2).map(Number);

// min/median/max, as the bench's other rows.
const spread = (values) => [0, 0.5, 1].map((p) => percentile(values, p).toFixed(4)).join("/");
const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(p * values.length))];

// Resident memory of a process and all its descendants, in KiB.
function treeRss(pid) {
  let total = 0;
  for (const stack = [pid]; stack.length > 0; ) {
    const at = stack.pop();
    try {
      total += Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${at}/status`, "utf8"))[1]);
      for (const task of fs.readdirSync(`/proc/${at}/task`)) {
        const children = fs.readFileSync(`/proc/${at}/task/${task}/children`, "utf8").split(/\s+/);
        stack.push(...children.filter(Boolean).map(Number));
      }
    } catch {
      // gone meanwhile
    }
  }
  return total;
}

// The host's CPU seconds per second of audio, capturing "tail 480" for `seconds`, with the
// frames sent to a port whose other end takes them, or only consumed.
async function hostCpu(seconds, send, form = {}) {
  process.env.SIM_AUDIO = "tail 480";
  const { frames, stop } = capture({ prefix: PREFIX, program: process.env.DIST_LUMBROOK, excludePid: 42, ...form });
  const frameBytes = (form.channels || 2) * (form.format === "s16" ? 2 : 4);
  const { port1, port2 } = new MessageChannel();
  let took = 0; // the other end takes everything, and says so as the renderer does
  port2.on("message", (message) => {
    if (message.lumbrook !== "frames") return;
    took += message.pcm.byteLength / 8;
    port2.postMessage({ lumbrook: "taken", frames: took });
  });
  let received = 0;
  const sending = send ? sendFrames(frames, port1) : null;
  frames.on("data", (chunk) => (received += chunk.length));
  await new Promise((resolve) => frames.once("data", resolve));
  const [before, at] = [process.cpuUsage(), received];
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const used = process.cpuUsage(before);
  const audioSeconds = (received - at) / frameBytes / (form.sampleRate || 48000);
  await stop();
  if (sending) await sending;
  port2.close();
  delete process.env.SIM_AUDIO;
  return (used.user + used.system) / 1e6 / audioSeconds;
}

// The longest wait between two chunks reaching a reader in a worker during a 500 ms stall of
// the page, and after it, with the writes in the package's worker or on the page's thread.
async function stallGaps(writer) {
  const run = await session("tail 480", `writer=${writer}`, {
    keep: false,
    stopAfterFrames: 48000 * 3,
    page: path.join(__dirname, "stall_page.mjs"),
  });
  const { stall, arrivals } = run.events.at(-1);
  const gaps = arrivals.slice(1).map((at, k) => [arrivals[k], at - arrivals[k]]);
  const longest = (from, to) => Math.max(0, ...gaps.filter(([at]) => at >= from && at < to).map(([, gap]) => gap));
  return [longest(stall.at - 20, stall.until), longest(stall.until, Infinity)];
}

// The capture's clock over `minutes` of back-to-back packets from a device `ppm` off: for each
// minute, the least that a chunk of sound arrived after the time the clock gives its last
// frame (a frame cannot arrive before it was captured, and lumbrook writes packets at once, so
// this is the clock's error, plus the way to the host), and the same for a clock of 48 frames a
// millisecond from the first frame, which the device's clock carries away.
async function clockOverMinutes(ppm, minutes) {
  process.env.SIM_AUDIO = `ppm ${ppm}; tail 480`;
  const { frames, stop, clock } = capture({ prefix: PREFIX, program: process.env.DIST_LUMBROOK, excludePid: 42 });
  const least = []; // per minute: [the clock's, frames' own]
  let started = null;
  frames.on("data", () => {
    const now = performance.timeOrigin + performance.now();
    if (started === null) started = now;
    const minute = Math.floor((now - started) / 60000);
    const [ours, plain] = least[minute] || [Infinity, Infinity];
    least[minute] = [Math.min(ours, now - clock.timeOf(clock.frames)),
      Math.min(plain, now - (clock.origin + clock.frames / 48))];
  });
  await new Promise((resolve) => setTimeout(resolve, minutes * 60000));
  await stop();
  delete process.env.SIM_AUDIO;
  return least.slice(0, minutes);
}

function row(name, value, baseline, compare) {
  console.log(`| ${name} | ${value} | ${baseline} | ${compare} | - | - |`);
}

async function main() {
  const cpu = [];
  for (let run = 0; run < 3; run++) cpu.push([await hostCpu(cpuSeconds, true), await hostCpu(cpuSeconds, false)]);
  const ours = percentile(cpu.map((c) => c[0]), 0.5);
  const base = percentile(cpu.map((c) => c[1]), 0.5);
  row("package main side: host CPU s per s of audio with sendFrames() (baseline: capture() alone)",
    spread(cpu.map((c) => c[0])), spread(cpu.map((c) => c[1])),
    `sendFrames() adds ${(ours - base).toFixed(4)}`);

  const speech = { sampleRate: 16000, channels: 1, format: "s16" };
  const converted = [];
  for (let run = 0; run < 3; run++) converted.push([await hostCpu(cpuSeconds, false, speech), await hostCpu(cpuSeconds, false)]);
  row("capture() converted to 16 kHz mono 16-bit: host CPU s per s of audio (baseline: capture() as lumbrook writes it)",
    spread(converted.map((c) => c[0])), spread(converted.map((c) => c[1])),
    `the conversion adds ${(percentile(converted.map((c) => c[0]), 0.5) - percentile(converted.map((c) => c[1]), 0.5)).toFixed(4)}`);

  const worker = await stallGaps("worker");
  const page = await stallGaps("page");
  row("page stall of 500 ms: longest wait between chunks at a reader in a worker, during / after " +
    "(writes in createAudioTrack()'s worker; baseline: writes on the page's thread)",
    `${worker[0].toFixed(1)} / ${worker[1].toFixed(1)} ms`, `${page[0].toFixed(1)} / ${page[1].toFixed(1)} ms`, "-");

  // The latency, from a minute's run with a record of each part and read.
  const timed = await session("tail 480", "keep=no", { keep: false, stopAfterFrames: 60 * 48000, guardMs: 180000 });
  const done = timed.events.at(-1);
  // Each read's last frame, against when the host had the part that held it.
  const latencies = [];
  let part = 0;
  let sentFrames = timed.parts.length > 0 ? timed.parts[0][1] : 0;
  for (const [at, frames] of done.reads) {
    while (sentFrames < frames && part + 1 < timed.parts.length) sentFrames += timed.parts[++part][1];
    latencies.push(done.timeOrigin + at - timed.parts[part][0]);
  }
  row(`package path latency, host's receipt to AudioData read from the track, ${latencies.length} chunks`,
    `p50 ${percentile(latencies, 0.5).toFixed(1)} ms, p99 ${percentile(latencies, 0.99).toFixed(1)} ms`, "-", "-");

  // The memory, from a long run that keeps counts only.
  const samples = []; // [ms since the start, host KiB, browser KiB]
  let sampler = null;
  const started = Date.now();
  await session("tail 480", "keep=no&records=no", {
    keep: false,
    records: false,
    stopAfterFrames: minutes * 60 * 48000,
    guardMs: minutes * 60000 + 120000,
    onStart: (browser) => {
      sampler = setInterval(() => {
        samples.push([Date.now() - started, Math.round(process.memoryUsage().rss / 1024), treeRss(browser.pid)]);
      }, 10000);
    },
  });
  clearInterval(sampler);
  while (samples.length > 0 && samples.at(-1)[2] === 0) samples.pop(); // taken as the browser went
  const minute = samples.find(([ms]) => ms >= 60000) || samples[0];
  const last = samples.at(-1);
  row(`memory over ${minutes} min of capture to the track, counts only: host, page (browser and its processes)`,
    `host ${minute[1]} -> ${last[1]} KiB, page ${minute[2]} -> ${last[2]} KiB`, "-",
    `growth after the first minute: host ${last[1] - minute[1]} KiB, page ${last[2] - minute[2]} KiB`);

  const calls = [];
  for (let run = 0; run < 3; run++) {
    const { figures } = await call();
    if (figures) calls.push(figures);
  }
  const each = (pick) => calls.map((f) => pick(f).toFixed(1)).join(" / ");
  row(`WebRTC call, audio made up by the receiver (ms; ${calls.length} calls): outside the restart / at the restart`,
    `${each((f) => f.made.ours)} ; ${each((f) => f.made.restart)}`, each((f) => f.made.control), "-");
  row("WebRTC call, receiver's audio jitter-buffer target over the last 5 s (ms)",
    each((f) => f.targets["ours audio"]), each((f) => f.targets["control audio"]), "-");
  row("WebRTC call, receiver's video jitter-buffer target over the last 5 s (ms)",
    each((f) => f.targets["ours video"]), each((f) => f.targets["control video"]), "-");
  row("WebRTC call, capture times read back behind the page's clock (ms; baseline: a live track of " +
    "Chromium's fake device)", each((f) => f.behind.ours), each((f) => f.behind.live), "-");

  for (const ppm of [300, -300]) {
    const least = await clockOverMinutes(ppm, clockMinutes);
    const spanOf = (values) => `${Math.min(...values).toFixed(1)} to ${Math.max(...values).toFixed(1)} ms`;
    row(`capture's clock over ${clockMinutes} min of packets, device ${ppm > 0 ? "+" : ""}${ppm} ppm: each minute's ` +
      "earliest arrival of sound after its time (baseline: 48 frames a ms from the first)",
      spanOf(least.map(([ours]) => ours)), spanOf(least.map(([, plain]) => plain)), "-");
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
