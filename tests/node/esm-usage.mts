// An ES module host's use of the package's main entry, checked against its declarations by tsc.
import { capture, isSupported, ERROR_CODES, type CaptureError } from "lumbrook-tessvane";

if (isSupported()) {
  const { frames, stop } = capture({ sampleRate: 24000, channels: 1, format: "s16" });
  frames.on("error", (error: CaptureError) => console.log(ERROR_CODES.includes(error.code)));
  await stop();
}
