#include "BoundedWork.h"

#include <objbase.h>

#include "ComModule.h"
#include "HResult.h"

namespace com {

BoundedWork::BoundedWork() noexcept { ThisModule().Lock(); }

BoundedWork::~BoundedWork() { ThisModule().Unlock(); }

VOID CALLBACK BoundedWork::Worker(PTP_CALLBACK_INSTANCE instance, void* parameter) {
    auto* work = static_cast<BoundedWork*>(parameter);
    // The pin taken by Start is given back only once this callback has
    // returned, so the DLL cannot unload under the worker's feet.
    FreeLibraryWhenCallbackReturns(instance, work->pinned_);
    // The pool may then start other threads for other work.
    CallbackMayRunLong(instance);

    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    work->result_ = SUCCEEDED(joined) ? work->Run() : joined;
    if (work->Leave(kFinished) == kAbandoned) work->Abandoned();
    SetEvent(work->done_.get());
    work->Release();  // may free the work: COM must still be up for its members
    if (SUCCEEDED(joined)) CoUninitialize();
}

HRESULT BoundedWork::Start(DWORD timeoutMs, bool pumpMessages) noexcept {
    done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done_) return HResultFromLastError();
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker), &pinned_))
        return HResultFromLastError();
    AddRef();  // the worker's reference
    if (!TrySubmitThreadpoolCallback(Worker, this, nullptr)) {
        const HRESULT hr = HResultFromLastError();
        Release();
        FreeLibrary(pinned_);
        return hr;
    }

    DWORD waited;
    if (pumpMessages) {
        DWORD index = 0;
        HANDLE handle = done_.get();
        const HRESULT hr = CoWaitForMultipleHandles(0, timeoutMs, 1, &handle, &index);
        if (hr == CO_E_NOTINITIALIZED)  // outside any apartment there is nothing to pump
            waited = WaitForSingleObject(handle, timeoutMs);
        else
            waited = hr == S_OK ? WAIT_OBJECT_0 : hr == RPC_S_CALLPENDING ? WAIT_TIMEOUT : WAIT_FAILED;
    } else {
        waited = WaitForSingleObject(done_.get(), timeoutMs);
    }
    // The worker may finish just as the caller gives up: then its result
    // is the caller's after all.
    if (waited != WAIT_OBJECT_0 && Leave(kAbandoned) == kWaiting)
        return waited == WAIT_TIMEOUT ? kTimeoutResult : E_FAIL;
    return result_;
}

}  // namespace com
