// The shared-mode, event-driven loopback stream and the pump that copies it to standard output.
#pragma once

#include "capture_result.h"
#include "loopback_platform.h"

#include <wrl/client.h>

// Owns a kernel handle and closes it when it goes out of scope.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(nullptr); }

    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle) {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

// Initialises `audioClient` for event-driven loopback capture in 32-bit float stereo at 48 kHz,
// obtains the capture service and starts the stream. `streamEvent` receives the event the
// engine signals; the driver owns it and the capture service.
CaptureResult StartCapture(IAudioClient* audioClient, UniqueHandle& streamEvent,
                           Microsoft::WRL::ComPtr<IAudioCaptureClient>& captureService);

// Copies every captured packet to standard output, and the stretches without packets as zeros,
// so that the stream keeps time, until the reader goes away (kReaderGone: a write falls short,
// or the pipe's reader is seen to have closed while nothing could be written) or the engine
// loses the stream (kStreamLost: a capture call says so, GetBuffer asked while no packet comes
// among them). Other platform failures send the pump back to waiting.
CaptureResult PumpToStdout(IAudioCaptureClient* captureService, HANDLE streamEvent);
