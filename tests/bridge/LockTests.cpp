// The per-object lock and its scope guard: nesting on one thread, exclusion
// between threads, and the held mark.
#include <atomic>
#include <functional>
#include <thread>

#include "../../common/BoundedWork.h"
#include "Lock.h"
#include "Wmi.h"
#include "QvWMIAccess.h"
#include "TestSupport.h"

namespace {

// Tries the lock once from another thread, without waiting, and reports
// whether it could be taken.
bool TakenByAnotherThread(CMutex& mutex) {
    bool taken = false;
    std::thread([&] {
        taken = mutex.Lock(0);
        if (taken) mutex.Unlock();
    }).join();
    return taken;
}

TEST(Lock, NestedGuardsOnOneThreadDoNotBlockAndExcludeOthersUntilTheOutermostEnds) {
    CMutex mutex;
    EXPECT_EQ(0, mutex.held);
    {
        CAutoLock outer(mutex);
        EXPECT_EQ(1, mutex.held);
        {
            CAutoLock inner(mutex);  // would deadlock with a non-recursive lock
            EXPECT_EQ(1, mutex.held);
            EXPECT_FALSE(TakenByAnotherThread(mutex));
        }
        EXPECT_EQ(1, mutex.held) << "the inner guard must not clear the outer guard's mark";
        EXPECT_FALSE(TakenByAnotherThread(mutex)) << "still held by the outer guard";
    }
    EXPECT_EQ(0, mutex.held);
    EXPECT_TRUE(TakenByAnotherThread(mutex));
}

TEST(Lock, SecondThreadWaitsForTheGuard) {
    CMutex mutex;
    std::atomic<bool> entered{false};
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter;
    {
        CAutoLock guard(mutex);
        waiter = std::thread([&] {
            SetEvent(started);
            CAutoLock guard(mutex);
            entered = true;
        });
        WaitForSingleObject(started, INFINITE);
        Sleep(100);
        EXPECT_FALSE(entered) << "entered while another thread held the guard";
    }
    waiter.join();
    EXPECT_TRUE(entered);
    CloseHandle(started);
}

TEST(Lock, FiniteTimeoutGivesUpWhileAnotherThreadHoldsTheLock) {
    CMutex mutex;
    CAutoLock guard(mutex);
    EXPECT_FALSE(TakenByAnotherThread(mutex));
    EXPECT_TRUE(mutex.Lock(0)) << "the owning thread re-enters at once";
    mutex.Unlock();
}

// The test's hook on the process-wide WMI lock: a thread of its own makes a
// call into Wine's WMI in a session, which takes the real lock, and holds
// the session open, as a slow call of Wine's WMI would, until released.
class WmiLockHolder {
public:
    WmiLockHolder() {
        HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        holder_ = std::thread([this, taken] {
            ComApartment apartment;
            IWbemLocator* created = nullptr;
            EXPECT_HR(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                             reinterpret_cast<void**>(&created)));
            wmi::Ref<IWbemLocator> locator(created, wmi::Serialised(created));
            EXPECT_TRUE(locator.Serialised()) << "Wine's own WMI is serialised";
            {
                wmi::Session session(INFINITE);
                wmi::Ref<IUnknown> unknown;
                EXPECT_HR(S_OK, session.As(locator, &unknown));
                SetEvent(taken);
                WaitForSingleObject(release_, INFINITE);
            }
        });
        WaitForSingleObject(taken, INFINITE);
        CloseHandle(taken);
    }
    ~WmiLockHolder() { Release(); }
    void Release() {
        SetEvent(release_);
        if (holder_.joinable()) holder_.join();
    }

private:
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder_;
};

// Under Wine the bridge's calls into Wine's WMI take the lock; while another
// thread holds it, each step fails with the time-out at its own limit, and
// releasing the bridge's objects does not wait: the references are let go
// when the holder lets go of the lock.
TEST(WineWmiLock, StepsEndAtTheirOwnLimitAndReleasesNeverWait) {
    ComApartment apartment;
    ComPtr<CQvWMIAccess> access = CQvWMIAccess::Make();
    ASSERT_TRUE(access);
    ASSERT_HR(S_OK, access->Initialize());
    ASSERT_HR(S_OK, access->put_Timeout(300));
    VARIANT none = MissingArgument();
    ComPtr<IQvWMIServer> server;
    ComPtr<IQvWMIClass> cls;
    ASSERT_HR(S_OK, access->Connect(none, none, none, none, none, none, none, &server));
    Bstr path(L"Win32_OperatingSystem");
    ASSERT_HR(S_OK, server->GetClass(path.get(), &cls));

    WmiLockHolder holder;
    const struct {
        const char* step;
        std::function<HRESULT()> call;
    } steps[] = {
        {"Connect", [&] {
             ComPtr<IQvWMIServer> other;
             return access->Connect(none, none, none, none, none, none, none, &other);
         }},
        {"GetClass", [&] {
             ComPtr<IQvWMIClass> other;
             return server->GetClass(path.get(), &other);
         }},
        {"Instances", [&] {
             ComPtr<IQvWMIInstanceCollection> instances;
             return cls->get_Instances(none, &instances);
         }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        const ULONGLONG start = GetTickCount64();
        EXPECT_HR(static_cast<HRESULT>(0x800705B4), step.call());
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_GE(took, 290u);
        EXPECT_LT(took, 800u);
        // A worker that waited for the lock gives up at the same limit: none
        // is left behind (an abandoned one would block the next step).
        for (const ULONGLONG wait = GetTickCount64(); com::BoundedWork::Unfinished() && GetTickCount64() - wait < 200;)
            Sleep(1);
        EXPECT_EQ(0, com::BoundedWork::Unfinished());
    }
    const ULONGLONG start = GetTickCount64();
    cls.Reset();
    server.Reset();
    access.Reset();
    EXPECT_LT(GetTickCount64() - start, 100u) << "a release waited for the lock";
    holder.Release();
}

}  // namespace
