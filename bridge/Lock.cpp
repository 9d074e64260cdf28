#include "Lock.h"

#include <new>

#include "../common/BoundedWork.h"

CMutex::CMutex() noexcept { valid_ = InitializeCriticalSectionAndSpinCount(&section_, 0) != FALSE; }

CMutex::~CMutex() {
    if (!valid_) return;
    if (held == 1) {
        Unlock();
        InterlockedCompareExchange(&held, 0, 1);
    }
    DeleteCriticalSection(&section_);
    valid_ = false;
}

bool CMutex::Lock(DWORD timeoutMs) {
    if (!valid_) return false;
    if (timeoutMs == INFINITE) {
        EnterCriticalSection(&section_);
        return true;
    }
    const ULONGLONG start = com::MonotonicMs();
    for (;;) {
        if (TryEnterCriticalSection(&section_)) return true;
        if (com::MonotonicMs() - start >= timeoutMs) return false;
        Sleep(1);
    }
}

void CMutex::Unlock() {
    if (valid_) LeaveCriticalSection(&section_);
}

CAutoLock::CAutoLock(CLock& lock) noexcept : lock_(&lock) {
    acquired_ = lock_->Lock(INFINITE);
    if (acquired_) marked_ = InterlockedCompareExchange(&lock_->held, 1, 0) == 0;
}

CAutoLock::~CAutoLock() {
    if (!acquired_) return;
    if (marked_) InterlockedCompareExchange(&lock_->held, 0, 1);
    lock_->Unlock();
}


namespace {

// The process-wide lock for Wine's WMI, and the references that threads
// could not release because another thread held it.
class WineWmiLock {
public:
    static WineWmiLock& Get() noexcept {
        static WineWmiLock lock;
        return lock;
    }

    // Enters within timeoutMs; *waitedMs: how long that took (0 at once).
    bool Enter(DWORD timeoutMs, DWORD* waitedMs) noexcept {
        *waitedMs = 0;
        if (TryEnterCriticalSection(&section_)) return true;
        if (timeoutMs == INFINITE) {
            const ULONGLONG start = com::MonotonicMs();
            EnterCriticalSection(&section_);
            *waitedMs = static_cast<DWORD>(com::MonotonicMs() - start);
            return true;
        }
        const ULONGLONG start = com::MonotonicMs();
        for (;;) {
            Sleep(1);
            const ULONGLONG waited = com::MonotonicMs() - start;
            if (TryEnterCriticalSection(&section_)) {
                *waitedMs = static_cast<DWORD>(waited);
                return true;
            }
            if (waited >= timeoutMs) return false;
        }
    }

    // Releases what others left behind, then leaves. A reference left just
    // as the lock is let go is picked up here too, or by the thread that
    // left it, which tries the lock once more after leaving it.
    void Leave() noexcept {
        for (;;) {
            for (Pending* item = TakePending(); item;) {
                Pending* next = item->next;
                item->object->Release();
                delete item;
                item = next;
            }
            LeaveCriticalSection(&section_);
            if (!HasPending() || !TryEnterCriticalSection(&section_)) return;
        }
    }

    void Release(IUnknown* object) noexcept {
        if (TryEnterCriticalSection(&section_)) {
            object->Release();
            Leave();
            return;
        }
        auto* item = new (std::nothrow) Pending{object, nullptr};
        if (!item) {
            // Out of memory: waiting is better than a lost reference.
            EnterCriticalSection(&section_);
            object->Release();
            Leave();
            return;
        }
        EnterCriticalSection(&pendingLock_);
        item->next = pending_;
        pending_ = item;
        LeaveCriticalSection(&pendingLock_);
        if (TryEnterCriticalSection(&section_)) Leave();
    }

private:
    struct Pending {
        IUnknown* object;
        Pending* next;
    };

    WineWmiLock() noexcept {
        InitializeCriticalSection(&section_);
        InitializeCriticalSection(&pendingLock_);
    }
    // Lives as long as the process: a worker may still release through it
    // while the DLL's static objects are destroyed.
    ~WineWmiLock() = default;

    Pending* TakePending() noexcept {
        EnterCriticalSection(&pendingLock_);
        Pending* taken = pending_;
        pending_ = nullptr;
        LeaveCriticalSection(&pendingLock_);
        return taken;
    }
    bool HasPending() noexcept {
        EnterCriticalSection(&pendingLock_);
        const bool any = pending_ != nullptr;
        LeaveCriticalSection(&pendingLock_);
        return any;
    }

    CRITICAL_SECTION section_;
    CRITICAL_SECTION pendingLock_;  // guards pending_ only; never held across a call
    Pending* pending_ = nullptr;
};

}  // namespace

bool IsWineWmi(IUnknown* locator) noexcept {
    static const bool onWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!onWine || !locator) return false;
    // The module that implements the locator's methods: its virtual table
    // lies in the server's own image.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            *reinterpret_cast<LPCWSTR*>(locator), &module))
        return false;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
    return lstrcmpiW(name, L"wbemprox.dll") == 0;
}

CWmiCallGuard::CWmiCallGuard(bool serialise, DWORD timeoutMs) noexcept : wanted_(serialise) {
    if (wanted_) held_ = WineWmiLock::Get().Enter(timeoutMs, &waitedMs_);
}

CWmiCallGuard::~CWmiCallGuard() {
    if (held_) WineWmiLock::Get().Leave();
}

void ReleaseWmiObject(bool serialise, IUnknown* object) noexcept {
    if (!object) return;
    if (!serialise) object->Release();
    else WineWmiLock::Get().Release(object);
}
