// The floor that lumbrook's streaming cost is measured against: the same activation and stream
// set-up, then the least a pump can do: wait on the engine's event and write every packet,
// with no checks at all. It never ends by itself.
#include "capture_stream.h"
#include "loopback_activation.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

using Microsoft::WRL::ComPtr;

int wmain(int argc, wchar_t* argv[]) {
    _setmode(_fileno(stdout), _O_BINARY);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LoopbackRequest request;
    UniqueHandle streamEvent;
    ComPtr<ActivationHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> capture;
    ActivateLoopbackClient(argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 0, request, handler,
                           operation, audioClient);
    StartCapture(audioClient.Get(), streamEvent, capture);
    for (;;) {
        WaitForSingleObject(streamEvent.Get(), 1000);
        UINT32 pending = 0;
        capture->GetNextPacketSize(&pending);
        while (pending > 0) {
            BYTE* data;
            UINT32 frames;
            DWORD flags;
            capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            fwrite(data, 8, frames, stdout);
            fflush(stdout);
            capture->ReleaseBuffer(frames);
            capture->GetNextPacketSize(&pending);
        }
    }
}
