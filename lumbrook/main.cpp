// lumbrook <exclude-pid>: streams what every process but one process tree plays to standard
// output as raw 32-bit float stereo 48 kHz PCM, until the reader goes away.

#include "activation.h"
#include "capture_result.h"
#include "capture_stream.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

using Microsoft::WRL::ComPtr;

namespace {

// Base 10 and saturating at the signed 32-bit limits, as wcstol does; a negative id is passed
// on as its two's-complement bit pattern.
DWORD ParseProcessId(const wchar_t* text) {
    return static_cast<DWORD>(wcstol(text, nullptr, 10));
}

// PCM bytes must pass without line-end translation. Without a standard output there is
// nothing to switch; the pump then finds its first write refused.
void SwitchStdoutToBinary() {
    const int fd = _fileno(stdout);
    if (fd >= 0) {
        _setmode(fd, _O_BINARY);
    }
}

CaptureResult CaptureExcept(DWORD excludePid) {
    // Declared in the reverse of the release order the run ends with: the capture service
    // goes first, then the driver's audio client, the operation and the handler.
    LoopbackRequest request;
    UniqueHandle streamEvent;
    ComPtr<ActivationHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> captureService;

    CaptureResult result =
        ActivateLoopbackClient(excludePid, request, handler, operation, audioClient);
    if (result != kStageDone) {
        return result;
    }
    result = StartCapture(audioClient.Get(), streamEvent, captureService);
    if (result != kStageDone) {
        return result;
    }
    return PumpToStdout(captureService.Get(), streamEvent.Get());
}

} // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: lumbrook <exclude-pid>\n");
        return kNoArgument;
    }
    const DWORD excludePid = ParseProcessId(argv[1]);
    SwitchStdoutToBinary();
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return kComFailed;
    }
    return CaptureExcept(excludePid);
}
