// Work that may block for a long time (a WMI call to a computer that does not
// answer, a whole check) runs on a worker thread in the multithreaded
// apartment while the caller waits for it no longer than a time-out. When
// the time runs out the worker is not killed (that could leave a heap or the
// loader lock held): the caller abandons it, and the worker finishes on its
// own. The work object is shared by reference count, so whatever the worker
// touches stays valid until it is done, and the DLL stays loaded until the
// worker's last instruction.
//
//   class Fetch final : public com::BoundedWork {
//       HRESULT Run() noexcept override { ... }         // on the worker
//       void Abandoned() noexcept override { ... }      // release what nobody will take
//   };
//   auto* work = new (std::nothrow) Fetch(...);
//   HRESULT hr = work->Start(timeoutMs, false);          // Run's result, or the time-out
//   work->Release();
#pragma once

#include <windows.h>

#include <atomic>

#include "Raii.h"

namespace com {

// ERROR_TIMEOUT as an HRESULT: what Start returns when the time ran out.
constexpr HRESULT kTimeoutResult = static_cast<HRESULT>(0x800705B4);

class BoundedWork {
public:
    BoundedWork() noexcept;
    BoundedWork(const BoundedWork&) = delete;
    BoundedWork& operator=(const BoundedWork&) = delete;

    // The creator holds the first reference.
    void AddRef() noexcept { ++refs_; }
    void Release() noexcept {
        if (--refs_ == 0) delete this;
    }

    // Runs Run on a worker thread that has joined the multithreaded
    // apartment and waits for it at most timeoutMs (INFINITE: no limit).
    // pumpMessages: wait the way COM waits for an outgoing call, so that a
    // single-threaded apartment keeps dispatching its messages. Returns Run's
    // result when it finished in time, kTimeoutResult when the time ran out
    // (Abandoned then runs on the worker once Run returns), or the failure
    // that kept the worker from starting. Call once.
    HRESULT Start(DWORD timeoutMs, bool pumpMessages) noexcept;

protected:
    virtual ~BoundedWork();

    // The work, on the worker, inside the multithreaded apartment.
    virtual HRESULT Run() noexcept = 0;
    // On the worker after Run, when the caller has given up: release what
    // the caller would have taken.
    virtual void Abandoned() noexcept {}

private:
    enum State : LONG { kWaiting, kFinished, kAbandoned };
    static VOID CALLBACK Worker(PTP_CALLBACK_INSTANCE instance, void* parameter);
    // Moves the state on from kWaiting; returns the state found.
    LONG Leave(State next) noexcept { return InterlockedCompareExchange(&state_, next, kWaiting); }

    std::atomic<ULONG> refs_{1};
    volatile LONG state_ = kWaiting;
    HRESULT result_ = E_FAIL;
    UniqueHandle done_;
    HMODULE pinned_ = nullptr;  // this DLL, held by the worker until it ends
};

}  // namespace com
