/** A live audio track, 48 kHz stereo, of the frames that sendFrames() carries to `port`,
 * exactly as lumbrook wrote them. It ends (and fires "ended") when the frames end or fail;
 * stop() also releases what it holds and tells the main side. */
export function createAudioTrack(port: MessagePort): MediaStreamTrack;
