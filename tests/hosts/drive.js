// node drive.js <host.js> <bytes> <out-file> <under_wine.sh>: runs the README's Node host, with
// the programs started through the recording launcher under Wine, until out-file holds
// `bytes` of audio; then stops it and prints lumbrook's exit status.
const fs = require("node:fs");
const [hostFile, want, outFile, underWine] = process.argv.slice(2);
const { record } = require(hostFile);
const recording = record(outFile, { prefix: [underWine], excludePid: 42, restartDelayMs: 100 });
const poll = setInterval(async () => {
  if (!fs.existsSync(outFile) || fs.statSync(outFile).size < Number(want)) return;
  clearInterval(poll);
  console.log(await recording.stop());
}, 20);
