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
// A need read from a packet's stamp is exact, and gets kLagMargin; one read from when packets
// came, where a burst may come later than any seen, gets kFlowMargin.
constexpr Ticks kMinFillLag = 10 * kTicksPerMillisecond;
constexpr Ticks kMaxFillLag = 50 * kTicksPerMillisecond;
constexpr Ticks kLagMargin = 1 * kTicksPerMillisecond;
constexpr Ticks kFlowMargin = 10 * kTicksPerMillisecond;
constexpr Ticks kFillStep = 10 * kTicksPerMillisecond;
constexpr uint64_t kLearnPackets = 50;
constexpr uint64_t kLagWindow = 500;
// The pump waits at most this long for the engine's event, so it polls even if none comes.
constexpr DWORD kPollMilliseconds = 1000;

// Keeps the stream a clock: 48000 frames are one second, also while the engine hands out no
// packets at all, as a loopback client does while nothing plays. Zeros flow for such a
// stretch, trailing real time by the fill lag; when packets resume, zeros up to the first one's
// time stamp put it where the engine says it began. Packets that come back to back are written
// back to back whatever their stamps say (a device clock runs a little fast or slow against
// the counter, and stamps jitter); the stream re-aligns only after a stretch without packets
// or at a packet the engine flags as following lost data. A packet is never dropped or cut:
// one that begins before the zeros already written end is written whole, and the stream runs
// that much late until the next stretch. A stamp that is 0, flagged as wrong, earlier than
// the one before or later than now places nothing: its packet follows what was written.
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
        const bool resumes = afterStretch_ || (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
        afterStretch_ = false;
        LearnLag(stamp, trusted);
        // Its audio ended where its stamp says, and by now at the latest: a stretch without
        // packets is measured from the later, so that a late engine's flow is no stretch.
        const Ticks ended = trusted ? stamp + duration : audioEnd_;
        audioEnd_ = ended > now ? ended : now;
        if (!trusted) {
            return 0;
        }
        lastStamp_ = stamp;
        if (!wroteAny_ && stamp < end_) {
            end_ = stamp; // nothing written yet: the stream begins with this frame
        }
        if (!resumes || stamp <= end_) {
            return 0;
        }
        return static_cast<uint64_t>((stamp - end_ + kTicksPerFrame / 2) / kTicksPerFrame);
    }

    // The zeros due at `now`, when the engine said that no packet is pending: a stretch without
    // packets is under way once the last packet's audio ended, and it came, the lag ago.
    uint64_t SilenceDue(Ticks now) {
        lastNone_ = now;
        const Ticks until = now - lag_;
        if (until <= audioEnd_ || until - end_ < kFillStep) {
            return 0;
        }
        return static_cast<uint64_t>((until - end_) / kTicksPerFrame);
    }

    void Wrote(uint64_t frames, bool silence) {
        end_ += static_cast<Ticks>(frames) * kTicksPerFrame;
        wroteAny_ = wroteAny_ || frames > 0;
        afterStretch_ = afterStretch_ || silence;
        if (!silence) {
            packetEnd_ = end_;
        }
    }

    // How far behind real time silence is written now.
    Ticks Lag() const { return lag_; }

    // How long the pump may wait for the engine before silence is next due.
    DWORD WaitMilliseconds(Ticks now) const {
        const Ticks from = audioEnd_ > end_ ? audioEnd_ : end_;
        const Ticks due = from + lag_ + kFillStep - now;
        if (due >= Ticks{kPollMilliseconds} * kTicksPerMillisecond) {
            return kPollMilliseconds;
        }
        return due <= 0 ? 1 : static_cast<DWORD>(due / kTicksPerMillisecond + 1);
    }

  private:
    // What the lag must cover for a packet stamped `stamp`, taken after the engine last said
    // that nothing was pending. Silence written then ended the lag before it, and must have
    // ended before this packet's first frame, or the packet would be written late (a resumed
    // sound). And in flowing audio silence was due then only once both the last packet (or when
    // it came) and the stream's end after it plus a step lay the lag behind, so the lag must
    // also keep one of them ahead, unless it came after a pause; an engine whose stamps say
    // little (Wine's stamp a packet about when it hands it out) is learned from this alone. A
    // packet stamped longer than kMaxFillLag ago cannot be waited for, and one whose stamp is
    // not trusted cannot be placed: the lag then stays the most, which still keeps a late
    // engine's bursts apart.
    void LearnLag(Ticks stamp, bool trusted) {
        if (!hadPacket_) {
            hadPacket_ = true;
            lag_ = kMaxFillLag; // audio flows: nothing known yet of how late it comes
            return;
        }
        const Ticks flowing =
            packetEnd_ + kFillStep > audioEnd_ ? packetEnd_ + kFillStep : audioEnd_;
        const Ticks flow = lastNone_ - flowing; // longer than kMaxFillLag: it ended a pause
        Ticks wanted = flow <= kMaxFillLag ? flow + kFlowMargin : 0;
        if (!trusted) {
            wanted = kMaxFillLag;
        } else if (lastNone_ - stamp + kLagMargin > wanted) {
            wanted = lastNone_ - stamp + kLagMargin;
        }
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

    Ticks end_;                // where the end of the stream written so far sits on the clock
    Ticks audioEnd_;           // where the last packet's audio ended, or when it came
    Ticks lastStamp_ = 0;      // the last stamp trusted
    bool wroteAny_ = false;    // whether anything has been written yet
    bool afterStretch_ = true; // zeros written since the last packet (or the start)
    Ticks lag_ = kMinFillLag;  // how far behind real time silence is written
    bool hadPacket_ = false;   // a packet with frames has been taken
    Ticks lastNone_ = 0;       // when the engine last said that no packet was pending
    Ticks packetEnd_ = 0;      // where the stream ended after the last packet
    Ticks windowWanted_ = 0;   // the most lag a packet wanted in this window...
    Ticks previousWanted_ = 0; // ...and in the one before
    uint64_t windowPackets_ = 0;
    uint64_t learned_ = 0; // packets whose need is known
};
