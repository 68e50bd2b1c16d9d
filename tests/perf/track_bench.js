"use strict";
// The costs of the Node package's path to a renderer's track, as rows of the bench's table: the
// CPU of the main side per second of audio, the latency from the host's receipt of a chunk to
// its AudioData leaving the track (read with MediaStreamTrackProcessor; the test's feed over
// HTTP, standing in for Electron's port, is part of it), and the memory of the page and of the
// host over a long capture. Usage: node track_bench.js <minutes> <cpu-seconds>
const fs = require("node:fs");
const path = require("node:path");
const { MessageChannel } = require("node:worker_threads");
const { session } = require("../browser/session.js");

const ROOT = path.resolve(__dirname, "..", "..");
const { capture, sendFrames } = require(path.join(ROOT, "node", "index.js"));
const PREFIX = [path.join(ROOT, "tests", "hosts", "under_wine.sh")];
const [minutes = 10, cpuSeconds = 10] = process.argv.slice(2).map(Number);

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
async function hostCpu(seconds, send) {
  process.env.SIM_AUDIO = "tail 480";
  const { frames, stop } = capture({ prefix: PREFIX, program: process.env.DIST_LUMBROOK, excludePid: 42 });
  const { port1, port2 } = new MessageChannel();
  port2.on("message", () => {});
  let received = 0;
  const sending = send ? sendFrames(frames, port1) : null;
  frames.on("data", (chunk) => (received += chunk.length));
  await new Promise((resolve) => frames.once("data", resolve));
  const [before, at] = [process.cpuUsage(), received];
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const used = process.cpuUsage(before);
  const audioSeconds = (received - at) / 8 / 48000;
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

  const worker = await stallGaps("worker");
  const page = await stallGaps("page");
  row("page stall of 500 ms: longest wait between chunks at a reader in a worker, during / after " +
    "(writes in createAudioTrack()'s worker; baseline: writes on the page's thread)",
    `${worker[0].toFixed(1)} / ${worker[1].toFixed(1)} ms`, `${page[0].toFixed(1)} / ${page[1].toFixed(1)} ms`, "-");

  const samples = []; // [ms since the start, host KiB, browser KiB]
  let sampler = null;
  const started = Date.now();
  const run = await session("tail 480", "keep=no", {
    keep: false,
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
  const done = run.events.at(-1);
  // Each read's last frame, against when the host had the part that held it.
  const latencies = [];
  let part = 0;
  let sentFrames = run.parts.length > 0 ? run.parts[0][1] : 0;
  for (const [at, frames] of done.reads) {
    while (sentFrames < frames && part + 1 < run.parts.length) sentFrames += run.parts[++part][1];
    latencies.push(done.timeOrigin + at - run.parts[part][0]);
  }
  row(`package path latency, host's receipt to AudioData read from the track, ${latencies.length} chunks`,
    `p50 ${percentile(latencies, 0.5).toFixed(1)} ms, p99 ${percentile(latencies, 0.99).toFixed(1)} ms`, "-", "-");
  const minute = samples.find(([ms]) => ms >= 60000) || samples[0];
  const last = samples.at(-1);
  row(`memory over ${minutes} min of capture to the track: host, page (browser and its processes)`,
    `host ${minute[1]} -> ${last[1]} KiB, page ${minute[2]} -> ${last[2]} KiB`, "-",
    `growth after the first minute: host ${last[1] - minute[1]} KiB, page ${last[2] - minute[2]} KiB`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
