// lumbrook <exclude-pid>: streams what every process but one process tree plays to standard
// output as raw 32-bit float stereo 48 kHz PCM, until the reader goes away.

#include "loopback_activation.h"
#include "capture_result.h"
#include "capture_stream.h"

#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <fcntl.h>
#include <io.h>

using Microsoft::WRL::ComPtr;

namespace {

// White space as the platform's wide conversion skips it.
bool IsSpace(wchar_t c) {
    return (c >= L'\t' && c <= L'\r') || c == L' ' || c == 0x85 || c == 0xA0 ||
           (c > 0xFF && iswspace(c));
}

// The decimal digit a character stands for, in any script the platform's conversion reads
// digits from; -1 for any other character.
int DigitValue(wchar_t c) {
    static const wchar_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                     0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                     0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
    for (const wchar_t zero : kZeros) {
        if (c >= zero && c < zero + 10) {
            return c - zero;
        }
    }
    return -1;
}

// As wcstol reads it in base 10: leading white space, one optional sign, digits; 0 without
// digits, saturated at the signed 32-bit limits. A negative id is passed on as its
// two's-complement bit pattern. Spelled out because runtimes disagree on the white space.
DWORD ParseProcessId(const wchar_t* text) {
    while (IsSpace(*text)) {
        ++text;
    }
    const bool negative = *text == L'-';
    if (*text == L'+' || *text == L'-') {
        ++text;
    }
    constexpr int64_t kLimit = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (int digit; (digit = DigitValue(*text)) >= 0; ++text) {
        magnitude = magnitude * 10 + digit;
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    const int64_t value = negative ? -magnitude : (magnitude < kLimit ? magnitude : kLimit - 1);
    return static_cast<DWORD>(static_cast<int32_t>(value));
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
    // Whatever is loaded from here on comes from System32, never from beside the program. On
    // a system without this call the activation's own System32 load fails instead (status 4).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
