// A test-only mmdevapi.dll that hands lumbrook Wine's own audio engine. Wine has no process
// loopback; its default capture endpoint, recording a PulseAudio sink's monitor, takes the
// same flags and format. So the process-loopback activation is forwarded to Wine's own
// ActivateAudioInterfaceAsync for that endpoint, and everything lumbrook calls from then on is
// Wine's code over a real sound server. The process-loopback record is dropped: the exclusion
// itself is not exercised this way.
//
// Wine's module is loaded from its own path (REAL_MMDEVAPI, a Windows path). Its activation
// finds no device until its audio driver has been loaded, which only DllGetClassObject does,
// so one device enumerator is made through it first and kept for the life of the process.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

namespace {

// The default capture endpoint, as a device interface path Wine's activation understands.
constexpr wchar_t kDefaultCapture[] = L"{2EEF81BE-33FA-4800-9670-1CD474972C3F}";

using Activate = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*,
                                  IActivateAudioInterfaceCompletionHandler*,
                                  IActivateAudioInterfaceAsyncOperation**);
using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

Activate realActivate = nullptr;
IMMDeviceEnumerator* keptEnumerator = nullptr; // never released: it keeps the driver loaded

HRESULT LoadWineEngine() {
    if (realActivate != nullptr) {
        return S_OK;
    }
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"REAL_MMDEVAPI", path, MAX_PATH) == 0) {
        return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    }
    const HMODULE real = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (real == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(real, "DllGetClassObject")));
    const auto activate = reinterpret_cast<Activate>(
        reinterpret_cast<void*>(GetProcAddress(real, "ActivateAudioInterfaceAsync")));
    if (getClassObject == nullptr || activate == nullptr) {
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(__uuidof(MMDeviceEnumerator), __uuidof(IClassFactory),
                                reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(nullptr, __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(&keptEnumerator));
    factory->Release();
    if (FAILED(hr)) {
        return hr;
    }
    realActivate = activate;
    return S_OK;
}

} // namespace

extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(
    LPCWSTR path, REFIID riid, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler* handler,
    IActivateAudioInterfaceAsyncOperation** operation) {
    if (path == nullptr || wcscmp(path, L"VAD\\Process_Loopback") != 0) {
        return E_INVALIDARG;
    }
    const HRESULT hr = LoadWineEngine();
    if (FAILED(hr)) {
        return hr;
    }
    return realActivate(kDefaultCapture, riid, nullptr, handler, operation);
}
