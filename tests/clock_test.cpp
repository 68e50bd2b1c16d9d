// Drives lumbrook's stream clock through hours of simulated time in a few milliseconds: a
// device that hands out 10 ms packets (its clock off, its stamps jittered, late, in bursts, with
// stretches without packets, packets lost while the pump was held up, and wrong stamps) and a
// pump that uses the clock as lumbrook's does. Prints one line per failed check and exits with
// the number of failures.
#include "stream_clock.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

int failures = 0;
const char* currentCase = "";

#define CHECK(condition, value)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ++failures;                                                                            \
            printf("%s:%d: %s: failed: %s (%lld)\n", __FILE__, __LINE__, currentCase, #condition,  \
                   static_cast<long long>(value));                                                 \
        }                                                                                          \
    } while (0)

constexpr Ticks kMs = kTicksPerMillisecond;
constexpr UINT32 kFrames = 480;
constexpr Ticks kPacketTicks = kFrames * kTicksPerFrame; // 10 ms
constexpr Ticks kStart = 3600000 * kMs;                  // the counter when the stream starts
constexpr Ticks kHour = 3600000 * kMs;
constexpr Ticks kOverflow = 200 * kMs; // the engine's buffer: older packets are lost

uint32_t Scramble(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

enum class Stamp { Right, Zero, Error, Back, Future };

struct Packet {
    Ticks handedOut; // when the pump can take it
    UINT64 stamp;    // the performance-counter position of its first frame, in 100-ns units
    DWORD flags;
};

// The device's packets: its own timeline of frames and stretches without packets, on its clock.
class Device {
  public:
    long long ppm = 0; // the device's clock against the counter
    Ticks jitter = 0;  // of the stamps, either way
    Ticks late = 0;    // how long after its audio ended a packet is handed out
    size_t burst = 1;  // packets are handed out in groups of this many, with the last
    enum class Stamps { OfFirstFrame, AtHandOut, None };
    Stamps stamps = Stamps::OfFirstFrame; // at hand-out as Wine's engine (measured by the bench)
    // A loaded machine holds the engine up: at each packet, with this chance in a thousand, it
    // hands out nothing for a while, up to holdMax, and then what it holds at once.
    uint32_t holdPermille = 0;
    Ticks holdMin = 10 * kMs, holdMax = 0;
    std::vector<Packet> packets;

    void Gap(Ticks length) { deviceTime_ += length; }

    // `count` packets back to back; the first with `stamp`.
    void Play(size_t count, Stamp stamp = Stamp::Right) {
        const size_t firstNew = packets.size();
        for (size_t i = 0; i < count; ++i) {
            const Ticks begins = OnCounter(deviceTime_);
            deviceTime_ += kPacketTicks;
            Packet packet = {OnCounter(deviceTime_) + late, StampOf(begins), 0};
            switch (i == 0 ? stamp : Stamp::Right) {
            case Stamp::Zero:
                packet.stamp = 0;
                break;
            case Stamp::Error:
                packet.stamp = 0;
                packet.flags = AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
                break;
            case Stamp::Back:
                packet.stamp = StampOf(begins - 1000 * kMs);
                break;
            case Stamp::Future:
                packet.stamp = StampOf(begins + kHour);
                break;
            case Stamp::Right:
                break;
            }
            packets.push_back(packet);
        }
        for (size_t first = 0; burst > 1 && first < packets.size(); first += burst) {
            const size_t last = std::min(first + burst, packets.size()) - 1;
            for (size_t k = first; k < last; ++k) {
                packets[k].handedOut = packets[last].handedOut;
            }
        }
        // A hold-up: nothing is handed out for its length after the packet before.
        for (size_t k = std::max<size_t>(firstNew, 1); holdPermille > 0 && k < packets.size();
             ++k) {
            if (Scramble(rng_) % 1000 >= holdPermille) {
                continue;
            }
            const Ticks until =
                packets[k - 1].handedOut + holdMin +
                static_cast<Ticks>(Scramble(rng_) % static_cast<uint32_t>(holdMax - holdMin + 1));
            for (size_t j = k; j < packets.size() && packets[j].handedOut < until; ++j) {
                packets[j].handedOut = until;
            }
        }
        for (size_t k = 0; stamps != Stamps::OfFirstFrame && k < packets.size(); ++k) {
            packets[k].stamp = stamps == Stamps::None ? 0 : StampOf(packets[k].handedOut);
        }
    }

    Ticks OnCounter(Ticks device) const { return kStart + device + device * ppm / 1000000; }

  private:
    UINT64 StampOf(Ticks begins) {
        const Ticks shift =
            jitter > 0 ? static_cast<Ticks>(Scramble(rng_) % (2 * jitter + 1)) - jitter : 0;
        return static_cast<UINT64>((begins + shift) / kTicksPerHns);
    }

    Ticks deviceTime_ = 0;
    uint32_t rng_ = 7;
};

// What the pump wrote: the zeros before each packet it took, and how far the stream fell behind
// real time while nothing played.
struct Written {
    std::vector<uint64_t> zerosBefore; // per packet, in the order taken
    std::vector<size_t> lostBefore;    // per packet, the packets the engine lost just before
    Ticks worstBehind = 0;             // at a wake-up from `paceFrom`, real time less the end
    Ticks worstBehindInSilence = 0;    // the same where silence already flows
    Ticks slowestSilence = 0;          // the longest from taking a packet to the zeros after it
    Ticks lag = 0;                     // the fill lag at the end
};

// Takes packets as lumbrook's pump does until `until`: wakes at the engine's event or when the
// clock says silence is due (a little late, as a thread is), takes every packet handed out by
// then, each after the zeros the clock puts before it, then writes the silence due. From
// `stallAt`, for `stallFor`, it takes nothing (a reader that stalls holds the pump up); the
// engine loses what waited longer than its buffer holds and flags the next packet.
Written Pump(const Device& device, Ticks until, Ticks stallAt = 0, Ticks stallFor = 0,
             Ticks paceFrom = kStart) {
    Written out;
    StreamClock clock(kStart);
    uint64_t written = 0, zerosSince = 0;
    size_t next = 0, lost = 0;
    uint32_t rng = 11;
    const std::vector<Packet>& packets = device.packets;
    Ticks soundTaken = 0; // when the last packet was taken, until zeros follow it
    for (Ticks t = kStart; t < until;) {
        if (t >= paceFrom) {
            const Ticks behind = t - kStart - Ticks(written) * kTicksPerFrame;
            out.worstBehind = std::max(out.worstBehind, behind);
            if (zerosSince > 0) {
                out.worstBehindInSilence = std::max(out.worstBehindInSilence, behind);
            }
        }
        while (next < packets.size() && packets[next].handedOut < t - kOverflow) {
            ++next;
            ++lost;
        }
        while (next < packets.size() && packets[next].handedOut <= t) {
            const Packet& packet = packets[next++];
            const DWORD flags =
                packet.flags | (lost > 0 ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
            const uint64_t zeros = clock.ZerosBefore(kFrames, flags, packet.stamp, t);
            // No stamp makes zeros run ahead of real time.
            CHECK(zeros == 0 || Ticks(written + zeros) * kTicksPerFrame <= t - kStart, zeros);
            out.zerosBefore.push_back(zerosSince + zeros);
            out.lostBefore.push_back(lost);
            clock.Wrote(zeros + kFrames, false);
            written += zeros + kFrames;
            zerosSince = 0;
            lost = 0;
            soundTaken = t;
        }
        const uint64_t silence = clock.SilenceDue(t);
        if (silence > 0 && soundTaken > 0 && t >= paceFrom) {
            out.slowestSilence = std::max(out.slowestSilence, t - soundTaken);
            soundTaken = 0;
        }
        if (silence > 0) {
            clock.Wrote(silence, true);
            written += silence;
            zerosSince += silence;
            // Silence is written up to the lag behind real time, never beyond it.
            const Ticks end = kStart + Ticks(written) * kTicksPerFrame;
            CHECK(end <= t - clock.Lag() && end > t - clock.Lag() - kTicksPerFrame, t - end);
        }
        Ticks wake = t + Ticks{clock.WaitMilliseconds(t)} * kMs;
        if (next < packets.size()) {
            wake = std::min(wake, std::max(t + 1, packets[next].handedOut));
        }
        wake += Scramble(rng) % (2 * kMs); // the thread runs a little after its wake-up
        if (stallFor > 0 && wake >= stallAt && t < stallAt + stallFor) {
            wake = std::max(wake, stallAt + stallFor);
        }
        t = wake;
    }
    out.lag = clock.Lag();
    return out;
}

// Time for the pump to take the last packet.
Ticks AfterTheLast(const Device& device) {
    return device.packets.back().handedOut + 10 * kMs;
}

uint64_t FramesIn(Ticks length) {
    return static_cast<uint64_t>(length / kTicksPerFrame);
}

long long Distance(uint64_t a, uint64_t b) {
    return a > b ? static_cast<long long>(a - b) : static_cast<long long>(b - a);
}

// An hour of back-to-back packets gets nothing inserted after the first, whatever the device's
// clock, its stamps' jitter, its lateness and bursts.
void FlowingAudioGetsNothingInserted() {
    struct Setting {
        const char* name;
        long long ppm;
        Ticks jitter, late;
        size_t burst;
    };
    const Setting settings[] = {
        {"device 300 ppm slow", -300, 0, 0, 1},     {"device 300 ppm fast", 300, 0, 0, 1},
        {"stamps jittered 0.5 ms", 0, 15000, 0, 1}, {"300 ms late, in threes", 0, 0, 300 * kMs, 3},
        {"all at once", 300, 15000, 30 * kMs, 3},
    };
    for (const Setting& setting : settings) {
        currentCase = setting.name;
        Device device;
        device.ppm = setting.ppm;
        device.jitter = setting.jitter;
        device.late = setting.late;
        device.burst = setting.burst;
        device.Play(360000);
        const Written out = Pump(device, AfterTheLast(device));
        CHECK(out.zerosBefore.size() == device.packets.size(), out.zerosBefore.size());
        uint64_t inserted = 0;
        for (size_t i = 1; i < out.zerosBefore.size(); ++i) {
            inserted += out.zerosBefore[i];
        }
        CHECK(inserted == 0, inserted);
    }
}

// Stretches without packets come out the engine's length, on its clock, to within a
// millisecond (and the stamps' jitter).
void GapsAreFilledToTheEnginesLength() {
    struct Setting {
        const char* name;
        long long ppm;
        Ticks jitter;
        long long tolerance; // frames
    };
    const Setting settings[] = {{"exact stamps", 0, 0, 48},
                                {"stamps jittered 0.5 ms", 0, 15000, 72},
                                {"device 300 ppm slow", -300, 0, 48},
                                {"device 300 ppm fast", 300, 0, 48}};
    for (const Setting& setting : settings) {
        currentCase = setting.name;
        Device device;
        device.ppm = setting.ppm;
        device.jitter = setting.jitter;
        std::vector<Ticks> gaps;
        uint32_t rng = 3;
        for (int i = 0; i < 300; ++i) {
            device.Play(20);
            gaps.push_back((100 + Scramble(rng) % 2900) * kMs);
            device.Gap(gaps.back());
        }
        device.Play(20);
        const Written out = Pump(device, AfterTheLast(device));
        for (size_t i = 0; i < gaps.size(); ++i) {
            const uint64_t expected = FramesIn(gaps[i] + gaps[i] * setting.ppm / 1000000);
            const uint64_t zeros = out.zerosBefore[(i + 1) * 20];
            CHECK(Distance(zeros, expected) <= setting.tolerance, Distance(zeros, expected));
            CHECK(out.zerosBefore[(i + 1) * 20 + 1] == 0, out.zerosBefore[(i + 1) * 20 + 1]);
        }
    }
}

// A pump held up longer than the engine's buffer lasts loses packets to the engine, which flags
// the next one: the zeros before it span what was lost.
void LostPacketsAreFilled() {
    const Ticks stalls[] = {300 * kMs, 1000 * kMs, 3000 * kMs};
    for (Ticks stall : stalls) {
        currentCase = "a stalled pump";
        Device device;
        device.jitter = 15000;
        device.Play(2000);
        const Written out = Pump(device, AfterTheLast(device), kStart + 5000 * kMs, stall);
        size_t flagged = 0;
        for (size_t i = 1; i < out.zerosBefore.size(); ++i) {
            const long long expected = static_cast<long long>(out.lostBefore[i] * kFrames);
            CHECK(Distance(out.zerosBefore[i], static_cast<uint64_t>(expected)) <= 72,
                  Distance(out.zerosBefore[i], static_cast<uint64_t>(expected)));
            flagged += out.lostBefore[i] > 0;
        }
        CHECK(flagged == 1, flagged);
        CHECK(out.zerosBefore.size() < device.packets.size(), out.zerosBefore.size());
    }
}

// A wrong stamp places nothing: within flowing audio nothing is inserted, after a stretch the
// packet follows the zeros the stretch had, never more than real time allowed.
void WrongStampsPlaceNothing() {
    const Stamp kinds[] = {Stamp::Zero, Stamp::Error, Stamp::Back, Stamp::Future};
    const char* names[] = {"stamp zero", "stamp error", "stamp back", "stamp future"};
    for (size_t k = 0; k < 4; ++k) {
        for (Ticks gap : {Ticks{0}, 1000 * kMs}) {
            currentCase = names[k];
            Device device;
            device.Play(50);
            device.Gap(gap);
            device.Play(50, kinds[k]);
            device.Play(100);
            const Written out = Pump(device, AfterTheLast(device));
            CHECK(out.zerosBefore[50] <= FramesIn(gap), out.zerosBefore[50]);
            uint64_t after = 0;
            for (size_t i = 51; i < out.zerosBefore.size(); ++i) {
                after += out.zerosBefore[i];
            }
            CHECK(after == 0, after);
            if (gap == 0) {
                CHECK(out.zerosBefore[50] == 0, out.zerosBefore[50]);
            }
        }
    }
}

// A packet handed out later than the lag allows for, after a stretch, is written whole after
// the zeros already written: the stream runs late, with no more zeros than real time passed.
void ALatePacketAfterAStretchIsWrittenWhole() {
    currentCase = "late after a stretch";
    Device device;
    device.Play(50);
    device.Gap(2000 * kMs);
    device.late = 300 * kMs;
    device.Play(100);
    const Written out = Pump(device, AfterTheLast(device));
    CHECK(out.zerosBefore[50] >= FramesIn(2000 * kMs), out.zerosBefore[50]);
    CHECK(out.zerosBefore[50] <= FramesIn(2300 * kMs), out.zerosBefore[50]);
}

// An hour of nothing playing: zeros keep pace, trailing real time by the lag and a step.
void SilenceKeepsPace() {
    currentCase = "an hour of silence";
    Device device;
    const Written out = Pump(device, kStart + kHour);
    CHECK(out.worstBehind <= kMinFillLag + kFillStep + 4 * kMs, out.worstBehind / kMs);
}

// Where the sound stops, silence follows once no packet has come for the flow bound, and then
// trails real time as closely as the engine's delivery allows: an engine that hands packets out
// on time gets the least lag, one that hands them out in threes the lag its bursts need, and
// none gets anything inserted into its flow. Measured after the first sound, from which the lag
// is learned.
void SilenceFollowsTheSoundClosely() {
    struct Setting {
        const char* name;
        Ticks jitter, late;
        size_t burst;
        Device::Stamps stamps;
        Ticks lag; // the most the lag may come to
    };
    // A packet is handed out its length (10 ms) after its first frame, so silence written
    // before then must trail by that much; in threes, 30 ms. Packets 300 ms late cannot be
    // waited for, nor can packets without stamps be placed: the lag stays the most. Stamped as
    // they are handed out, their stamps are no capture times, but say where a resumed sound
    // begins.
    const Setting settings[] = {
        {"on time", 0, 0, 1, Device::Stamps::OfFirstFrame, 11 * kMs},
        {"stamps jittered 0.5 ms", 15000, 0, 1, Device::Stamps::OfFirstFrame, 12 * kMs},
        {"300 ms late", 0, 300 * kMs, 1, Device::Stamps::OfFirstFrame, kMaxFillLag},
        {"in threes", 0, 0, 3, Device::Stamps::OfFirstFrame, 31 * kMs},
        {"in threes, stamped when handed out", 0, 0, 3, Device::Stamps::AtHandOut, kMinFillLag},
        {"in threes, without stamps", 0, 0, 3, Device::Stamps::None, kMaxFillLag},
    };
    for (const Setting& setting : settings) {
        currentCase = setting.name;
        Device device;
        device.jitter = setting.jitter;
        device.late = setting.late;
        device.burst = setting.burst;
        device.stamps = setting.stamps;
        uint32_t rng = 5;
        std::vector<bool> startsASound(1, true);
        device.Play(300);
        startsASound.resize(300);
        for (int i = 0; i < 100; ++i) {
            device.Gap((100 + Scramble(rng) % 2900) * kMs);
            const size_t count = 30 + 3 * (Scramble(rng) % 100);
            device.Play(count);
            startsASound.push_back(true);
            startsASound.resize(startsASound.size() + count - 1);
        }
        const Written out = Pump(device, AfterTheLast(device), 0, 0, kStart + 3000 * kMs);
        CHECK(out.lag >= kMinFillLag && out.lag <= setting.lag, out.lag / 30); // us
        // The first zeros come the flow bound after the last packet came (and the wake-up);
        // from then on they trail real time by no more than the lag and a step.
        CHECK(out.slowestSilence <= kFlowBound + kFillStep + 3 * kMs,
              out.slowestSilence / 30); // us
        CHECK(out.worstBehindInSilence <= setting.lag + kFillStep + 5 * kMs,
              out.worstBehindInSilence / 30); // us
        // Behind real time by no more than that and the lateness: a late engine's stream runs
        // as late as its packets come. Packets that carry no capture times are placed only
        // after a pause longer than the flow bound: their stream falls behind by the shorter
        // ones until then, so only what silence does counts there.
        if (setting.stamps == Device::Stamps::OfFirstFrame) {
            CHECK(out.worstBehind <= kFlowBound + kFillStep + setting.late + 5 * kMs,
                  out.worstBehind / 30); // us
        }
        // Zeros only before the first packet of a sound.
        uint64_t inserted = 0;
        for (size_t i = 0; i < out.zerosBefore.size(); ++i) {
            inserted += startsASound[i] ? 0 : out.zerosBefore[i];
        }
        CHECK(inserted == 0, inserted);
    }
}

// A loaded machine holds the engine up now and then, and it then hands out what it holds at
// once: modelled on Wine's engine over PulseAudio with two busy loops beside it (the bench's
// real-engine row: 1.2 % of its packets came more than 40 ms after the one before, and the
// longer hold-ups spread evenly up to about 250 ms, past the 200 ms its server holds). Held up
// for less than the flow bound, an hour of audio gets nothing inserted, in threes or one at a
// time, stamped at its first frame or when handed out. Held up for longer, the zeros written
// meanwhile stay, as many as the hold-up lasted less the lag: never more than real time.
void ALoadedMachinesDeliveryGetsNothingInserted() {
    struct Setting {
        const char* name;
        size_t burst;
        Device::Stamps stamps;
        Ticks holdMax;
    };
    const Setting settings[] = {
        {"held up, in threes, stamped when handed out", 3, Device::Stamps::AtHandOut,
         kFlowBound - 10 * kMs},
        {"held up, stamped at the first frame", 1, Device::Stamps::OfFirstFrame,
         kFlowBound - 10 * kMs},
        {"held up past the bound", 1, Device::Stamps::OfFirstFrame, 300 * kMs},
    };
    for (const Setting& setting : settings) {
        currentCase = setting.name;
        Device device;
        device.burst = setting.burst;
        device.stamps = setting.stamps;
        device.holdPermille = 12;
        device.holdMin = setting.holdMax > kFlowBound ? 250 * kMs : 10 * kMs;
        device.holdMax = setting.holdMax;
        device.Play(360000);
        const Written out = Pump(device, AfterTheLast(device));
        uint64_t inserted = 0, runs = 0;
        for (size_t i = 1; i < out.zerosBefore.size(); ++i) {
            inserted += out.zerosBefore[i];
            runs += out.zerosBefore[i] > 0;
            CHECK(out.zerosBefore[i] <= FramesIn(setting.holdMax), out.zerosBefore[i]);
        }
        if (setting.holdMax < kFlowBound) {
            CHECK(inserted == 0, inserted);
        } else {
            CHECK(runs > 0, runs);
        }
    }
}

} // namespace

int main() {
    FlowingAudioGetsNothingInserted();
    GapsAreFilledToTheEnginesLength();
    LostPacketsAreFilled();
    WrongStampsPlaceNothing();
    ALatePacketAfterAStretchIsWrittenWhole();
    SilenceKeepsPace();
    SilenceFollowsTheSoundClosely();
    ALoadedMachinesDeliveryGetsNothingInserted();
    printf("%d failed checks\n", failures);
    return failures;
}
