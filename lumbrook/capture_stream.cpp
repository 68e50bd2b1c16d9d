#include "capture_stream.h"

#include <cstdint>
#include <cstdio>
#include <ksmedia.h>

using Microsoft::WRL::ComPtr;

namespace {

// Spelled out from its static initialiser so that no GUID library is needed.
const GUID kIeeeFloat = {STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT};

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
constexpr DWORD kPollMilliseconds = 1000;           // poll the engine even if no event comes
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

// False when the reader has gone. A write below the stream's buffer size is only copied into
// the buffer and never reports a shortfall, so a failing flush counts as one too.
bool WritePacket(const BYTE* data, UINT32 frames, DWORD flags) {
    const uint64_t bytes = static_cast<uint64_t>(frames) * kBytesPerFrame;
    bool written = true;
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
        written = WriteSilence(bytes);
    } else if (data != nullptr && bytes > 0) {
        written = WriteAll(data, bytes);
    }
    return written && fflush(stdout) == 0;
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
    for (;;) {
        // Signalled or timed out, the engine is asked the same way.
        WaitForSingleObject(streamEvent, kPollMilliseconds);
        UINT32 pending = 0;
        if (FAILED(captureService->GetNextPacketSize(&pending))) {
            continue;
        }
        while (pending > 0) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            if (FAILED(captureService->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) {
                break;
            }
            if (!WritePacket(data, frames, flags)) {
                return kReaderGone;
            }
            captureService->ReleaseBuffer(frames);
            if (FAILED(captureService->GetNextPacketSize(&pending))) {
                break;
            }
        }
    }
}
