// node drive.js <host.js> <bytes> <out-file> <command> [arguments...]: runs the README's Node
// host until it has `bytes` of audio, writes what it got to out-file, prints the exit status.
const fs = require("node:fs");
const [hostFile, want, outFile, command, ...args] = process.argv.slice(2);
const { capture } = require(hostFile);
const parts = [];
let total = 0;
capture(command, args, (frames) => {
  if (frames.length % 8 !== 0) throw new Error(`a part of ${frames.length} bytes`);
  parts.push(frames);
  total += frames.length;
  return total < Number(want);
}, 100).then((status) => {
  fs.writeFileSync(outFile, Buffer.concat(parts));
  console.log(status);
});
