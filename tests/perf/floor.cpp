// The floor that lumbrook's streaming cost is measured against: the same activation and stream
// set-up, then the least a pump can do: wait on the engine's event and write every packet,
// with no checks at all. It never ends by itself. With FLOOR_TIMES naming a file, it records
// there when it took each packet and the packet's time stamp, "<counter> <stamp> <frames>" in
// 100-ns units: how late the engine hands its packets out.
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
    wchar_t timesPath[MAX_PATH];
    FILE* times = GetEnvironmentVariableW(L"FLOOR_TIMES", timesPath, MAX_PATH) > 0
                      ? _wfopen(timesPath, L"w")
                      : nullptr;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (;;) {
        WaitForSingleObject(streamEvent.Get(), 1000);
        UINT32 pending = 0;
        capture->GetNextPacketSize(&pending);
        while (pending > 0) {
            BYTE* data;
            UINT32 frames;
            DWORD flags;
            UINT64 stamp = 0;
            capture->GetBuffer(&data, &frames, &flags, nullptr, times ? &stamp : nullptr);
            if (times) {
                LARGE_INTEGER now;
                QueryPerformanceCounter(&now);
                fprintf(times, "%lld %llu %u\n", now.QuadPart * 10000000 / frequency.QuadPart,
                        static_cast<unsigned long long>(stamp), frames);
                fflush(times);
            }
            fwrite(data, 8, frames, stdout);
            fflush(stdout);
            capture->ReleaseBuffer(frames);
            capture->GetNextPacketSize(&pending);
        }
    }
}
