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
//
// With BRIDGE_TAP naming a file, the bridge stands between lumbrook and Wine's objects and
// records every packet the engine hands out, in order: a header of its frame count and flags
// (32 bits each), its time stamp and when it was handed out (the performance counter in 100-ns
// units, 64 bits each), all little-endian, and then its frames as lumbrook is to write them
// (zeros for a packet flagged silent). So a test can tell the zeros the engine handed out from
// any lumbrook wrote of its own, and see when the engine handed its packets out.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <vector>

namespace {

// --- the tap -------------------------------------------------------------------------------------

HANDLE tapFile = INVALID_HANDLE_VALUE;

void OpenTap() {
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("BRIDGE_TAP", path, sizeof path) == 0) {
        return;
    }
    tapFile = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
}

UINT64 HundredsOfNanoseconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<UINT64>(now.QuadPart / frequency.QuadPart * 10000000 +
                               now.QuadPart % frequency.QuadPart * 10000000 / frequency.QuadPart);
}

#pragma pack(push, 1)
struct TapHeader {
    UINT32 frames;
    DWORD flags;
    UINT64 qpcPosition;
    UINT64 handedOut;
};
#pragma pack(pop)

void Record(const BYTE* data, UINT32 frames, DWORD flags, UINT64 qpcPosition) {
    static std::vector<BYTE> silence;
    const TapHeader header = {frames, flags, qpcPosition, HundredsOfNanoseconds()};
    const DWORD bytes = frames * 8;
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT || data == nullptr) {
        silence.resize(bytes);
        data = silence.data();
    }
    DWORD written = 0;
    WriteFile(tapFile, &header, sizeof header, &written, nullptr);
    WriteFile(tapFile, data, bytes, &written, nullptr);
}

// Reference counting and QueryInterface for a wrapper that answers as one interface.
template <class Interface> class Wrapper : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (riid != __uuidof(IUnknown) && riid != __uuidof(Interface) &&
            !(agile_ && riid == __uuidof(IAgileObject))) {
            return E_NOINTERFACE;
        }
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --count_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    explicit Wrapper(bool agile = false) : agile_(agile) {}
    virtual ~Wrapper() = default;

  private:
    std::atomic<ULONG> count_{1};
    bool agile_;
};

class TapCapture : public Wrapper<IAudioCaptureClient> {
  public:
    explicit TapCapture(IAudioCaptureClient* inner) : inner_(inner) {}
    ~TapCapture() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* qpcPosition) override {
        UINT64 stamp = 0;
        const HRESULT hr = inner_->GetBuffer(data, frames, flags, devicePosition, &stamp);
        if (qpcPosition != nullptr) {
            *qpcPosition = stamp;
        }
        if (hr == S_OK && *frames > 0) {
            Record(*data, *frames, *flags, stamp);
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return inner_->ReleaseBuffer(frames);
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return inner_->GetNextPacketSize(frames);
    }

  private:
    IAudioCaptureClient* inner_;
};

class TapClient : public Wrapper<IAudioClient> {
  public:
    explicit TapClient(IAudioClient* inner) : inner_(inner) {}
    ~TapClient() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID session) override {
        return inner_->Initialize(mode, flags, duration, periodicity, format, session);
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        return inner_->GetBufferSize(frames);
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
        return inner_->GetStreamLatency(latency);
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
        return inner_->GetCurrentPadding(frames);
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                                                WAVEFORMATEX** closest) override {
        return inner_->IsFormatSupported(mode, format, closest);
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        return inner_->GetMixFormat(format);
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period,
                                              REFERENCE_TIME* minimum) override {
        return inner_->GetDevicePeriod(period, minimum);
    }
    HRESULT STDMETHODCALLTYPE Start() override { return inner_->Start(); }
    HRESULT STDMETHODCALLTYPE Stop() override { return inner_->Stop(); }
    HRESULT STDMETHODCALLTYPE Reset() override { return inner_->Reset(); }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        return inner_->SetEventHandle(event);
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** out) override {
        const HRESULT hr = inner_->GetService(riid, out);
        if (SUCCEEDED(hr) && riid == __uuidof(IAudioCaptureClient)) {
            *out = static_cast<IAudioCaptureClient*>(
                new TapCapture(static_cast<IAudioCaptureClient*>(*out)));
        }
        return hr;
    }

  private:
    IAudioClient* inner_;
};

// Hands the activation's outcome on with Wine's audio client wrapped.
class TapOperation : public Wrapper<IActivateAudioInterfaceAsyncOperation> {
  public:
    explicit TapOperation(IActivateAudioInterfaceAsyncOperation* inner) : inner_(inner) {
        inner_->AddRef();
    }
    ~TapOperation() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        const HRESULT hr = inner_->GetActivateResult(result, activated);
        IAudioClient* client = nullptr;
        if (SUCCEEDED(hr) && SUCCEEDED(*result) && *activated != nullptr &&
            SUCCEEDED(
                (*activated)
                    ->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client)))) {
            (*activated)->Release();
            *activated = static_cast<IAudioClient*>(new TapClient(client));
        }
        return hr;
    }

  private:
    IActivateAudioInterfaceAsyncOperation* inner_;
};

// Takes Wine's completion call and hands lumbrook's handler the wrapped operation.
class TapHandler : public Wrapper<IActivateAudioInterfaceCompletionHandler> {
  public:
    explicit TapHandler(IActivateAudioInterfaceCompletionHandler* target)
        : Wrapper(true), target_(target) {
        target_->AddRef();
    }
    ~TapHandler() override { target_->Release(); }

    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
        TapOperation* tapped = new TapOperation(operation);
        const HRESULT hr = target_->ActivateCompleted(tapped);
        tapped->Release();
        return hr;
    }

  private:
    IActivateAudioInterfaceCompletionHandler* target_;
};

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
    OpenTap();
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
    if (tapFile == INVALID_HANDLE_VALUE) {
        return realActivate(kDefaultCapture, riid, nullptr, handler, operation);
    }
    TapHandler* tap = new TapHandler(handler);
    const HRESULT activated = realActivate(kDefaultCapture, riid, nullptr, tap, operation);
    tap->Release();
    return activated;
}
