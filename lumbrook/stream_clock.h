// The stream's clock: where zeros go so that 48000 frames stay one second of real time, worked
// out from the engine's time stamps and the performance counter alone, so that its rules can be
// driven through hours of time without an engine.
#pragma once

#include "loopback_platform.h"

#include <cstdint>

// Time on the performance counter in ticks of 1/30 us: a frame at 48 kHz is exactly 625 of
// them and a 100-ns unit (the engine's time stamps) exactly 3, so no rounding builds up.
using Ticks = int64_t;
constexpr Ticks kTicksPerFrame = 625;
constexpr Ticks kTicksPerHns = 3;
constexpr Ticks kTicksPerMillisecond = 30000;
// Silence is written behind real time by the fill lag, so that the packet the engine hands out
// when sound resumes, a packet's length after its first frame or later, still finds its place
// free; and in steps of about kFillStep. The lag is as short as the engine's delivery allows:
// kMinFillLag (a 10 ms packet's length) before the first packet, then kMaxFillLag until
// kLearnPackets packets have shown how late the engine hands them out, then what the latest
// kLagWindow packets needed, within those bounds. A packet that needs more raises it at once.
// A need is read from a packet's stamp, and gets kLagMargin.
constexpr Ticks kMinFillLag = 10 * kTicksPerMillisecond;
constexpr Ticks kMaxFillLag = 50 * kTicksPerMillisecond;
constexpr Ticks kLagMargin = 1 * kTicksPerMillisecond;
constexpr Ticks kFillStep = 10 * kTicksPerMillisecond;
constexpr uint64_t kLearnPackets = 50;
constexpr uint64_t kLagWindow = 500;
// Where audio flows, silence begins only once no packet has come for kFlowBound: an engine held
// up hands out what it holds late and at once, and zeros written meanwhile would land inside its
// flow. The stream's buffer is this long (200 ms), and so is the most Wine's engine holds back
// without losing some of it: it asks PulseAudio for a record buffer of the stream's length
// (winepulse.drv's pulse_stream_connect sets maxlength so), and the tone it hands out after a
// longer hold-up breaks off (the real-engine tests and bench see it). What Windows' engine
// holds back is not known here.
constexpr Ticks kFlowBound = 200 * kTicksPerMillisecond;
// A stamp is when the packet's first frame was captured only if its audio had ended by the time
// it was handed out (within the counter's reading): Wine's engine stamps a packet as it reads it
// from its server, about as it hands it out, and one such stamp shows an engine whose stamps
// are no capture times. Where, after kLearnPackets packets, none has shown that, two stamps
// further apart than the first packet's length and kPauseMinimum (more than stamps jitter
// either way), of packets taken at least that far apart, show a pause of the engine's own,
// which is filled.
constexpr Ticks kStampTolerance = 1 * kTicksPerMillisecond;
constexpr Ticks kPauseMinimum = 2 * kTicksPerMillisecond;
// The pump waits at most this long for the engine's event, so it polls even if none comes.
constexpr DWORD kPollMilliseconds = 1000;

// Keeps the stream a clock: 48000 frames are one second, also while the engine hands out no
// packets at all, as a loopback client does while nothing plays. Zeros flow for such a
// stretch, trailing real time by the fill lag, once no packet has come for kFlowBound; when
// packets resume, zeros up to the first one's time stamp put it where the engine says it began.
// Packets that come back to back are written back to back whatever their stamps say (a device
// clock runs a little fast or slow against the counter, and stamps jitter); the stream
// re-aligns only after a stretch without packets or at a packet the engine flags as following
// lost data, and fills a shorter pause that two packets' capture times show. A packet is never
// dropped or cut: one that begins before the zeros already written end is written whole, and
// the stream runs that much late until the next stretch. A stamp that is 0, flagged as wrong,
// earlier than the one before or later than now places nothing: its packet follows what was
// written.
class StreamClock {
  public:
    explicit StreamClock(Ticks start) : end_(start), audioEnd_(start) {}

    // The zeros to write before a packet of `frames` that `qpcPosition` (100-ns units) says
    // began then, taken at `now`. Call Wrote for what is then written.
    uint64_t ZerosBefore(UINT32 frames, DWORD flags, UINT64 qpcPosition, Ticks now) {
        if (frames == 0) {
            return 0;
        }
        const Ticks duration = Ticks{frames} * kTicksPerFrame;
        const bool past = qpcPosition != 0 && !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) &&
                          qpcPosition <= static_cast<UINT64>(now / kTicksPerHns);
        const Ticks stamp = past ? static_cast<Ticks>(qpcPosition) * kTicksPerHns : 0;
        const bool trusted = past && stamp >= lastStamp_;
        // One stamp whose audio had not ended when it was handed out shows an engine that
        // stamps its packets as it hands them out (Wine's): none of its stamps says a pause.
        handOutStamps_ = handOutStamps_ || (trusted && stamp + duration > now + kStampTolerance);
        const bool captured = trusted && !handOutStamps_ && learned_ >= kLearnPackets;
        const bool resumes = afterStretch_ || (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
        // Only as long as no packet came: a wrong stamp before this one shows no pause.
        const Ticks pause = stamp - lastStampEnd_;
        const bool paused = !resumes && captured && lastCaptured_ && pause >= kPauseMinimum &&
                            now - lastTaken_ >= pause;
        lastTaken_ = now;
        afterStretch_ = false;
        LearnLag(stamp, trusted);
        // Its audio ended where its stamp says, and by now at the latest: a stretch without
        // packets is measured from the later, so that a late engine's flow is no stretch.
        const Ticks ended = trusted ? stamp + duration : audioEnd_;
        audioEnd_ = ended > now ? ended : now;
        lastCaptured_ = captured;
        if (!trusted) {
            return 0;
        }
        lastStamp_ = stamp;
        lastStampEnd_ = stamp + duration;
        if (!wroteAny_ && stamp < end_) {
            end_ = stamp; // nothing written yet: the stream begins with this frame
        }
        if (paused) {
            // The engine's own pause, no more than real time allows before this packet.
            const Ticks room = now - duration - end_;
            const Ticks fill = pause < room ? pause : room;
            return fill > 0 ? static_cast<uint64_t>((fill + kTicksPerFrame / 2) / kTicksPerFrame)
                            : 0;
        }
        if (!resumes || stamp <= end_) {
            return 0;
        }
        return static_cast<uint64_t>((stamp - end_ + kTicksPerFrame / 2) / kTicksPerFrame);
    }

    // The zeros due at `now`, when the engine said that no packet is pending: a stretch without
    // packets is under way once the last packet's audio ended, and it came, kFlowBound ago (the
    // lag ago once zeros flow).
    uint64_t SilenceDue(Ticks now) {
        lastNone_ = now;
        const Ticks until = now - lag_;
        if (!afterStretch_ && now - kFlowBound <= audioEnd_) {
            return 0;
        }
        if (until <= audioEnd_ || until - end_ < kFillStep) {
            return 0;
        }
        return static_cast<uint64_t>((until - end_) / kTicksPerFrame);
    }

    void Wrote(uint64_t frames, bool silence) {
        end_ += static_cast<Ticks>(frames) * kTicksPerFrame;
        wroteAny_ = wroteAny_ || frames > 0;
        afterStretch_ = afterStretch_ || silence;
    }

    // How far behind real time silence is written now.
    Ticks Lag() const { return lag_; }

    // How long the pump may wait for the engine before silence is next due.
    DWORD WaitMilliseconds(Ticks now) const {
        const Ticks from = audioEnd_ > end_ ? audioEnd_ : end_;
        Ticks due = from + lag_ + kFillStep - now;
        if (!afterStretch_ && audioEnd_ + kFlowBound - now > due) {
            due = audioEnd_ + kFlowBound - now;
        }
        if (due >= Ticks{kPollMilliseconds} * kTicksPerMillisecond) {
            return kPollMilliseconds;
        }
        return due <= 0 ? 1 : static_cast<DWORD>(due / kTicksPerMillisecond + 1);
    }

  private:
    // What the lag must cover for a packet stamped `stamp`, taken after the engine last said
    // that nothing was pending: silence written then ended the lag before it, and must have
    // ended before this packet's first frame, or a resumed sound would be written late. A
    // packet stamped longer than kMaxFillLag ago cannot be waited for, and one whose stamp is
    // not trusted cannot be placed: the lag then stays the most.
    void LearnLag(Ticks stamp, bool trusted) {
        if (!hadPacket_) {
            hadPacket_ = true;
            lag_ = kMaxFillLag; // audio flows: nothing known yet of how late it comes
            return;
        }
        const Ticks wanted = trusted ? lastNone_ - stamp + kLagMargin : kMaxFillLag;
        Learn(wanted < kMaxFillLag ? wanted : kMaxFillLag);
    }

    // `wanted`: the lag this packet wanted, its need and a margin.
    void Learn(Ticks wanted) {
        if (windowPackets_ == kLagWindow) {
            previousWanted_ = windowWanted_;
            windowWanted_ = 0;
            windowPackets_ = 0;
        }
        ++windowPackets_;
        ++learned_;
        windowWanted_ = wanted > windowWanted_ ? wanted : windowWanted_;
        Ticks lag = windowWanted_ > previousWanted_ ? windowWanted_ : previousWanted_;
        lag = lag < kMinFillLag ? kMinFillLag : lag > kMaxFillLag ? kMaxFillLag : lag;
        lag_ = learned_ >= kLearnPackets || lag > lag_ ? lag : lag_;
    }

    Ticks end_;                  // where the end of the stream written so far sits on the clock
    Ticks audioEnd_;             // where the last packet's audio ended, or when it came
    Ticks lastStamp_ = 0;        // the last stamp trusted...
    Ticks lastStampEnd_ = 0;     // ...and where its packet's audio ended
    bool lastCaptured_ = false;  // whether the last packet's stamp was a capture time
    bool handOutStamps_ = false; // a stamp has shown that the engine stamps at hand-out
    Ticks lastTaken_ = 0;        // when the last packet was taken
    bool wroteAny_ = false;      // whether anything has been written yet
    bool afterStretch_ = true;   // zeros written since the last packet (or the start)
    Ticks lag_ = kMinFillLag;    // how far behind real time silence is written
    bool hadPacket_ = false;     // a packet with frames has been taken
    Ticks lastNone_ = 0;         // when the engine last said that no packet was pending
    Ticks windowWanted_ = 0;     // the most lag a packet wanted in this window...
    Ticks previousWanted_ = 0;   // ...and in the one before
    uint64_t windowPackets_ = 0;
    uint64_t learned_ = 0; // packets whose need is known
};
