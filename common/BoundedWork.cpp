#include "BoundedWork.h"

#include <objbase.h>

#include <cwchar>
#include <new>

#include "ComModule.h"
#include "HResult.h"

namespace com {
namespace {

// CoCancelCall, looked up in ole32 at run time. Windows' ole32 exports it;
// Wine's does not, and Wine's combase exports only an unimplemented stub
// that ends the process when called: under Wine there is nothing to call.
HRESULT CancelOutgoingCall(DWORD thread) noexcept {
    using Cancel = HRESULT(WINAPI*)(DWORD, ULONG);
    static const Cancel cancel = [] {
        HMODULE ole = GetModuleHandleW(L"ole32.dll");
        FARPROC found = ole ? GetProcAddress(ole, "CoCancelCall") : nullptr;
        return reinterpret_cast<Cancel>(reinterpret_cast<void (*)()>(found));
    }();
    return cancel ? cancel(thread, 0) : E_NOTIMPL;
}

int ReadMaxAbandoned() noexcept {
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(L"QVWMI_TEST_MAX_ABANDONED", text, 16);
    if (length == 0 || length >= 16) return kMaxAbandoned;
    const long lowered = std::wcstol(text, nullptr, 10);
    return lowered > 0 && lowered < kMaxAbandoned ? static_cast<int>(lowered) : kMaxAbandoned;
}

// Read once, as the DLL loads.
const int maxAbandoned = ReadMaxAbandoned();

}  // namespace

int MaxAbandoned() noexcept { return maxAbandoned; }

// The DLL's unfinished works and its thread pool. Every field is touched
// under lock_ only; the pool is made on first use and closed when the DLL
// unloads (its idle threads then end on their own).
class WorkRegistry {
public:
    static WorkRegistry& Get() noexcept {
        static WorkRegistry registry;
        return registry;
    }

    // Lists work, or says why not: kTimeoutResult for a refusal (the work's
    // Refused() says which), or the pool's creation failure. Only abandoned
    // works are looked at: running ones never stand in the way.
    HRESULT Admit(BoundedWork* work) noexcept {
        CriticalSectionGuard guard(lock_);
        if (!pool_) {
            pool_ = CreateThreadpool(nullptr);
            if (!pool_) return HResultFromLastError();
            SetThreadpoolThreadMaximum(pool_, kMaxPoolThreads);
            // The stack each worker reserves, not the host executable's.
            TP_POOL_STACK_INFORMATION stack = {};
            if (QueryThreadpoolStackInformation(pool_, &stack)) {
                stack.StackReserve = kWorkerStackReserve;
                if (stack.StackCommit > stack.StackReserve) stack.StackCommit = 0;
                SetThreadpoolStackInformation(pool_, &stack);
            }
            InitializeThreadpoolEnvironment(&environment_);
            SetThreadpoolCallbackPool(&environment_, pool_);
        }
        const ULONGLONG now = MonotonicMs();
        const BoundedWork* oldest = nullptr;
        for (const BoundedWork* other = abandoned_; other; other = other->nextAbandoned_) {
            if (!oldest || other->startedMs_ < oldest->startedMs_) oldest = other;
            if (!work->target_.empty() &&
                CompareStringOrdinal(other->target_.c_str(), -1, work->target_.c_str(), -1, TRUE) == CSTR_EQUAL)
                return Refuse(work, other, BoundedWork::Refusal::kTargetStuck, now, abandonedCount_);
        }
        if (abandonedCount_ >= maxAbandoned)
            return Refuse(work, oldest, BoundedWork::Refusal::kTooManyAbandoned, now, abandonedCount_);
        work->listed_ = true;
        work->startedMs_ = now;
        ++unfinished_;
        return S_OK;
    }

    void Unlist(BoundedWork* work) noexcept {
        CriticalSectionGuard guard(lock_);
        if (!work->listed_) return;
        work->listed_ = false;
        --unfinished_;
        if (!work->abandoned_) return;
        for (BoundedWork** link = &abandoned_; *link; link = &(*link)->nextAbandoned_) {
            if (*link != work) continue;
            *link = work->nextAbandoned_;
            work->nextAbandoned_ = nullptr;
            --abandonedCount_;
            break;
        }
    }

    // The caller has given up on work. Work that has not begun yet is
    // cancelled: it never runs, so it holds up nothing. Work that has
    // begun is listed as abandoned, holding up its target, and an outgoing
    // COM call that its worker is making is asked to end.
    void Abandon(BoundedWork* work) noexcept {
        CriticalSectionGuard guard(lock_);
        if (!work->listed_) return;
        if (!work->began_) {
            work->cancelled_ = true;
            return;
        }
        if (!work->abandoned_) {
            work->abandoned_ = true;
            work->nextAbandoned_ = abandoned_;
            abandoned_ = work;
            ++abandonedCount_;
        }
        // While listed the worker is inside Run or just after it, never on
        // other work, so the thread id still means this work's call.
        if (work->workerThread_) CancelOutgoingCall(work->workerThread_);
    }

    // The worker is about to run the work on thread; false when the caller
    // has given up (its wait leaves kWaiting before it takes this lock to
    // abandon the work) or its time is up (the caller's wait is then over
    // too, or ends at once).
    bool Begin(BoundedWork* work, DWORD thread) noexcept {
        CriticalSectionGuard guard(lock_);
        if (work->state_ != BoundedWork::kWaiting || work->RemainingMs() == 0) work->cancelled_ = true;
        if (work->cancelled_) return false;
        work->began_ = true;
        work->workerThread_ = thread;
        return true;
    }

    void EndRun(BoundedWork* work) noexcept {
        CriticalSectionGuard guard(lock_);
        work->workerThread_ = 0;
    }

    int Unfinished() noexcept {
        CriticalSectionGuard guard(lock_);
        return unfinished_;
    }
    int AbandonedUnfinished() noexcept {
        CriticalSectionGuard guard(lock_);
        return abandonedCount_;
    }

    PTP_CALLBACK_ENVIRON Environment() noexcept { return &environment_; }

private:
    WorkRegistry() = default;
    ~WorkRegistry() {
        // Not when the process is ending: its pool threads were killed, maybe
        // inside the pool's own lock, and closing the pool would wait on it
        // (under Wine the process then hung until the server killed it).
        if (pool_ && !ThisModule().ProcessTerminating()) CloseThreadpool(pool_);
    }

    static HRESULT Refuse(BoundedWork* work, const BoundedWork* blocker, BoundedWork::Refusal why, ULONGLONG now,
                          int abandoned) noexcept {
        work->refusal_ = why;
        work->abandonedAtRefusal_ = abandoned;
        work->blockerRunningMs_ = blocker ? now - blocker->startedMs_ : 0;
        try {
            if (blocker) work->blockerTarget_ = blocker->target_;
        } catch (const std::bad_alloc&) {
            work->blockerTarget_.clear();
        }
        return kTimeoutResult;
    }

    CriticalSection lock_;
    PTP_POOL pool_ = nullptr;
    TP_CALLBACK_ENVIRON environment_ = {};
    int unfinished_ = 0;
    BoundedWork* abandoned_ = nullptr;  // linked through nextAbandoned_
    int abandonedCount_ = 0;
};

int BoundedWork::Unfinished() noexcept { return WorkRegistry::Get().Unfinished(); }
int BoundedWork::AbandonedUnfinished() noexcept { return WorkRegistry::Get().AbandonedUnfinished(); }

DWORD BoundedWork::RemainingMs() const noexcept {
    if (timeoutMs_ == INFINITE) return INFINITE;
    const ULONGLONG passed = MonotonicMs() - startedMs_;
    return passed < timeoutMs_ ? static_cast<DWORD>(timeoutMs_ - passed) : 0;
}

BoundedWork::BoundedWork() noexcept { ThisModule().Lock(); }

BoundedWork::~BoundedWork() { ThisModule().Unlock(); }

VOID CALLBACK BoundedWork::Worker(PTP_CALLBACK_INSTANCE instance, void* parameter) {
    auto* work = static_cast<BoundedWork*>(parameter);
    WorkRegistry& registry = WorkRegistry::Get();
    // The pin taken by Start is given back only once this callback has
    // returned, so the DLL cannot unload under the worker's feet.
    FreeLibraryWhenCallbackReturns(instance, work->pinned_);
    CallbackMayRunLong(instance);

    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(joined)) {
        // Lets an abandoning caller cancel an outgoing call of Run's.
        const bool cancellable = SUCCEEDED(CoEnableCallCancellation(nullptr));
        if (registry.Begin(work, GetCurrentThreadId())) {
            work->result_ = work->Run();
            registry.EndRun(work);
        } else {
            work->result_ = kTimeoutResult;
        }
        if (cancellable) CoDisableCallCancellation(nullptr);
    } else {
        work->result_ = joined;
    }
    if (work->Leave(kFinished) == kAbandoned) work->Abandoned();
    // Free for the next work before the caller can see this one done.
    registry.Unlist(work);
    SetEvent(work->done_.get());
    work->Release();  // may free the work: COM must still be up for its members
    if (SUCCEEDED(joined)) CoUninitialize();
}

HRESULT BoundedWork::Start(DWORD timeoutMs, bool pumpMessages, const wchar_t* target) noexcept {
    try {
        if (target) target_ = target;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done_) return HResultFromLastError();
    timeoutMs_ = timeoutMs;
    WorkRegistry& registry = WorkRegistry::Get();
    RETURN_IF_FAILED(registry.Admit(this));
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker), &pinned_)) {
        const HRESULT hr = HResultFromLastError();
        registry.Unlist(this);
        return hr;
    }
    AddRef();  // the worker's reference
    if (!TrySubmitThreadpoolCallback(Worker, this, registry.Environment())) {
        const HRESULT hr = HResultFromLastError();
        registry.Unlist(this);
        Release();
        FreeLibrary(pinned_);
        return hr;
    }
    return Wait(timeoutMs, pumpMessages);
}

HRESULT BoundedWork::Wait(DWORD timeoutMs, bool pumpMessages) noexcept {
    HRESULT waited;
    HANDLE handle = done_.get();
    if (pumpMessages) {
        DWORD index = 0;
        waited = CoWaitForMultipleHandles(0, timeoutMs, 1, &handle, &index);
        if (waited == CO_E_NOTINITIALIZED)  // outside any apartment there is nothing to pump
            pumpMessages = false;
        else if (waited == RPC_S_CALLPENDING)
            waited = kTimeoutResult;
    }
    if (!pumpMessages) {
        const DWORD result = WaitForSingleObject(handle, timeoutMs);
        waited = result == WAIT_OBJECT_0 ? S_OK : result == WAIT_TIMEOUT ? kTimeoutResult : HResultFromLastError();
    }
    // The worker may finish just as the caller gives up: then its result
    // is the caller's after all.
    if (waited != S_OK && Leave(kAbandoned) == kWaiting) {
        WorkRegistry::Get().Abandon(this);
        return FAILED(waited) ? waited : E_FAIL;
    }
    return result_;
}

}  // namespace com
