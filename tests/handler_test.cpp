// Drives ActivationHandler directly: its COM identity rules, its reference count, the
// marshaler it forwards to, and every path through ActivateCompleted. Prints one line per
// failed check and exits with the number of failures.
#include "loopback_activation.h"

#include <cstdio>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ++failures;                                                                            \
            printf("%s:%d: %s: failed: %s\n", __FILE__, __LINE__, currentCase, #condition);        \
        }                                                                                          \
    } while (0)

const char* currentCase = "";

// Creating the free-threaded marshaler fails on demand: the handler's import of it is
// bound here instead of to ole32.
bool marshalerFails = false;

HRESULT WINAPI CreateMarshalerOrFail(IUnknown* outer, IUnknown** marshaler) {
    using Create = HRESULT(WINAPI*)(IUnknown*, IUnknown**);
    static const auto real = reinterpret_cast<Create>(reinterpret_cast<void*>(
        GetProcAddress(LoadLibraryW(L"ole32.dll"), "CoCreateFreeThreadedMarshaler")));
    if (marshalerFails) {
        *marshaler = nullptr;
        return E_OUTOFMEMORY;
    }
    return real(outer, marshaler);
}

} // namespace

extern "C" {
void* __imp_CoCreateFreeThreadedMarshaler = reinterpret_cast<void*>(&CreateMarshalerOrFail);
}

namespace {

ULONG CountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A minimal COM object for the platform's side: counts its references, answers a chosen IID.
class FakeObject : public IAudioClient {
  public:
    explicit FakeObject(bool isAudioClient) : isAudioClient_(isAudioClient) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (riid == __uuidof(IUnknown) || (isAudioClient_ && riid == __uuidof(IAudioClient))) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                            const WAVEFORMATEX*, LPCGUID) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    STDMETHODIMP IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                   WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP Start() override { return E_NOTIMPL; }
    STDMETHODIMP Stop() override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    STDMETHODIMP GetService(REFIID, void**) override { return E_NOTIMPL; }

    ULONG refs = 1; // the test's own
    bool isAudioClient_;
};

class FakeOperation : public IActivateAudioInterfaceAsyncOperation {
  public:
    FakeOperation(HRESULT callResult, HRESULT activateResult, IUnknown* activated)
        : callResult_(callResult), activateResult_(activateResult), activated_(activated) {}
    STDMETHODIMP QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetActivateResult(HRESULT* result, IUnknown** activated) override {
        if (FAILED(callResult_)) {
            return callResult_;
        }
        *result = activateResult_;
        *activated = activated_;
        if (activated_ != nullptr) {
            activated_->AddRef();
        }
        return S_OK;
    }

  private:
    HRESULT callResult_, activateResult_;
    IUnknown* activated_;
};

ComPtr<ActivationHandler> NewHandler() {
    ComPtr<ActivationHandler> handler;
    CHECK(SUCCEEDED(ActivationHandler::Create(&handler)));
    return handler;
}

void TestIdentity(bool withMarshaler) {
    currentCase = withMarshaler ? "identity" : "identity without marshaler";
    marshalerFails = !withMarshaler;
    ComPtr<ActivationHandler> handler = NewHandler();
    marshalerFails = false;
    IUnknown* primary = static_cast<IMarshal*>(handler.Get());
    IUnknown* completion = static_cast<IActivateAudioInterfaceCompletionHandler*>(handler.Get());
    CHECK(CountOf(primary) == 1);

    struct {
        IID iid;
        IUnknown* face; // null: refused
    } const table[] = {
        {__uuidof(IUnknown), primary},
        {__uuidof(IAgileObject), primary},
        {__uuidof(IMarshal), primary},
        {__uuidof(IActivateAudioInterfaceCompletionHandler), completion},
        {__uuidof(IAudioClient), nullptr},
        {__uuidof(IStream), nullptr},
        {__uuidof(IActivateAudioInterfaceAsyncOperation), nullptr},
    };
    // Both faces must answer alike.
    for (IUnknown* asked : {primary, completion}) {
        for (const auto& row : table) {
            void* out = reinterpret_cast<void*>(0x1234);
            const HRESULT hr = asked->QueryInterface(row.iid, &out);
            if (row.face != nullptr) {
                CHECK(hr == S_OK);
                CHECK(out == row.face);
                CHECK(CountOf(primary) == 2);
                static_cast<IUnknown*>(out)->Release();
            } else {
                CHECK(hr == E_NOINTERFACE);
                CHECK(out == nullptr);
                CHECK(CountOf(primary) == 1);
            }
        }
    }
    CHECK(completion->AddRef() == 2);
    CHECK(primary->Release() == 1);
    CHECK(handler->QueryInterface(__uuidof(IUnknown), nullptr) == E_POINTER);
}

void TestMarshalerForwarding() {
    currentCase = "marshaler forwarding";
    ComPtr<ActivationHandler> handler = NewHandler();
    ComPtr<IUnknown> reference;
    CHECK(SUCCEEDED(CoCreateFreeThreadedMarshaler(nullptr, &reference)));
    ComPtr<IMarshal> freeThreaded;
    CHECK(SUCCEEDED(reference.As(&freeThreaded)));

    IUnknown* object = static_cast<IMarshal*>(handler.Get());
    CLSID ours = {}, theirs = {};
    CHECK(handler->GetUnmarshalClass(__uuidof(IUnknown), object, MSHCTX_INPROC, nullptr,
                                     MSHLFLAGS_NORMAL, &ours) == S_OK);
    CHECK(freeThreaded->GetUnmarshalClass(__uuidof(IUnknown), object, MSHCTX_INPROC, nullptr,
                                          MSHLFLAGS_NORMAL, &theirs) == S_OK);
    CHECK(ours == theirs);
    DWORD ourSize = 0, theirSize = 0;
    CHECK(handler->GetMarshalSizeMax(__uuidof(IUnknown), object, MSHCTX_INPROC, nullptr,
                                     MSHLFLAGS_NORMAL, &ourSize) == S_OK);
    CHECK(freeThreaded->GetMarshalSizeMax(__uuidof(IUnknown), object, MSHCTX_INPROC, nullptr,
                                          MSHLFLAGS_NORMAL, &theirSize) == S_OK);
    CHECK(ourSize == theirSize && ourSize > 0);

    // A round trip through a stream in the same apartment gives back the same object.
    ComPtr<IStream> stream;
    CHECK(SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)));
    CHECK(CoMarshalInterface(stream.Get(), __uuidof(IUnknown), object, MSHCTX_INPROC, nullptr,
                             MSHLFLAGS_NORMAL) == S_OK);
    const LARGE_INTEGER start = {};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    ComPtr<IUnknown> back;
    CHECK(CoUnmarshalInterface(stream.Get(), __uuidof(IUnknown), &back) == S_OK);
    CHECK(back.Get() == object);
}

void TestWithoutMarshaler() {
    currentCase = "without marshaler";
    marshalerFails = true;
    ComPtr<ActivationHandler> handler = NewHandler();
    marshalerFails = false;
    CLSID clsid;
    DWORD size = 0;
    void* out = nullptr;
    CHECK(handler->GetUnmarshalClass(__uuidof(IUnknown), nullptr, 0, nullptr, 0, &clsid) ==
          E_OUTOFMEMORY);
    CHECK(handler->GetMarshalSizeMax(__uuidof(IUnknown), nullptr, 0, nullptr, 0, &size) ==
          E_OUTOFMEMORY);
    CHECK(handler->MarshalInterface(nullptr, __uuidof(IUnknown), nullptr, 0, nullptr, 0) ==
          E_OUTOFMEMORY);
    CHECK(handler->UnmarshalInterface(nullptr, __uuidof(IUnknown), &out) == E_OUTOFMEMORY);
    CHECK(handler->ReleaseMarshalData(nullptr) == E_OUTOFMEMORY);
    CHECK(handler->DisconnectObject(0) == E_OUTOFMEMORY);
}

void TestActivateCompleted() {
    enum class Object { AudioClient, Other, None };
    struct Row {
        const char* name;
        HRESULT callResult, activateResult;
        Object object;
        bool nullOperation;
        HRESULT status;
        bool hasClient;
    } const table[] = {
        {"activated", S_OK, S_OK, Object::AudioClient, false, S_OK, true},
        {"activated with a success code", S_OK, S_FALSE, Object::AudioClient, false, S_OK, true},
        {"GetActivateResult fails", E_FAIL, S_OK, Object::AudioClient, false, E_FAIL, false},
        {"activation refused", S_OK, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Object::None, false,
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), false},
        {"object without IAudioClient", S_OK, S_OK, Object::Other, false, E_NOINTERFACE, false},
        {"success without an object", S_OK, S_OK, Object::None, false, E_POINTER, false},
        {"no operation", S_OK, S_OK, Object::None, true, E_POINTER, false},
    };
    for (const Row& row : table) {
        currentCase = row.name;
        FakeObject object(row.object == Object::AudioClient);
        FakeOperation operation(row.callResult, row.activateResult,
                                row.object == Object::None ? nullptr : &object);
        {
            ComPtr<ActivationHandler> handler = NewHandler();
            CHECK(handler->Status() == E_UNEXPECTED);
            CHECK(WaitForSingleObject(handler->CompletionEvent(), 0) == WAIT_TIMEOUT);
            CHECK(handler->ActivateCompleted(row.nullOperation ? nullptr : &operation) == S_OK);
            CHECK(handler->Status() == row.status);
            CHECK((handler->AudioClient() != nullptr) == row.hasClient);
            // Signalled once: the wait takes the signal and the event resets itself.
            CHECK(WaitForSingleObject(handler->CompletionEvent(), 0) == WAIT_OBJECT_0);
            CHECK(WaitForSingleObject(handler->CompletionEvent(), 0) == WAIT_TIMEOUT);
            // The returned object was released; only the kept client reference remains.
            CHECK(object.refs == (row.hasClient ? 2u : 1u));
        }
        CHECK(object.refs == 1); // the handler's destruction released the client
    }

    currentCase = "second completion replaces the client";
    FakeObject first(true), second(true);
    FakeOperation one(S_OK, S_OK, &first), two(S_OK, S_OK, &second);
    ComPtr<ActivationHandler> handler = NewHandler();
    handler->ActivateCompleted(&one);
    handler->ActivateCompleted(&two);
    CHECK(first.refs == 1 && second.refs == 2);
    CHECK(handler->AudioClient() == &second);
}

void TestConcurrentCounting() {
    currentCase = "concurrent counting";
    ComPtr<ActivationHandler> handler = NewHandler();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&handler] {
            for (int i = 0; i < 100000; ++i) {
                handler->AddRef();
                handler->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    CHECK(CountOf(static_cast<IMarshal*>(handler.Get())) == 1);
}

} // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        puts("CoInitializeEx failed");
        return 1;
    }
    TestIdentity(true);
    TestIdentity(false);
    TestMarshalerForwarding();
    TestWithoutMarshaler();
    TestActivateCompleted();
    TestConcurrentCounting();
    printf("%d failed checks\n", failures);
    return failures;
}
