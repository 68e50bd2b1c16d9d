// A simulated audio engine: a test-only mmdevapi.dll that answers ActivateAudioInterfaceAsync
// for the process-loopback device as the platform documents it, driven by a script.
//
// SIM_AUDIO holds the script: directives separated by ';' or new lines (see Script below).
// SIM_AUDIO_LOG names a file that receives one line per thing the engine saw, written at once,
// and at process exit the objects still alive.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include "../sim_shared.h"
#include "packet_source.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#ifndef E_ILLEGAL_METHOD_CALL
#define E_ILLEGAL_METHOD_CALL static_cast<HRESULT>(0x8000000E)
#endif

namespace {

// --- log ---------------------------------------------------------------------------------------

CRITICAL_SECTION logLock;
bool processEnding = false; // other threads are gone, perhaps inside Log: take no lock
HANDLE logFile = INVALID_HANDLE_VALUE;
LARGE_INTEGER startCounter, counterFrequency;
bool started = false;

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (length > static_cast<int>(sizeof line) - 2) {
        length = sizeof line - 2;
    }
    line[length++] = '\n';
    if (!processEnding) {
        EnterCriticalSection(&logLock);
    }
    DWORD written = 0;
    if (logFile != INVALID_HANDLE_VALUE) {
        WriteFile(logFile, line, static_cast<DWORD>(length), &written, nullptr);
    }
    if (!processEnding) {
        LeaveCriticalSection(&logLock);
    }
}

// Milliseconds since the stream started.
long long SinceStart() {
    if (!started) {
        return -1;
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - startCounter.QuadPart) * 1000 / counterFrequency.QuadPart;
}

std::string GuidText(REFGUID g) {
    char text[40];
    snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
             g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string Hex(const void* data, size_t size) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, "%02x", static_cast<const BYTE*>(data)[i]);
        text += pair;
    }
    return text;
}

// --- script ------------------------------------------------------------------------------------

enum class Completion { Thread, Inline, Never };
// A packet's time stamp as the engine gives it: right, or one of the ways a stamp goes wrong.
enum class Stamp { Right, Zero, Error, Back, Future };
enum class Activated { AudioClient, Other, None };

struct Packet {
    UINT32 frames = 0;
    PacketKind kind = PacketKind::Data;
    uint32_t seed = 0;
    long long dueMs = 0;
    long long gapHns = 0; // the device's time without packets before this one, in all
    Stamp stamp = Stamp::Right;
    bool discontinuity = false;
    HRESULT failSize = S_OK;   // the first size query that would report it fails
    HRESULT failBuffer = S_OK; // the first GetBuffer for it fails
};

// From a point in the script on, one of the capture service's calls fails: for good (the engine
// lost the stream and stops signalling its event), or for a while.
enum class Call { Size, Buffer, Release };
struct Loss {
    Call call = Call::Size;
    HRESULT hr = S_OK;
    size_t position = 0;    // once this many packets have been handed out...
    long long atMs = 0;     // ...and this much time has passed since the start
    long long forMs = 0;    // 0: for good
    long long beganMs = -1; // the first call that failed, once one has
};

// From a point in the script on, the engine is dead as Wine's is once its sound server has gone:
// it still signals the stream event, its size query answers "no packet" for ever, and GetBuffer
// fails with the code; so does GetCurrentPadding where the client implements it (Wine's).
struct Death {
    HRESULT hr = S_OK; // S_OK: the engine never dies
    size_t position = 0;
    long long atMs = 0;
    bool logged = false;
};

// The audio client the activation hands out. Windows' process-loopback client implements little
// beyond the stream itself, as its users report: GetMixFormat, IsFormatSupported,
// GetDevicePeriod and GetCurrentPadding answer E_NOTIMPL and GetBufferSize a huge count
// (HEnquist/wasapi-rs, src/api.rs); GetBuffer's device position stays 0 while its
// performance-counter position is right (Chromium, audio_low_latency_input_win.cc). What its
// capture calls answer once the stream has gone nobody has reported; this engine's death shows
// through them as Wine's does. Wine's client (`client wine`, Wine's mmdevapi with winepulse)
// implements them all, and its GetCurrentPadding reports a lost stream too.
enum class Client { Windows, Wine };

struct Script {
    Client client = Client::Windows;
    HRESULT request = S_OK;
    Completion completion = Completion::Thread;
    HRESULT resultCall = S_OK;
    HRESULT result = S_OK;
    Activated activated = Activated::AudioClient;
    HRESULT initialize = S_OK, service = S_OK, start = S_OK, setEvent = S_OK;
    HRESULT failRelease = S_OK; // the first ReleaseBuffer fails, the buffer stays held
    bool signal = true;
    long long periodMs = 10;
    std::vector<Packet> packets;
    UINT32 tailFrames = 0; // endless data packets after the scripted ones
    bool mix = false;      // or endless packets of a seeded random mix
    uint64_t mixSeed = 0;
    std::vector<Loss> losses;
    Death death;
    HRESULT padding = S_OK; // what Wine's GetCurrentPadding answers while the engine lives
    // The device clock against the performance counter, in parts per million, and the stamps'
    // jitter, in microseconds either way.
    long long ppm = 0, jitterUs = 0;
    bool overflow = false; // packets left longer than the buffer holds are lost
    DWORD slowSizeMs = 0;  // a size query that answers "no packet" returns this much later
    size_t burst = 1;      // packets fall due in groups of this many, with the group's last
    long long gapHns = 0;  // all the scripted stretches without packets
    long long lateMs = 0;  // how late the packets after the scripted ones fall due
    // A loaded machine's hold-ups: at a packet chosen with this chance in a thousand, nothing
    // falls due for 10 ms to holdMaxMs after the packet before, and then all that was held.
    uint32_t holdPermille = 0;
    long long holdMaxMs = 0;
    double toneHz = 0; // data packets carry a sine of this pitch instead of random bytes
};

Script script;

HRESULT ParseHresult(const char* text) {
    return static_cast<HRESULT>(strtoul(text, nullptr, 0));
}

PacketKind ParseKind(const std::string& word) {
    if (word == "silent") {
        return PacketKind::Silent;
    }
    if (word == "silent_null") {
        return PacketKind::SilentNull;
    }
    if (word == "null") {
        return PacketKind::Null;
    }
    if (word == "empty") {
        return PacketKind::Empty;
    }
    return PacketKind::Data;
}

void ParseScript(const char* text) {
    long long due = 0, gap = 0, late = 0;
    Stamp stamp = Stamp::Right;
    bool discontinuity = false;
    HRESULT failSize = S_OK, failBuffer = S_OK;
    std::string all(text);
    for (char& c : all) {
        if (c == ';' || c == '\n' || c == '\r') {
            c = '\n';
        }
    }
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) {
            end = all.size();
        }
        char word[32] = {}, a[64] = {}, b[64] = {}, c[64] = {};
        const int n =
            sscanf(all.substr(at, end - at).c_str(), "%31s %63s %63s %63s", word, a, b, c);
        at = end + 1;
        if (n < 1) {
            continue;
        }
        const std::string w = word;
        if (w == "request") {
            script.request = ParseHresult(a);
        } else if (w == "complete") {
            script.completion = !strcmp(a, "inline")  ? Completion::Inline
                                : !strcmp(a, "never") ? Completion::Never
                                                      : Completion::Thread;
        } else if (w == "result_call") {
            script.resultCall = ParseHresult(a);
        } else if (w == "result") {
            script.result = ParseHresult(a);
        } else if (w == "object") {
            script.activated = !strcmp(a, "other")  ? Activated::Other
                               : !strcmp(a, "none") ? Activated::None
                                                    : Activated::AudioClient;
        } else if (w == "initialize") {
            script.initialize = ParseHresult(a);
        } else if (w == "service") {
            script.service = ParseHresult(a);
        } else if (w == "start") {
            script.start = ParseHresult(a);
        } else if (w == "set_event") {
            script.setEvent = ParseHresult(a);
        } else if (w == "lose") {
            Loss loss;
            loss.call = !strcmp(a, "buffer")    ? Call::Buffer
                        : !strcmp(a, "release") ? Call::Release
                                                : Call::Size;
            loss.hr = ParseHresult(b);
            loss.position = script.packets.size();
            loss.atMs = due + gap;
            loss.forMs = n >= 4 ? atoll(c) : 0;
            script.losses.push_back(loss);
        } else if (w == "die") {
            script.death.hr = ParseHresult(a);
            script.death.position = script.packets.size();
            script.death.atMs = due + gap;
        } else if (w == "ppm") {
            script.ppm = atoll(a);
        } else if (w == "jitter") {
            script.jitterUs = atoll(a);
        } else if (w == "late") {
            late += atoll(a);
            script.lateMs = late;
        } else if (w == "stamp") {
            stamp = !strcmp(a, "zero")    ? Stamp::Zero
                    : !strcmp(a, "error") ? Stamp::Error
                    : !strcmp(a, "back")  ? Stamp::Back
                                          : Stamp::Future;
        } else if (w == "discontinuity") {
            discontinuity = true;
        } else if (w == "overflow") {
            script.overflow = true;
        } else if (w == "tone") {
            script.toneHz = atof(a);
        } else if (w == "holdups") {
            script.holdPermille = static_cast<uint32_t>(strtoul(a, nullptr, 10));
            script.holdMaxMs = n >= 3 && atoll(b) > 10 ? atoll(b) : 10;
        } else if (w == "burst") {
            script.burst = strtoul(a, nullptr, 10) > 1 ? strtoul(a, nullptr, 10) : 1;
        } else if (w == "slow_size") {
            script.slowSizeMs = static_cast<DWORD>(strtoul(a, nullptr, 10));
        } else if (w == "client") {
            script.client = !strcmp(a, "wine") ? Client::Wine : Client::Windows;
        } else if (w == "padding") {
            script.padding = ParseHresult(a);
        } else if (w == "first_run") {
            // The rest of the script, up to "every_run", applies only to the first program run
            // that finds the marker file missing; that run makes it.
            if (GetFileAttributesA(a) != INVALID_FILE_ATTRIBUTES) {
                const size_t resume = all.find("every_run", at);
                at = resume == std::string::npos ? all.size() : resume;
            } else {
                CloseHandle(CreateFileA(a, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
            }
        } else if (w == "every_run") {
        } else if (w == "fail_release") {
            script.failRelease = ParseHresult(a);
        } else if (w == "signal") {
            script.signal = strcmp(a, "off") != 0;
        } else if (w == "period") {
            script.periodMs = atoll(a);
        } else if (w == "gap") {
            gap += atoll(a);
        } else if (w == "fail_size") {
            failSize = ParseHresult(a);
        } else if (w == "fail_buffer") {
            failBuffer = ParseHresult(a);
        } else if (w == "mix") {
            script.mix = true;
            script.mixSeed = strtoull(a, nullptr, 0);
        } else if (w == "tail") {
            script.tailFrames = static_cast<UINT32>(strtoul(a, nullptr, 10));
        } else if (w == "packet") {
            Packet p;
            p.frames = static_cast<UINT32>(strtoul(a, nullptr, 10));
            p.kind = ParseKind(b);
            p.seed = n >= 4 ? static_cast<uint32_t>(strtoul(c, nullptr, 0))
                            : static_cast<uint32_t>(script.packets.size() + 1);
            due += gap;
            script.gapHns += gap * 10000;
            p.dueMs = due + late;
            p.gapHns = script.gapHns;
            p.stamp = stamp;
            p.discontinuity = discontinuity;
            p.failSize = failSize;
            p.failBuffer = failBuffer;
            script.packets.push_back(p);
            due += script.periodMs;
            gap = 0;
            failSize = failBuffer = S_OK;
            stamp = Stamp::Right;
            discontinuity = false;
        } else {
            Log("script: unknown directive %s", word);
        }
    }
}

// A time on the device's clock, as the performance counter sees it.
long long OnDeviceClock(long long value) {
    return value + value * script.ppm / 1000000;
}

bool ScriptedPacketAt(size_t index, Packet& packet);

// When a packet falls due in its group of `burst`: with the group's last.
bool GroupedPacketAt(size_t index, Packet& packet) {
    if (!ScriptedPacketAt(index, packet)) {
        return false;
    }
    Packet last;
    if (script.burst > 1 && ScriptedPacketAt((index / script.burst + 1) * script.burst - 1, last)) {
        packet.dueMs = last.dueMs;
    }
    return true;
}

// When a packet falls due once the hold-ups that began at or before it have ended.
long long HeldUntil(size_t index, long long dueMs) {
    if (script.holdPermille == 0 || script.periodMs <= 0) {
        return dueMs;
    }
    const size_t span = static_cast<size_t>(script.holdMaxMs / script.periodMs + 2);
    for (size_t j = index > span ? index - span : 1; j <= index; ++j) {
        const uint64_t roll = Scramble(0x686f6c64ull ^ j);
        Packet before;
        if (roll % 1000 >= script.holdPermille || !GroupedPacketAt(j - 1, before)) {
            continue;
        }
        const long long until =
            before.dueMs + 10 + static_cast<long long>((roll >> 20) % (script.holdMaxMs - 9));
        dueMs = until > dueMs ? until : dueMs;
    }
    return dueMs;
}

// The scripted packets, then the endless tail, falling due on the device's clock.
bool PacketAt(size_t index, Packet& packet) {
    if (!GroupedPacketAt(index, packet)) {
        return false;
    }
    packet.dueMs = OnDeviceClock(HeldUntil(index, packet.dueMs));
    return true;
}

bool ScriptedPacketAt(size_t index, Packet& packet) {
    if (index < script.packets.size()) {
        packet = script.packets[index];
        return true;
    }
    if (script.tailFrames == 0 && !script.mix) {
        return false;
    }
    const size_t extra = index - script.packets.size();
    const long long first =
        script.packets.empty() ? script.lateMs : script.packets.back().dueMs + script.periodMs;
    packet = Packet();
    packet.frames = script.tailFrames;
    if (script.mix) {
        const MixPacket mixed = MixPacketAt(script.mixSeed, extra);
        packet.frames = mixed.frames;
        packet.kind = mixed.kind;
        packet.failSize = mixed.failSize ? AUDCLNT_E_BUFFER_OPERATION_PENDING : S_OK;
        packet.failBuffer = mixed.failBuffer ? AUDCLNT_E_BUFFER_ERROR : S_OK;
    }
    packet.seed = static_cast<uint32_t>(index + 1);
    packet.dueMs = first + static_cast<long long>(extra) * script.periodMs;
    packet.gapHns = script.gapHns;
    return true;
}

// --- objects -----------------------------------------------------------------------------------

std::atomic<int> aliveAudioClients{0}, aliveCaptureClients{0}, aliveOperations{0}, aliveOthers{0};

// The engine's own references to its objects, which are not logged.
class Counted {
  public:
    virtual ~Counted() = default;
    virtual ULONG AddRefInternal() = 0;
    virtual ULONG ReleaseInternal() = 0;
};

// A reference-counted COM object whose Release calls through its interface are logged under
// its name.
template <typename Interface> class SimObject : public Interface, public Counted {
  public:
    SimObject(const char* name, std::atomic<int>& alive) : name_(name), alive_(alive) { ++alive_; }
    ~SimObject() override { --alive_; }

    STDMETHODIMP_(ULONG) AddRef() override { return AddRefInternal(); }
    STDMETHODIMP_(ULONG) Release() override {
        const char* name = name_;
        const ULONG remaining = ReleaseInternal();
        Log("release %s %lu", name, remaining);
        return remaining;
    }
    ULONG AddRefInternal() override { return ++refs_; }
    ULONG ReleaseInternal() override {
        const ULONG remaining = --refs_;
        if (remaining == 0) {
            delete this;
        }
        return remaining;
    }

  protected:
    // Answers IUnknown and the object's own interface; everything else is refused.
    HRESULT Answer(REFIID riid, REFIID own, void** object) {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == __uuidof(IUnknown) || riid == own) {
            *object = static_cast<Interface*>(this);
            AddRefInternal();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

  private:
    const char* name_;
    std::atomic<int>& alive_;
    std::atomic<ULONG> refs_{1};
};

class OtherObject final : public SimObject<IUnknown> {
  public:
    OtherObject() : SimObject("IUnknown", aliveOthers) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        return Answer(riid, __uuidof(IUnknown), object);
    }
};

// The engine's stream state, shared by the audio client and its capture service.
struct Stream {
    CRITICAL_SECTION lock;
    bool initialized = false;
    DWORD streamFlags = 0;
    HANDLE event = nullptr;
    bool running = false;
    size_t next = 0; // the next packet to hand out
    bool held = false;
    bool heldEmptyPacket = false;
    bool releaseFailed = false, refusedHeld = false;
    UINT32 heldFrames = 0;
    std::vector<BYTE> buffer;
    bool failedSize = false, failedBuffer = false; // for the packet at `next`
    unsigned long sizeQueries = 0, buffersTaken = 0, buffersReleased = 0, violations = 0;
    unsigned long timedQueries = 0;
    unsigned long failedSizes = 0, failedBuffers = 0;
    unsigned long paddingQueries = 0;
    unsigned long idleBufferCalls = 0; // GetBuffer with no packet due, or after the death
    long long deviceFrames = 0;        // the frames of every packet handed out or lost so far
    bool lostData = false;             // packets were lost since the last one handed out
    unsigned long lostPackets = 0;
    long long lostFrames = 0;
};

Stream stream;

// A sine at half scale on both channels, in phase with the device's frames so far: a listener
// (a call's receiver) hears one continuous tone across packets.
void WriteTone(BYTE* out, UINT32 frames, long long firstFrame) {
    const double step = 2 * 3.14159265358979323846 * script.toneHz / 48000;
    for (UINT32 i = 0; i < frames; ++i) {
        const float sample =
            static_cast<float>(0.5 * std::sin(step * static_cast<double>(firstFrame + i)));
        memcpy(out + i * 8, &sample, 4);
        memcpy(out + i * 8 + 4, &sample, 4);
    }
}

bool PacketDue(Packet& packet) {
    return PacketAt(stream.next, packet) && SinceStart() >= packet.dueMs;
}

const char* CallName(Call call) {
    return call == Call::Size ? "size" : call == Call::Buffer ? "buffer" : "release";
}

std::atomic<bool> lostForGood{false}; // the engine stops signalling the stream event

// The failure a scripted loss gives this call now, or S_OK.
HRESULT LossFor(Call call) {
    const long long now = SinceStart();
    for (Loss& loss : script.losses) {
        if (loss.call != call || stream.next < loss.position || now < loss.atMs ||
            (loss.forMs > 0 && loss.beganMs >= 0 && now >= loss.beganMs + loss.forMs)) {
            continue;
        }
        if (loss.beganMs < 0) {
            loss.beganMs = now;
            Log("lost %s 0x%08lx t=%lld scripted=%lld", CallName(call),
                static_cast<unsigned long>(loss.hr), now, loss.atMs);
            if (loss.forMs == 0) {
                lostForGood = true;
            }
        }
        return loss.hr;
    }
    return S_OK;
}

// With `overflow`, the engine's buffer holds 200 ms: packets that fell due longer ago than that
// while the program did not take them are lost, and the next one handed out says so.
void LoseOverflowedPackets() {
    Packet packet;
    while (script.overflow && !stream.held && PacketAt(stream.next, packet) &&
           SinceStart() - packet.dueMs > 200) {
        stream.deviceFrames += packet.frames;
        ++stream.next;
        stream.failedSize = stream.failedBuffer = false;
        stream.lostData = true;
        ++stream.lostPackets;
        stream.lostFrames += packet.frames;
    }
}

// The performance-counter position, in 100-ns units, that the engine gives the first frame of
// the packet at `next`: the device's own timeline (its frames and its stretches without
// packets) on its clock, a packet's length before it falls due, jittered; or a wrong one.
UINT64 StampOf(const Packet& packet) {
    const long long counterHns =
        startCounter.QuadPart / counterFrequency.QuadPart * 10000000 +
        startCounter.QuadPart % counterFrequency.QuadPart * 10000000 / counterFrequency.QuadPart;
    long long at = OnDeviceClock(packet.gapHns + stream.deviceFrames * 10000000 / 48000) - 100000;
    if (script.jitterUs > 0) {
        const long long span = 2 * script.jitterUs + 1;
        at += (static_cast<long long>(Scramble(stream.next) % span) - script.jitterUs) * 10;
    }
    switch (packet.stamp) {
    case Stamp::Zero:
    case Stamp::Error:
        return 0;
    case Stamp::Back:
        return static_cast<UINT64>(counterHns + at - 10000000);
    case Stamp::Future:
        return static_cast<UINT64>(counterHns + at + 36000000000LL);
    default:
        return static_cast<UINT64>(counterHns + at);
    }
}

// The scripted death's code once it has come, or S_OK.
HRESULT DeathNow() {
    Death& death = script.death;
    if (SUCCEEDED(death.hr) || stream.next < death.position || SinceStart() < death.atMs) {
        return S_OK;
    }
    if (!death.logged) {
        death.logged = true;
        Log("died 0x%08lx t=%lld scripted=%lld", static_cast<unsigned long>(death.hr), SinceStart(),
            death.atMs);
    }
    return death.hr;
}

class CaptureClient final : public SimObject<IAudioCaptureClient> {
  public:
    CaptureClient() : SimObject("IAudioCaptureClient", aliveCaptureClients) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        return Answer(riid, __uuidof(IAudioCaptureClient), object);
    }

    STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                           UINT64* qpcPosition) override {
        if (data == nullptr || frames == nullptr || flags == nullptr) {
            return E_POINTER;
        }
        EnterCriticalSection(&stream.lock);
        Packet due;
        if (!PacketDue(due) || FAILED(DeathNow())) {
            ++stream.idleBufferCalls;
        }
        HRESULT hr = TakePacket(data, frames, flags, devicePosition, qpcPosition);
        LeaveCriticalSection(&stream.lock);
        return hr;
    }

    STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
        EnterCriticalSection(&stream.lock);
        HRESULT hr = LossFor(Call::Release);
        if (FAILED(hr)) {
            stream.releaseFailed = stream.held;
        } else if (stream.held && FAILED(script.failRelease)) {
            hr = script.failRelease;
            script.failRelease = S_OK;
            stream.releaseFailed = true;
            Log("ReleaseBuffer fails 0x%08lx t=%lld", static_cast<unsigned long>(hr), SinceStart());
        } else if (!stream.held) {
            hr = AUDCLNT_E_OUT_OF_ORDER;
            ++stream.violations;
            Log("violation: ReleaseBuffer without a buffer");
        } else if (frames != 0 && frames != stream.heldFrames) {
            hr = AUDCLNT_E_INVALID_SIZE;
            ++stream.violations;
            Log("violation: ReleaseBuffer %u of %u frames", frames, stream.heldFrames);
        } else {
            stream.held = false;
            ++stream.buffersReleased;
            if (frames == stream.heldFrames && (frames > 0 || stream.heldEmptyPacket)) {
                stream.deviceFrames += frames;
                ++stream.next;
                stream.failedSize = stream.failedBuffer = false;
            }
        }
        LeaveCriticalSection(&stream.lock);
        return hr;
    }

    STDMETHODIMP GetNextPacketSize(UINT32* frames) override {
        if (frames == nullptr) {
            return E_POINTER;
        }
        EnterCriticalSection(&stream.lock);
        Packet packet;
        *frames = 0;
        ++stream.sizeQueries;
        LoseOverflowedPackets();
        HRESULT hr = LossFor(Call::Size);
        if (SUCCEEDED(hr) && FAILED(DeathNow())) {
            // A dead engine's answer: nothing pending.
        } else if (SUCCEEDED(hr) && PacketDue(packet)) {
            if (packet.failSize != S_OK && !stream.failedSize) {
                stream.failedSize = true;
                ++stream.failedSizes;
                hr = packet.failSize;
            } else {
                *frames = packet.frames;
            }
        }
        if (stream.timedQueries < 40) {
            ++stream.timedQueries;
            Log("t=%lld size %u hr=0x%08lx", SinceStart(), *frames, static_cast<unsigned long>(hr));
        }
        LeaveCriticalSection(&stream.lock);
        if (SUCCEEDED(hr) && *frames == 0 && script.slowSizeMs > 0) {
            // The answer was given; the caller is held up before it sees it, as a thread that
            // is preempted is.
            Sleep(script.slowSizeMs);
        }
        return hr;
    }

  private:
    HRESULT TakePacket(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                       UINT64* qpcPosition) {
        const HRESULT lost = LossFor(Call::Buffer);
        if (FAILED(lost)) {
            return lost;
        }
        const HRESULT dead = DeathNow();
        if (FAILED(dead)) {
            return dead;
        }
        if (stream.held && stream.releaseFailed) {
            // The engine kept the buffer whose release it refused, and hands out no other.
            if (!stream.refusedHeld) {
                stream.refusedHeld = true;
                Log("GetBuffer refused t=%lld: the buffer is still held", SinceStart());
            }
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (stream.held) {
            ++stream.violations;
            Log("violation: GetBuffer while a buffer is held");
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        LoseOverflowedPackets();
        Packet packet;
        if (!PacketDue(packet) || packet.kind == PacketKind::Empty) {
            // An empty packet is used up by its release: the engine had nothing after all.
            stream.heldEmptyPacket = PacketDue(packet);
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            stream.held = true;
            stream.heldFrames = 0;
            ++stream.buffersTaken;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        if (packet.failBuffer != S_OK && !stream.failedBuffer) {
            stream.failedBuffer = true;
            ++stream.failedBuffers;
            if (stream.failedBuffers <= 40) {
                Log("t=%lld GetBuffer fails 0x%08lx", SinceStart(),
                    static_cast<unsigned long>(packet.failBuffer));
            }
            return packet.failBuffer;
        }
        const size_t bytes = static_cast<size_t>(packet.frames) * 8;
        stream.buffer.resize(bytes);
        *flags = 0;
        switch (packet.kind) {
        case PacketKind::Data:
            if (script.toneHz > 0) {
                WriteTone(stream.buffer.data(), packet.frames, stream.deviceFrames);
            } else {
                for (size_t i = 0; i < bytes; ++i) {
                    stream.buffer[i] = SampleByte(packet.seed, static_cast<uint32_t>(i));
                }
            }
            *data = stream.buffer.data();
            break;
        case PacketKind::Silent:
            // Not zeros: a pump that copies a silent packet's buffer gets caught.
            memset(stream.buffer.data(), 0xEE, bytes);
            *data = stream.buffer.data();
            *flags = AUDCLNT_BUFFERFLAGS_SILENT;
            break;
        case PacketKind::SilentNull:
            *data = nullptr;
            *flags = AUDCLNT_BUFFERFLAGS_SILENT;
            break;
        default:
            *data = nullptr;
            break;
        }
        *frames = packet.frames;
        if (packet.stamp == Stamp::Error) {
            *flags |= AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
        }
        if (packet.discontinuity || stream.lostData) {
            *flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
            if (stream.lostData) {
                Log("lost_data packets=%lu frames=%lld t=%lld", stream.lostPackets,
                    stream.lostFrames, SinceStart());
                stream.lostData = false;
            }
        }
        if (devicePosition != nullptr) {
            *devicePosition =
                script.client == Client::Wine ? static_cast<UINT64>(stream.deviceFrames) : 0;
        }
        if (qpcPosition != nullptr) {
            *qpcPosition = StampOf(packet);
        }
        stream.held = true;
        stream.heldEmptyPacket = false;
        stream.heldFrames = packet.frames;
        ++stream.buffersTaken;
        return S_OK;
    }
};

DWORD WINAPI EngineThread(void*) {
    // Signals the stream event as each packet falls due; the pump does the rest.
    for (size_t index = 0;; ++index) {
        Packet packet;
        if (!PacketAt(index, packet)) {
            return 0;
        }
        const long long wait = packet.dueMs - SinceStart();
        if (wait > 0) {
            Sleep(static_cast<DWORD>(wait));
        }
        if (lostForGood) {
            return 0;
        }
        SetEvent(stream.event);
        if (script.periodMs == 0 && index + 1 >= script.packets.size()) {
            // Unpaced: everything is due at once; keep waking a pump sent back to waiting.
            while (!lostForGood) {
                Sleep(1);
                SetEvent(stream.event);
            }
            return 0;
        }
    }
}

class AudioClient final : public SimObject<IAudioClient> {
  public:
    AudioClient() : SimObject("IAudioClient", aliveAudioClients) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        return Answer(riid, __uuidof(IAudioClient), object);
    }

    STDMETHODIMP Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                            REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                            const WAVEFORMATEX* format, LPCGUID session) override {
        const size_t formatSize = format == nullptr ? 0 : sizeof(WAVEFORMATEX) + format->cbSize;
        Log("Initialize share=%d flags=0x%08lx duration=%lld periodicity=%lld session=%s "
            "format=%s",
            shareMode, static_cast<unsigned long>(streamFlags), bufferDuration, periodicity,
            session == nullptr ? "null" : GuidText(*session).c_str(),
            format == nullptr ? "null" : Hex(format, formatSize).c_str());
        if (stream.initialized) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (format == nullptr) {
            return E_POINTER;
        }
        if (FAILED(script.initialize)) {
            return script.initialize;
        }
        stream.initialized = true;
        stream.streamFlags = streamFlags;
        return S_OK;
    }
    STDMETHODIMP GetBufferSize(UINT32* frames) override {
        *frames = script.client == Client::Wine ? 9600 : 3131961357u;
        return S_OK;
    }
    STDMETHODIMP GetStreamLatency(REFERENCE_TIME* latency) override {
        *latency = 100000;
        return S_OK;
    }
    STDMETHODIMP GetCurrentPadding(UINT32* frames) override {
        EnterCriticalSection(&stream.lock);
        ++stream.paddingQueries;
        const HRESULT dead = DeathNow();
        LeaveCriticalSection(&stream.lock);
        *frames = 0;
        if (script.client == Client::Windows) {
            return E_NOTIMPL;
        }
        return FAILED(dead) ? dead : script.padding;
    }
    STDMETHODIMP IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                   WAVEFORMATEX** closest) override {
        if (closest != nullptr) {
            *closest = nullptr;
        }
        return script.client == Client::Wine ? S_OK : E_NOTIMPL;
    }
    STDMETHODIMP GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimum) override {
        if (script.client == Client::Windows) {
            return E_NOTIMPL;
        }
        if (defaultPeriod != nullptr) {
            *defaultPeriod = 100000;
        }
        if (minimum != nullptr) {
            *minimum = 30000;
        }
        return S_OK;
    }
    STDMETHODIMP Start() override {
        Log("Start");
        if (!stream.initialized) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if ((stream.streamFlags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && stream.event == nullptr) {
            return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        }
        if (stream.running) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        if (FAILED(script.start)) {
            return script.start;
        }
        QueryPerformanceCounter(&startCounter);
        started = stream.running = true;
        Log("start qpc=%lld frequency=%lld", startCounter.QuadPart, counterFrequency.QuadPart);
        if (script.signal) {
            HANDLE thread = CreateThread(nullptr, 0, EngineThread, nullptr, 0, nullptr);
            if (thread != nullptr) {
                CloseHandle(thread);
            }
        }
        return S_OK;
    }
    STDMETHODIMP Stop() override {
        Log("Stop");
        stream.running = false;
        return S_OK;
    }
    STDMETHODIMP Reset() override { return S_OK; }
    STDMETHODIMP SetEventHandle(HANDLE event) override {
        Log("SetEventHandle %s", event == nullptr ? "null" : "event");
        if (event == nullptr) {
            return E_INVALIDARG;
        }
        if (FAILED(script.setEvent)) {
            return script.setEvent;
        }
        stream.event = event;
        return S_OK;
    }
    STDMETHODIMP GetService(REFIID riid, void** service) override {
        Log("GetService %s", GuidText(riid).c_str());
        if (service == nullptr) {
            return E_POINTER;
        }
        *service = nullptr;
        if (!stream.initialized) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (riid != __uuidof(IAudioCaptureClient)) {
            return E_NOINTERFACE; // IAudioClock among them, as on Windows' loopback client
        }
        if (FAILED(script.service)) {
            return script.service;
        }
        *service = static_cast<IAudioCaptureClient*>(new CaptureClient());
        return S_OK;
    }
};

class Operation final : public SimObject<IActivateAudioInterfaceAsyncOperation> {
  public:
    Operation(IActivateAudioInterfaceCompletionHandler* handler, IUnknown* activated,
              Counted* activatedCount)
        : SimObject("IActivateAudioInterfaceAsyncOperation", aliveOperations), handler_(handler),
          activated_(activated), activatedCount_(activatedCount) {
        handler_->AddRef();
    }
    ~Operation() override {
        if (activatedCount_ != nullptr) {
            activatedCount_->ReleaseInternal();
        }
        Log("operation released handler %lu", handler_->Release());
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        return Answer(riid, __uuidof(IActivateAudioInterfaceAsyncOperation), object);
    }
    STDMETHODIMP GetActivateResult(HRESULT* result, IUnknown** activated) override {
        Log("GetActivateResult");
        if (result == nullptr || activated == nullptr) {
            return E_POINTER;
        }
        if (FAILED(script.resultCall)) {
            return script.resultCall;
        }
        *result = script.result;
        *activated = nullptr;
        if (SUCCEEDED(script.result) && activated_ != nullptr) {
            activated_->AddRef();
            *activated = activated_;
        }
        return S_OK;
    }
    void Complete() {
        const HRESULT hr = handler_->ActivateCompleted(this);
        Log("ActivateCompleted returned 0x%08lx on the %s thread", static_cast<unsigned long>(hr),
            GetCurrentThreadId() == mainThread ? "calling" : "engine's");
    }
    static DWORD mainThread;

    // The program may release the operation the moment the completion has signalled it, while
    // the engine's thread is still inside the call and holds the operation, and through it the
    // handler and the activated object. Had the program ended then, the report at exit would
    // count that chain as the program's. So a release by the program first lets the engine's
    // call, and the engine's own release after it, run to their end: the report then shows
    // exactly what the program holds.
    STDMETHODIMP_(ULONG) Release() override {
        WaitForEngineCall();
        return SimObject::Release();
    }
    static void WaitForEngineCall();

  private:
    IActivateAudioInterfaceCompletionHandler* handler_;
    IUnknown* activated_;
    Counted* activatedCount_;
};
DWORD Operation::mainThread = 0;

// Set once the engine's completion thread has left the call and dropped its reference; null
// while no such thread was started.
HANDLE engineCallDone = nullptr;
DWORD engineCallThread = 0;

void Operation::WaitForEngineCall() {
    if (engineCallDone == nullptr || GetCurrentThreadId() == engineCallThread) {
        return;
    }
    // A hang guard: the call returns in microseconds once the handler has been entered.
    if (WaitForSingleObject(engineCallDone, 60000) != WAIT_OBJECT_0) {
        Log("violation: the engine's completion call did not end");
    }
}

DWORD WINAPI CompletionThread(void* parameter) {
    // The engine keeps the operation, and so the handler, alive for the length of the call.
    auto* operation = static_cast<Operation*>(parameter);
    operation->Complete();
    operation->ReleaseInternal();
    SetEvent(engineCallDone);
    return 0;
}

Operation* MakeOperation(IActivateAudioInterfaceCompletionHandler* handler) {
    switch (script.activated) {
    case Activated::AudioClient: {
        auto* client = new AudioClient();
        return new Operation(handler, static_cast<IAudioClient*>(client), client);
    }
    case Activated::Other: {
        auto* other = new OtherObject();
        return new Operation(handler, other, other);
    }
    default:
        return new Operation(handler, nullptr, nullptr);
    }
}

const char* Answers(IUnknown* object, REFIID riid) {
    void* face = nullptr;
    if (FAILED(object->QueryInterface(riid, &face)) || face == nullptr) {
        return "no";
    }
    static_cast<IUnknown*>(face)->Release();
    return "yes";
}

// Asks the handler's IMarshal what marshaling it would take, as a caller in another apartment
// would; its marshaler answers, or E_OUTOFMEMORY without one.
HRESULT MarshalSizeResult(IUnknown* handler) {
    IMarshal* marshal = nullptr;
    if (FAILED(handler->QueryInterface(__uuidof(IMarshal), reinterpret_cast<void**>(&marshal)))) {
        return E_NOINTERFACE;
    }
    DWORD size = 0;
    const HRESULT hr = marshal->GetMarshalSizeMax(__uuidof(IUnknown), handler, MSHCTX_INPROC,
                                                  nullptr, MSHLFLAGS_NORMAL, &size);
    marshal->Release();
    return hr;
}

// The program's own platform calls that SIM_FAIL can make fail.
HRESULT WINAPI FailingCoInitializeEx(void* reserved, DWORD model) {
    if (sim_shared::ShouldFail("CoInitializeEx")) {
        return RPC_E_CHANGED_MODE; // as for a thread already in a single-threaded apartment
    }
    return CoInitializeEx(reserved, model);
}

HRESULT WINAPI FailingCoCreateFreeThreadedMarshaler(IUnknown* outer, IUnknown** marshaler) {
    if (sim_shared::ShouldFail("CoCreateFreeThreadedMarshaler")) {
        *marshaler = nullptr;
        return E_OUTOFMEMORY;
    }
    return CoCreateFreeThreadedMarshaler(outer, marshaler);
}

HANDLE WINAPI FailingCreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset,
                                  BOOL initialState, const wchar_t* name) {
    if (sim_shared::ShouldFail("CreateEventW")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return CreateEventW(attributes, manualReset, initialState, name);
}

FARPROC WINAPI FailingGetProcAddress(HMODULE module, const char* name) {
    if (sim_shared::ShouldFail("GetProcAddress")) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name);
}

void BindFailingImports() {
    sim_shared::ReadPlan();
    if (sim_shared::Planned("GetProcAddress")) {
        sim_shared::BindImport("kernel32.dll", "GetProcAddress",
                               reinterpret_cast<void*>(&FailingGetProcAddress));
    } else if (sim_shared::Planned("CoInitializeEx")) {
        sim_shared::BindImport("ole32.dll", "CoInitializeEx",
                               reinterpret_cast<void*>(&FailingCoInitializeEx));
    } else if (sim_shared::Planned("CoCreateFreeThreadedMarshaler")) {
        sim_shared::BindImport("ole32.dll", "CoCreateFreeThreadedMarshaler",
                               reinterpret_cast<void*>(&FailingCoCreateFreeThreadedMarshaler));
    } else if (sim_shared::Planned("CreateEventW")) {
        sim_shared::BindImport("kernel32.dll", "CreateEventW",
                               reinterpret_cast<void*>(&FailingCreateEventW));
    }
}

} // namespace

extern "C" HRESULT WINAPI
ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* parameters,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    char narrowPath[128] = "null";
    if (path != nullptr) {
        snprintf(narrowPath, sizeof narrowPath, "%ls", path);
    }
    std::string property = "null";
    if (parameters != nullptr) {
        char head[64];
        snprintf(head, sizeof head, "vt=%u size=%lu ", parameters->vt,
                 static_cast<unsigned long>(parameters->blob.cbSize));
        property = head;
        property += parameters->vt == VT_BLOB && parameters->blob.pBlobData != nullptr
                        ? Hex(parameters->blob.pBlobData, parameters->blob.cbSize)
                        : std::string("nodata");
    }
    Log("ActivateAudioInterfaceAsync path=%s riid=%s property=%s", narrowPath,
        GuidText(riid).c_str(), property.c_str());
    if (handler == nullptr || operation == nullptr) {
        return E_POINTER;
    }
    *operation = nullptr;
    Log("handler IAgileObject=%s IMarshal=%s marshal_size_hr=0x%08lx",
        Answers(handler, __uuidof(IAgileObject)), Answers(handler, __uuidof(IMarshal)),
        static_cast<unsigned long>(MarshalSizeResult(handler)));
    // As on Windows: a handler that is not agile cannot be called back on the engine's thread.
    if (strcmp(Answers(handler, __uuidof(IAgileObject)), "yes") != 0) {
        return E_ILLEGAL_METHOD_CALL;
    }
    if (FAILED(script.request)) {
        return script.request;
    }
    const bool known = path != nullptr && wcscmp(path, L"VAD\\Process_Loopback") == 0 &&
                       riid == __uuidof(IAudioClient) && parameters != nullptr &&
                       parameters->vt == VT_BLOB && parameters->blob.cbSize == 12;
    if (!known && SUCCEEDED(script.result)) {
        script.result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    auto* created = MakeOperation(handler);
    *operation = created;
    Operation::mainThread = GetCurrentThreadId();
    switch (script.completion) {
    case Completion::Inline:
        created->Complete();
        break;
    case Completion::Thread: {
        created->AddRefInternal();
        engineCallDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = engineCallDone == nullptr
                            ? nullptr
                            : CreateThread(nullptr, 0, CompletionThread, created, CREATE_SUSPENDED,
                                           &engineCallThread);
        if (thread == nullptr) {
            created->ReleaseInternal();
            return E_OUTOFMEMORY;
        }
        ResumeThread(thread);
        CloseHandle(thread);
        break;
    }
    case Completion::Never:
        break;
    }
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&logLock);
        InitializeCriticalSection(&stream.lock);
        QueryPerformanceFrequency(&counterFrequency);
        logFile = sim_shared::OpenLogNamedBy("SIM_AUDIO_LOG");
        static char text[32768];
        if (GetEnvironmentVariableA("SIM_AUDIO", text, sizeof text) > 0) {
            ParseScript(text);
        }
        BindFailingImports();
        if (sim_shared::Planned("LoadLibraryExW")) {
            return FALSE; // the library fails to initialise: its load fails
        }
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        processEnding = true;
        Log("exit t=%lld", SinceStart());
        Log("injected size_failures=%lu buffer_failures=%lu", stream.failedSizes,
            stream.failedBuffers);
        Log("counts size_queries=%lu buffers_taken=%lu buffers_released=%lu violations=%lu",
            stream.sizeQueries, stream.buffersTaken, stream.buffersReleased, stream.violations);
        Log("health idle_buffer_calls=%lu padding_queries=%lu", stream.idleBufferCalls,
            stream.paddingQueries);
        Log("alive IAudioClient=%d IAudioCaptureClient=%d "
            "IActivateAudioInterfaceAsyncOperation=%d IUnknown=%d",
            aliveAudioClients.load(), aliveCaptureClients.load(), aliveOperations.load(),
            aliveOthers.load());
    }
    return TRUE;
}
