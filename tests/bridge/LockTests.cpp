// The per-object lock and its scope guard: nesting on one thread, exclusion
// between threads, and the held mark.
#include <atomic>
#include <thread>

#include "Lock.h"
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

}  // namespace
