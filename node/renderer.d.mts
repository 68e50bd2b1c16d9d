/** A live audio track, 48 kHz stereo, of the frames that sendFrames() carries to `port`, as
 * lumbrook wrote them, written 30 ms after their capture at an even pace. Where frames come
 * later than that, zeros stand in their place and as many of the zeros that follow are left
 * out. It ends (and fires "ended") when the frames end or fail; stop() also releases what it
 * holds and tells the main side. */
export function createAudioTrack(port: MessagePort): LumbrookAudioTrack;

export interface LumbrookAudioTrack extends MediaStreamTrack {
  /** Frames of zeros the track made up where frames came late, so far. */
  readonly framesMadeUp: number;
}
