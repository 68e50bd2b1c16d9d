#include "loopback_activation.h"

#include <new>

using Microsoft::WRL::ComPtr;

HRESULT ActivationHandler::Create(ActivationHandler** handler) {
    *handler = new (std::nothrow) ActivationHandler();
    if (*handler != nullptr && (*handler)->completionEvent_ == nullptr) {
        // Without its event the handler could not tell the waiting thread anything.
        (*handler)->Release();
        *handler = nullptr;
    }
    return *handler != nullptr ? S_OK : E_OUTOFMEMORY;
}

ActivationHandler::ActivationHandler() : refCount_(1), status_(E_UNEXPECTED) {
    ComPtr<IUnknown> freeThreaded;
    if (SUCCEEDED(CoCreateFreeThreadedMarshaler(nullptr, &freeThreaded))) {
        // On failure the marshaler stays empty and the IMarshal methods answer E_OUTOFMEMORY.
        freeThreaded.As(&marshaler_);
    }
    completionEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

ActivationHandler::~ActivationHandler() {
    audioClient_.Reset();
    marshaler_.Reset();
    if (completionEvent_ != nullptr) {
        CloseHandle(completionEvent_);
    }
}

STDMETHODIMP ActivationHandler::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IAgileObject) ||
        riid == __uuidof(IMarshal)) {
        *object = static_cast<IMarshal*>(this);
    } else if (riid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) ActivationHandler::AddRef() {
    return static_cast<ULONG>(refCount_.fetch_add(1) + 1);
}

STDMETHODIMP_(ULONG) ActivationHandler::Release() {
    const LONG remaining = refCount_.fetch_sub(1) - 1;
    if (remaining == 0) {
        delete this;
    }
    return static_cast<ULONG>(remaining);
}

STDMETHODIMP ActivationHandler::GetUnmarshalClass(REFIID riid, void* pv, DWORD dwDestContext,
                                                  void* pvDestContext, DWORD mshlflags,
                                                  CLSID* pCid) {
    return marshaler_ ? marshaler_->GetUnmarshalClass(riid, pv, dwDestContext, pvDestContext,
                                                      mshlflags, pCid)
                      : E_OUTOFMEMORY;
}

STDMETHODIMP ActivationHandler::GetMarshalSizeMax(REFIID riid, void* pv, DWORD dwDestContext,
                                                  void* pvDestContext, DWORD mshlflags,
                                                  DWORD* pSize) {
    return marshaler_ ? marshaler_->GetMarshalSizeMax(riid, pv, dwDestContext, pvDestContext,
                                                      mshlflags, pSize)
                      : E_OUTOFMEMORY;
}

STDMETHODIMP ActivationHandler::MarshalInterface(IStream* pStm, REFIID riid, void* pv,
                                                 DWORD dwDestContext, void* pvDestContext,
                                                 DWORD mshlflags) {
    return marshaler_ ? marshaler_->MarshalInterface(pStm, riid, pv, dwDestContext, pvDestContext,
                                                     mshlflags)
                      : E_OUTOFMEMORY;
}

STDMETHODIMP ActivationHandler::UnmarshalInterface(IStream* pStm, REFIID riid, void** ppv) {
    return marshaler_ ? marshaler_->UnmarshalInterface(pStm, riid, ppv) : E_OUTOFMEMORY;
}

STDMETHODIMP ActivationHandler::ReleaseMarshalData(IStream* pStm) {
    return marshaler_ ? marshaler_->ReleaseMarshalData(pStm) : E_OUTOFMEMORY;
}

STDMETHODIMP ActivationHandler::DisconnectObject(DWORD dwReserved) {
    return marshaler_ ? marshaler_->DisconnectObject(dwReserved) : E_OUTOFMEMORY;
}

// Every path stores an outcome and signals the event, so the unbounded wait always ends once
// the platform calls back.
STDMETHODIMP
ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    HRESULT activateResult = E_UNEXPECTED;
    ComPtr<IUnknown> activated;
    HRESULT outcome = operation != nullptr
                          ? operation->GetActivateResult(&activateResult, &activated)
                          : E_POINTER;
    if (SUCCEEDED(outcome) && FAILED(activateResult)) {
        outcome = activateResult;
    } else if (SUCCEEDED(outcome)) {
        audioClient_.Reset();
        outcome = activated ? activated.As(&audioClient_) : E_POINTER;
    }
    status_ = outcome;
    SetEvent(completionEvent_);
    return S_OK;
}

namespace {

// mmdevapi.dll is not one of the system's known DLLs: imported, or loaded by name alone, it
// would be looked for beside the program first, where anyone who can write there could plant
// one. It is taken from System32 only. The function is the one exported as ordinal 17.
decltype(&ActivateAudioInterfaceAsync) BindActivateAudioInterfaceAsync() {
    const HMODULE mmdevapi = LoadLibraryExW(L"mmdevapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (mmdevapi == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<decltype(&ActivateAudioInterfaceAsync)>(
        reinterpret_cast<void*>(GetProcAddress(mmdevapi, "ActivateAudioInterfaceAsync")));
}

} // namespace

CaptureResult ActivateLoopbackClient(DWORD excludePid, LoopbackRequest& request,
                                     ComPtr<ActivationHandler>& handler,
                                     ComPtr<IActivateAudioInterfaceAsyncOperation>& operation,
                                     ComPtr<IAudioClient>& audioClient) {
    request.params = {};
    request.params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    request.params.ProcessLoopbackParams.TargetProcessId = excludePid;
    request.params.ProcessLoopbackParams.ProcessLoopbackMode =
        PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    request.property = {};
    request.property.vt = VT_BLOB;
    request.property.blob.cbSize = sizeof(request.params);
    request.property.blob.pBlobData = reinterpret_cast<BYTE*>(&request.params);

    const auto activateAudioInterfaceAsync = BindActivateAudioInterfaceAsync();
    if (activateAudioInterfaceAsync == nullptr) {
        return kActivationRequest;
    }
    if (FAILED(ActivationHandler::Create(&handler))) {
        return kActivationRequest;
    }
    if (FAILED(activateAudioInterfaceAsync(
            VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, __uuidof(IAudioClient), &request.property,
            static_cast<IActivateAudioInterfaceCompletionHandler*>(handler.Get()), &operation))) {
        return kActivationRequest;
    }
    WaitForSingleObject(handler->CompletionEvent(), INFINITE);
    if (FAILED(handler->Status()) || handler->AudioClient() == nullptr) {
        return kActivationOutcome;
    }
    audioClient = handler->AudioClient();
    return kStageDone;
}
