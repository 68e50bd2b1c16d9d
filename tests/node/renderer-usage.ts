// A page's use of the renderer side, checked against its declarations by tsc --noEmit.
import { createAudioTrack } from "lumbrook-tessvane/renderer";

window.addEventListener("message", async (event: MessageEvent) => {
  if (event.data !== "lumbrook-port") return;
  const track: MediaStreamTrack = createAudioTrack(event.ports[0]);
  track.addEventListener("ended", () => console.log("the capture ended"));
  const share = await navigator.mediaDevices.getDisplayMedia({ video: true, audio: false });
  share.getAudioTracks().forEach((old) => share.removeTrack(old));
  share.addTrack(track);
});
