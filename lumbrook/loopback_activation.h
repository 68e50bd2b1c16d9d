// Asynchronous activation of the process-loopback audio client.
#pragma once

#include "capture_result.h"
#include "loopback_platform.h"

#include <atomic>
#include <wrl/client.h>

// Receives the platform's completion call, on a platform thread of its own choosing, and hands
// the outcome to the thread that waits on CompletionEvent(). It is agile and marshals through
// the free-threaded marshaler, so the platform calls it directly on any thread.
class ActivationHandler final : public IMarshal, public IActivateAudioInterfaceCompletionHandler {
  public:
    // Stores a new handler, reference count 1, in *handler; E_OUTOFMEMORY, and null, when the
    // object or its event cannot be made.
    static HRESULT Create(ActivationHandler** handler);

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetUnmarshalClass(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                   DWORD mshlflags, CLSID* pCid) override;
    STDMETHODIMP GetMarshalSizeMax(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                   DWORD mshlflags, DWORD* pSize) override;
    STDMETHODIMP MarshalInterface(IStream* pStm, REFIID riid, void* pv, DWORD dwDestContext,
                                  void* pvDestContext, DWORD mshlflags) override;
    STDMETHODIMP UnmarshalInterface(IStream* pStm, REFIID riid, void** ppv) override;
    STDMETHODIMP ReleaseMarshalData(IStream* pStm) override;
    STDMETHODIMP DisconnectObject(DWORD dwReserved) override;

    STDMETHODIMP ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Read by the waiting thread only after the completion event has been taken.
    HANDLE CompletionEvent() const { return completionEvent_; }
    HRESULT Status() const { return status_; }
    IAudioClient* AudioClient() const { return audioClient_.Get(); }

  private:
    ActivationHandler();
    virtual ~ActivationHandler();

    Microsoft::WRL::ComPtr<IMarshal> marshaler_;
    std::atomic<LONG> refCount_;
    HANDLE completionEvent_;
    HRESULT status_;
    Microsoft::WRL::ComPtr<IAudioClient> audioClient_;
};

// The activation's parameter record and the property that carries it. The platform may read
// both until the completion, so they live in the driver's frame for the whole run.
struct LoopbackRequest {
    AUDIOCLIENT_ACTIVATION_PARAMS params;
    PROPVARIANT property;
};

// Asks the platform (System32's mmdevapi.dll, bound at run time) for a loopback client that
// captures everything but the process tree of `excludePid`, and waits, without a time limit,
// for the completion. On kStageDone `audioClient` holds the driver's own reference; the driver
// owns every out-value either way.
CaptureResult
ActivateLoopbackClient(DWORD excludePid, LoopbackRequest& request,
                       Microsoft::WRL::ComPtr<ActivationHandler>& handler,
                       Microsoft::WRL::ComPtr<IActivateAudioInterfaceAsyncOperation>& operation,
                       Microsoft::WRL::ComPtr<IAudioClient>& audioClient);
