// Each bridge object's own lock and the scope guard that holds it.
// CMutex wraps a critical section: recursive for its owning thread, and far
// cheaper than a kernel mutex for objects that every value read locks.
#pragma once

#include <windows.h>

class CLock {
public:
    // True when the lock was acquired within timeoutMs (INFINITE: no limit).
    virtual bool Lock(DWORD timeoutMs) = 0;
    virtual void Unlock() = 0;
    virtual ~CLock() = default;

    // 1 while the lock is held through a guard, else 0; touched only with
    // InterlockedCompareExchange.
    volatile LONG held = 0;
};

class CMutex : public CLock {
public:
    CMutex() noexcept;
    ~CMutex() override;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    bool Lock(DWORD timeoutMs) override;
    void Unlock() override;

private:
    CRITICAL_SECTION section_;
    bool valid_ = false;  // false when the section could not be initialised
};

// Holds a lock for its scope. Guards nest on one thread; the outermost one
// marks the lock held and clears the mark when it ends.
class CAutoLock {
public:
    explicit CAutoLock(CLock& lock) noexcept;
    virtual ~CAutoLock();
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CLock* lock_;
    bool acquired_ = false;
    bool marked_ = false;  // this guard set held from 0 to 1
};
