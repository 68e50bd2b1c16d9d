// The browser tests' stand-in for Electron's port: the messages of the test's main side arrive
// over a streamed fetch (each a 4-byte header length, a JSON header and the PCM bytes) and are
// posted, as they were sent, into a MessageChannel's port; what comes back goes to /reply.
export async function feed(port) {
  port.onmessage = (event) => fetch("/reply", { method: "POST", body: JSON.stringify(event.data) });
  const reader = (await fetch("/feed")).body.getReader();
  let held = new Uint8Array(0);
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    const joined = new Uint8Array(held.length + value.length);
    joined.set(held);
    joined.set(value, held.length);
    let at = 0;
    while (joined.length - at >= 4) {
      const headLength = new DataView(joined.buffer, at).getUint32(0, true);
      if (joined.length - at < 4 + headLength) break;
      const head = JSON.parse(new TextDecoder().decode(joined.subarray(at + 4, at + 4 + headLength)));
      if (joined.length - at < 4 + headLength + head.bytes) break;
      const start = at + 4 + headLength;
      const message = { ...head };
      delete message.bytes;
      if (head.lumbrook === "frames") message.pcm = joined.slice(start, start + head.bytes).buffer;
      port.postMessage(message);
      at = start + head.bytes;
    }
    held = joined.slice(at);
  }
}
