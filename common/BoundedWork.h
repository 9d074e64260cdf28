// Work that may block for a long time (a WMI call to a computer that does not
// answer, a whole check) runs on a worker thread in the multithreaded
// apartment while the caller waits for it no longer than a time-out. When
// the time runs out the worker is not killed (that could leave a heap or the
// loader lock held): the caller abandons it, and the worker finishes on its
// own. The work object is shared by reference count, so whatever the worker
// touches stays valid until it is done, and the DLL stays loaded until the
// worker's last instruction.
//
// Only abandoned work is bounded; work that is running is never refused, and
// the DLL's thread pool grows for it (past kMaxPoolThreads a work waits for a
// thread within its own deadline). A work is refused at once, as if its time
// had run out, while an abandoned work with the same target (a computer and
// namespace, say) has not returned, or while MaxAbandoned() abandoned works
// of the DLL have not. So a stuck target costs a thread per call that was
// already running when it stuck, and never the caller's whole deadline; a
// target with nothing abandoned is refused only past the process-wide bound.
//
//   class Fetch final : public com::BoundedWork {
//       HRESULT Run() noexcept override { ... }         // on the worker
//       void Abandoned() noexcept override { ... }      // release what nobody will take
//   };
//   auto* work = new (std::nothrow) Fetch(...);
//   HRESULT hr = work->Start(timeoutMs, false, target);  // Run's result, the time-out or a refusal
//   work->Release();
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "Raii.h"

namespace com {

// ERROR_TIMEOUT as an HRESULT: what Start returns when the time ran out, and
// when the work was refused for abandoned work that has not returned.
constexpr HRESULT kTimeoutResult = static_cast<HRESULT>(0x800705B4);
// ERROR_BUSY: the plug-in's answer to a call nested inside a running one.
constexpr HRESULT kBusyResult = static_cast<HRESULT>(0x800700AA);

// Each worker of a DLL's pool reserves this much address space for its
// stack, whatever the host's executable asks for (Windows honours this; Wine
// 8 gives every worker the executable's reserve): what a thread costs, and so
// what the bounds below cost.
constexpr SIZE_T kWorkerStackReserve = 1024 * 1024;

// The most abandoned works of one DLL that may be unfinished before every new
// work is refused, and the most workers of its pool (running work plus
// abandoned work). Each abandoned work holds a thread and its stack reserve
// until its call returns (a computer that is down fails its connection after
// about 21 s on Windows). A fleet of 500 computers with one in ten down, each
// checked by 4 host threads at once, abandons 200.
// x86: 768 workers reserve 768 MiB, well inside a 32-bit process's 2 GiB (4
// GiB for a large-address-aware host under 64-bit Windows).
// x64: 4,608 workers reserve 4.5 GiB of a 128 TiB address space; what they
// commit is the part of their stacks they use and their thread blocks.
#if defined(_WIN64)
constexpr int kMaxAbandoned = 4096;
constexpr DWORD kMaxRunningWorkers = 512;
#else
constexpr int kMaxAbandoned = 512;
constexpr DWORD kMaxRunningWorkers = 256;
#endif
constexpr DWORD kMaxPoolThreads = kMaxRunningWorkers + kMaxAbandoned;

// The bound in force: kMaxAbandoned, unless the environment variable
// QVWMI_TEST_MAX_ABANDONED, read when the DLL loads, gives a lower positive
// figure. For tests only: it lets a test reach the bound without hundreds of
// stuck threads; it never raises the bound.
int MaxAbandoned() noexcept;

// Milliseconds on a clock that only moves forward (the system's tick count),
// for deadlines and ages: unlike the wall clock, no clock change moves it.
inline ULONGLONG MonotonicMs() noexcept { return GetTickCount64(); }

class BoundedWork {
public:
    // Why Start refused a work.
    enum class Refusal { kNone, kTargetStuck, kTooManyAbandoned };

    BoundedWork() noexcept;
    BoundedWork(const BoundedWork&) = delete;
    BoundedWork& operator=(const BoundedWork&) = delete;

    // The creator holds the first reference.
    void AddRef() noexcept { ++refs_; }
    void Release() noexcept {
        if (--refs_ == 0) delete this;
    }

    // Runs Run on a worker thread of the DLL's pool that has joined the
    // multithreaded apartment and waits for it at most timeoutMs (INFINITE:
    // no limit). pumpMessages: wait the way COM waits for an outgoing call,
    // so that a single-threaded apartment keeps dispatching its messages.
    // target: what the work talks to, compared without case; null or empty
    // for none. Returns Run's result when it finished in time,
    // kTimeoutResult when the time ran out (Abandoned then runs on the
    // worker once Run returns; when no worker had begun Run by then, Run
    // never runs and the target is not held up; nor does a worker begin Run
    // once the time has run out or the caller has given up) or when the work was refused (Refused()
    // then says why and Blocker...() names the work in the way), the
    // failure of the wait itself (a message filter that cancels it, say; the
    // worker is abandoned likewise), or the failure that kept the worker
    // from starting. Call once.
    HRESULT Start(DWORD timeoutMs, bool pumpMessages, const wchar_t* target = nullptr) noexcept;

    // After Start: why the work was refused, kNone when it was not.
    Refusal Refused() const noexcept { return refusal_; }
    // After a refusal: the target of the abandoned work that stood in the
    // way (the oldest one when too many were abandoned) and how long it has
    // run.
    const std::wstring& BlockerTarget() const noexcept { return blockerTarget_; }
    ULONGLONG BlockerRunningMs() const noexcept { return blockerRunningMs_; }
    // After a refusal: the abandoned works of the DLL that had not returned.
    int AbandonedAtRefusal() const noexcept { return abandonedAtRefusal_; }

    // Works of this DLL admitted and not finished yet, abandoned included.
    static int Unfinished() noexcept;
    // Abandoned works of this DLL that have not returned yet.
    static int AbandonedUnfinished() noexcept;

protected:
    virtual ~BoundedWork();

    // The work, on the worker, inside the multithreaded apartment. Never
    // called once the caller's time is up.
    virtual HRESULT Run() noexcept = 0;
    // What is left of the caller's wait, for Run's own bounded steps: 0
    // once it has passed, INFINITE when the caller waits without a limit.
    DWORD RemainingMs() const noexcept;
    // On the worker after Run, when the caller has given up: release what
    // the caller would have taken.
    virtual void Abandoned() noexcept {}

private:
    enum State : LONG { kWaiting, kFinished, kAbandoned };
    friend class WorkRegistry;
    static VOID CALLBACK Worker(PTP_CALLBACK_INSTANCE instance, void* parameter);
    // Moves the state on from kWaiting; returns the state found.
    LONG Leave(State next) noexcept { return InterlockedCompareExchange(&state_, next, kWaiting); }
    HRESULT Wait(DWORD timeoutMs, bool pumpMessages) noexcept;

    std::atomic<ULONG> refs_{1};
    volatile LONG state_ = kWaiting;
    HRESULT result_ = E_FAIL;
    DWORD timeoutMs_ = INFINITE;  // the caller's wait, from startedMs_
    UniqueHandle done_;
    HMODULE pinned_ = nullptr;  // this DLL, held by the worker until it ends
    Refusal refusal_ = Refusal::kNone;

    // Kept by the DLL's registry of unfinished works, under its lock.
    std::wstring target_;
    ULONGLONG startedMs_ = 0;
    bool listed_ = false;
    bool began_ = false;      // the worker has started Run
    bool cancelled_ = false;  // given up (or out of time) before Run began: Run never runs
    bool abandoned_ = false;  // given up while Run ran: listed among the abandoned
    BoundedWork* nextAbandoned_ = nullptr;
    DWORD workerThread_ = 0;  // the worker's thread while it runs Run
    std::wstring blockerTarget_;
    ULONGLONG blockerRunningMs_ = 0;
    int abandonedAtRefusal_ = 0;
};

}  // namespace com
