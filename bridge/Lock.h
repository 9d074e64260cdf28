// Each bridge object's own lock and the scope guard that holds it.
// CMutex wraps a critical section: recursive for its owning thread, and far
// cheaper than a kernel mutex for objects that every value read locks.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

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

// Wine's in-process WMI corrupts its heap when two threads call into it at
// once (two checks on two threads crash within seconds, with WMI's own
// interfaces alone). Calls into it are therefore serialised by one
// process-wide lock, taken only when the process runs on Wine and the locator
// is Wine's own: another WMI (Windows', or a test double that stalls on
// purpose) is thread-safe and must never hold up other threads. On Windows
// the lock is never taken.
bool IsWineWmi(IUnknown* locator) noexcept;

// Holds the process-wide WMI lock for its scope when serialise is true; does
// nothing otherwise. Recursive on one thread. Never held while waiting for a
// worker: the worker takes it for its own calls.
//
// The wait for the lock is bounded by the step's time: a call that another
// thread holds up (a slow query of Wine's WMI, or a call that never returns)
// makes the step fail with its time-out, never wait past it. INFINITE is
// only for a step that its caller asked to run without a limit.
class CWmiCallGuard {
public:
    CWmiCallGuard(bool serialise, DWORD timeoutMs) noexcept;
    ~CWmiCallGuard();
    CWmiCallGuard(const CWmiCallGuard&) = delete;
    CWmiCallGuard& operator=(const CWmiCallGuard&) = delete;

    // False when the lock was needed and not had in time: the step must not
    // call WMI and fails with the time-out.
    bool ok() const noexcept { return !wanted_ || held_; }
    // How long the wait took, 0 when the lock was free at once; the step has
    // that much less time left.
    DWORD WaitedMs() const noexcept { return waitedMs_; }

private:
    bool wanted_;
    bool held_ = false;
    DWORD waitedMs_ = 0;
};

// A step's time-out in milliseconds as a bound for the lock: -1 (no limit)
// is INFINITE, any other negative value has run out.
inline DWORD WmiLockLimit(long timeoutMs) noexcept {
    return timeoutMs == -1 ? INFINITE : timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
}

// Releases a reference to an object of a WMI that serialise says is
// serialised, without waiting for the lock: at once when it is free, else by
// the thread that holds it, when it lets go. Takes the reference over. The
// bridge's objects release their WMI objects this way, so that a release
// (on a check's worker, say) never waits on a call that does not return.
void ReleaseWmiObject(bool serialise, IUnknown* object) noexcept;

template <class T>
void ReleaseWmi(bool serialise, Microsoft::WRL::ComPtr<T>& pointer) noexcept {
    ReleaseWmiObject(serialise, pointer.Detach());
}
