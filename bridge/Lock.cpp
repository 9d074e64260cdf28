#include "Lock.h"

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
