#include "Lock.h"

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
    const DWORD start = GetTickCount();
    for (;;) {
        if (TryEnterCriticalSection(&section_)) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
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
CRITICAL_SECTION* WineWmiSection() noexcept {
    static CRITICAL_SECTION section = [] {
        CRITICAL_SECTION s;
        InitializeCriticalSection(&s);
        return s;
    }();
    return &section;
}
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

CWmiCallGuard::CWmiCallGuard(bool serialise) noexcept : held_(serialise) {
    if (held_) EnterCriticalSection(WineWmiSection());
}

CWmiCallGuard::~CWmiCallGuard() {
    if (held_) LeaveCriticalSection(WineWmiSection());
}
