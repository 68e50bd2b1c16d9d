// A page's use of the renderer side, checked against its declarations by tsc --noEmit.
import { createAudioTrack, LumbrookAudioTrack } from "lumbrook-tessvane/renderer";

window.addEventListener("message", async (event: MessageEvent) => {
  if (event.data !== "lumbrook-port") return;
  const track: LumbrookAudioTrack = createAudioTrack(event.ports[0]);
  track.addEventListener("ended", () => console.log(`the capture ended (${track.framesMadeUp} frames made up)`));
  const share = await navigator.mediaDevices.getDisplayMedia({ video: true, audio: false });
  share.getAudioTracks().forEach((old) => share.removeTrack(old));
  share.addTrack(track);
});
