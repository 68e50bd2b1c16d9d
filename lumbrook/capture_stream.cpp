#include "capture_stream.h"
#include "stream_clock.h"

#include <cstdint>
#include <cstdio>
#include <io.h>
#include <ksmedia.h>

using Microsoft::WRL::ComPtr;

namespace {

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, spelled out so that no GUID library is needed.
const GUID kIeeeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The engine converts the loopback mix to this format: 32-bit float stereo at 48 kHz.
WAVEFORMATEXTENSIBLE CaptureFormat() {
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = 48000;
    format.Format.nBlockAlign = 8;
    format.Format.nAvgBytesPerSec = 48000 * 8;
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = kIeeeFloat;
    return format;
}

constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
constexpr REFERENCE_TIME kBufferDuration = 2000000; // 200 ms in 100-ns units
constexpr ULONGLONG kQuietMilliseconds = 1000;      // without a write, ask whether the reader left
constexpr ULONGLONG kStallMilliseconds = 5000;      // without a packet taken, the stream is stuck
constexpr ULONGLONG kHealthMilliseconds = 500;      // without a packet taken, ask if it is lost
constexpr UINT32 kBytesPerFrame = 8;

// Silent packets are written from here; their buffers need not hold zeros.
constexpr size_t kSilenceBytes = 8192;
const BYTE kSilence[kSilenceBytes] = {};

bool WriteAll(const BYTE* data, uint64_t bytes) {
    return fwrite(data, 1, static_cast<size_t>(bytes), stdout) == bytes;
}

bool WriteSilence(uint64_t bytes) {
    while (bytes > 0) {
        const size_t chunk = bytes < kSilenceBytes ? static_cast<size_t>(bytes) : kSilenceBytes;
        if (!WriteAll(kSilence, chunk)) {
            return false;
        }
        bytes -= chunk;
    }
    return true;
}

// The bytes a packet puts in the stream: silence as zeros, nothing for a packet without data.
uint64_t PacketBytes(const BYTE* data, UINT32 frames, DWORD flags) {
    const uint64_t bytes = static_cast<uint64_t>(frames) * kBytesPerFrame;
    return (flags & AUDCLNT_BUFFERFLAGS_SILENT) || data != nullptr ? bytes : 0;
}

// Writes a packet's `bytes` (from PacketBytes). False when the reader has gone. A write below
// the stream's buffer size is only copied into the buffer and never reports a shortfall, so a
// failing flush counts as one too.
bool WritePacket(const BYTE* data, uint64_t bytes, DWORD flags) {
    bool written = true;
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
        written = WriteSilence(bytes);
    } else if (bytes > 0) {
        written = WriteAll(data, bytes);
    }
    return written && fflush(stdout) == 0;
}

// The engine answers with these once the stream under the capture service is gone for good
// (the endpoint or the audio service went away); it never signals the stream event again.
bool IsStreamLost(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING ||
           hr == AUDCLNT_E_RESOURCES_INVALIDATED;
}

// Asks whether the process reading standard output has gone, where the output is a pipe: while
// the engine's calls fail nothing is written, not even silence (no call has said that no packet
// is pending), so no failing write could tell. The pipe's state is read
// on the pump's own thread, between writes: a query from another thread would queue behind a
// write blocked on a full pipe, and a zero-byte write reads as an end of file to some hosts.
class ReaderProbe {
  public:
    ReaderProbe() {
        const int fd = _fileno(stdout);
        const HANDLE out = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : nullptr;
        if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_PIPE) {
            pipe_ = out;
        }
    }

    // True only when the pipe says so; a pipe that cannot be asked counts as still read.
    bool ReaderGone() const {
        if (pipe_ == nullptr) {
            return false;
        }
        IO_STATUS_BLOCK io = {};
        FILE_PIPE_LOCAL_INFORMATION info = {};
        const NTSTATUS status =
            NtQueryInformationFile(pipe_, &io, &info, sizeof info, FilePipeLocalInformation);
        if (status == STATUS_PIPE_BROKEN || status == STATUS_PIPE_DISCONNECTED) {
            return true;
        }
        return NT_SUCCESS(status) && (info.NamedPipeState == FILE_PIPE_CLOSING_STATE ||
                                      info.NamedPipeState == FILE_PIPE_DISCONNECTED_STATE);
    }

  private:
    HANDLE pipe_ = nullptr;
};

// The performance counter in ticks: finer than the tick count, so that no limit below is
// reached early, and on the clock of the engine's time stamps.
Ticks Now() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    constexpr LONGLONG kTicksPerSecond = 30000000;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency * kTicksPerSecond +
           now.QuadPart % frequency * kTicksPerSecond / frequency;
}

ULONGLONG Milliseconds() {
    return static_cast<ULONGLONG>(Now() / kTicksPerMillisecond);
}

// How long the engine has failed to hand out packets: started by the first failing call,
// stopped by a packet taken or by an answer that none is pending, so silence never counts.
class StallClock {
  public:
    void CallFailed() {
        if (!running_) {
            running_ = true;
            since_ = Milliseconds();
        }
    }
    void Progressed() { running_ = false; }
    bool Stuck(ULONGLONG now) const { return running_ && now - since_ >= kStallMilliseconds; }

  private:
    bool running_ = false;
    ULONGLONG since_ = 0;
};

// Says when to ask the capture service itself whether the stream is still there while no packet
// comes. An engine can answer GetNextPacketSize with "no packet" for ever once its stream has
// gone (Wine's does when its sound server dies), so silence alone cannot tell a lost stream from
// a quiet one; GetBuffer reports the lost stream even then, and a live, empty stream answers it
// with AUDCLNT_S_BUFFER_EMPTY. The audio client cannot be asked instead: the process-loopback
// client Windows hands out answers GetCurrentPadding with E_NOTIMPL. Due only after a while
// without a packet, so it costs nothing while audio flows.
class HealthCheck {
  public:
    HealthCheck() : since_(Milliseconds()) {}

    void PacketTaken(ULONGLONG now) { since_ = now; }

    // True when a check is due; the check then counts as made.
    bool Due(ULONGLONG now) {
        if (now - since_ < kHealthMilliseconds) {
            return false;
        }
        since_ = now;
        return true;
    }

  private:
    ULONGLONG since_; // the last packet taken, or the last check
};

// What a failing engine call means: the stream is lost, or the pump goes back to waiting.
CaptureResult EngineCallFailed(HRESULT hr, StallClock& stall) {
    if (IsStreamLost(hr)) {
        return kStreamLost;
    }
    stall.CallFailed();
    return kStageDone;
}

// What one pass over the engine's ready packets did.
struct Drained {
    bool tookPacket = false;  // the engine handed out at least one packet with frames in it
    bool wrote = false;       // bytes reached standard output
    bool nonePending = false; // it ended with the engine saying no packet is ready...
    Ticks askedAt = 0;        // ...when asked at this time
};

// Writes every packet the engine has ready, each after the zeros the clock puts before it.
// When the health check is due, a "no packet" answer is followed by a GetBuffer all the same:
// a lost stream fails it, a packet that came in between is written like any other, and an
// empty buffer is handed back. kStageDone sends the pump back to waiting.
CaptureResult DrainPackets(IAudioCaptureClient* captureService, StallClock& stall,
                           HealthCheck& health, StreamClock& clock, Drained& pass) {
    UINT32 pending = 0;
    pass.askedAt = Now();
    HRESULT hr = captureService->GetNextPacketSize(&pending);
    for (;;) {
        if (FAILED(hr)) {
            return EngineCallFailed(hr, stall);
        }
        const bool checking = pending == 0;
        if (checking) {
            stall.Progressed();
            if (!health.Due(static_cast<ULONGLONG>(pass.askedAt / kTicksPerMillisecond))) {
                pass.nonePending = true;
                return kStageDone;
            }
        }
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 qpcPosition = 0;
        hr = captureService->GetBuffer(&data, &frames, &flags, nullptr, &qpcPosition);
        if (FAILED(hr)) {
            if (checking && !IsStreamLost(hr)) {
                pass.nonePending = true; // the check cannot tell; the size query said none
                return kStageDone;
            }
            return EngineCallFailed(hr, stall);
        }
        stall.Progressed();
        pass.tookPacket = pass.tookPacket || frames > 0;
        const uint64_t zeros = clock.ZerosBefore(frames, flags, qpcPosition, Now());
        const uint64_t bytes = PacketBytes(data, frames, flags);
        if (!WriteSilence(zeros * kBytesPerFrame) || !WritePacket(data, bytes, flags)) {
            return kReaderGone;
        }
        clock.Wrote(zeros + bytes / kBytesPerFrame, false);
        pass.wrote = pass.wrote || zeros + bytes > 0;
        // A release that fails but does not lose the stream leaves the packet with the engine;
        // the stall clock then sees its GetBuffer refusals. An empty buffer is handed back with
        // 0 frames, which the platform documents as reading none of a packet.
        hr = captureService->ReleaseBuffer(frames);
        if (FAILED(hr) && EngineCallFailed(hr, stall) == kStreamLost) {
            return kStreamLost;
        }
        pending = 0;
        pass.askedAt = Now();
        hr = captureService->GetNextPacketSize(&pending);
    }
}

} // namespace

CaptureResult StartCapture(IAudioClient* audioClient, UniqueHandle& streamEvent,
                           ComPtr<IAudioCaptureClient>& captureService) {
    // Without an event the pump would spin instead of waiting; treat it as a set-up failure.
    streamEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (streamEvent.Get() == nullptr) {
        return kStreamSetup;
    }
    WAVEFORMATEXTENSIBLE format = CaptureFormat();
    if (FAILED(audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, kBufferDuration, 0,
                                       &format.Format, nullptr))) {
        return kStreamSetup;
    }
    audioClient->SetEventHandle(streamEvent.Get());
    if (FAILED(audioClient->GetService(__uuidof(IAudioCaptureClient), &captureService))) {
        return kCaptureService;
    }
    if (FAILED(audioClient->Start())) {
        return kStreamStart;
    }
    return kStageDone;
}

CaptureResult PumpToStdout(IAudioCaptureClient* captureService, HANDLE streamEvent) {
    const ReaderProbe reader;
    StallClock stall;
    HealthCheck health;
    StreamClock clock(Now());
    ULONGLONG quietSince = Milliseconds(); // the last write, or the last look at the reader
    DWORD wait = clock.WaitMilliseconds(Now());
    for (;;) {
        WaitForSingleObject(streamEvent, wait);
        Drained pass;
        const CaptureResult drained = DrainPackets(captureService, stall, health, clock, pass);
        if (drained != kStageDone) {
            return drained;
        }
        const ULONGLONG now = Milliseconds();
        if (pass.tookPacket) {
            health.PacketTaken(now);
        }
        // Zeros only once the engine has said that nothing is pending, and only up to when it
        // was asked: a late wake-up drains what came meanwhile first, and a thread held up
        // after the answer does not fill the time it lost.
        const uint64_t silence = pass.nonePending ? clock.SilenceDue(pass.askedAt) : 0;
        if (silence > 0) {
            if (!WritePacket(nullptr, silence * kBytesPerFrame, AUDCLNT_BUFFERFLAGS_SILENT)) {
                return kReaderGone;
            }
            clock.Wrote(silence, true);
            pass.wrote = true;
        }
        // While the engine's calls fail, nothing is written: the pipe is asked instead.
        if (pass.wrote) {
            quietSince = now;
        } else if (now - quietSince >= kQuietMilliseconds) {
            if (reader.ReaderGone()) {
                return kReaderGone;
            }
            quietSince = now;
        }
        if (stall.Stuck(now)) {
            return kStreamLost;
        }
        wait = pass.nonePending ? clock.WaitMilliseconds(Now()) : kPollMilliseconds;
    }
}
