#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "windows.h"

namespace {

using namespace std::chrono_literals;

template <class F>
bool Eventually(F done) {
    for (int i = 0; i < 10000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

pid_t ThreadTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool Sleeping(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

// True once every thread sits blocked in its wait: two full passes where all of them sleep, as
// nothing else in the test wakes them.
bool AllBlocked(const std::vector<std::atomic<pid_t>>& tids) {
    int passes = 0;
    return Eventually([&] {
        for (const auto& t : tids) {
            if (t == 0 || !Sleeping(t)) {
                passes = 0;
                return false;
            }
        }
        return ++passes >= 2;
    });
}

TEST(Events, ManualResetReleasesAllAndStaysSetAutoResetReleasesOne) {
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE single = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(manual && single);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));

    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            if (WaitForSingleObject(manual, INFINITE) == WAIT_OBJECT_0) ++woken;
        });
    }
    EXPECT_TRUE(SetEvent(manual));
    for (auto& t : threads) t.join();
    EXPECT_EQ(3, woken.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));

    threads.clear();
    std::atomic<int> singles{0};
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            if (WaitForSingleObject(single, INFINITE) == WAIT_OBJECT_0) ++singles;
        });
    }
    EXPECT_TRUE(SetEvent(single));
    EXPECT_TRUE(Eventually([&] { return singles == 1; }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(single, 0));  // consumed by the one waiter
    EXPECT_EQ(1, singles.load());
    EXPECT_TRUE(SetEvent(single));
    for (auto& t : threads) t.join();
    EXPECT_EQ(2, singles.load());

    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(manual);
    CloseHandle(single);
}

TEST(Events, PulseReleasesTheWaitersOfThatMomentAndLeavesItReset) {
    for (BOOL manualReset : {TRUE, FALSE}) {
        HANDLE event = CreateEventW(nullptr, manualReset, FALSE, nullptr);
        EXPECT_TRUE(PulseEvent(event));  // nobody waiting: nothing remains set
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));

        std::vector<std::atomic<pid_t>> tids(3);
        std::atomic<int> released{0};
        std::vector<std::thread> threads;
        for (auto& tid : tids) {
            threads.emplace_back([&] {
                tid = ThreadTid();
                if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
            });
        }
        ASSERT_TRUE(AllBlocked(tids));
        EXPECT_TRUE(PulseEvent(event));
        int expected = manualReset ? 3 : 1;
        EXPECT_TRUE(Eventually([&] { return released == expected; })) << "manual " << manualReset;
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
        EXPECT_EQ(expected, released.load());
        while (released < 3) {  // let the rest go, one set at a time for the auto-reset event
            int before = released;
            SetEvent(event);
            ASSERT_TRUE(Eventually([&] { return released > before; }));
        }
        for (auto& t : threads) t.join();
        CloseHandle(event);
    }
}

TEST(Semaphores, CountsLimitsAndPreviousCount) {
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, -1, 3, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 4, 3, nullptr));
    EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 0, 0, nullptr));

    HANDLE sem = CreateSemaphoreW(nullptr, 1, 3, nullptr);
    ASSERT_NE(nullptr, sem);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(sem, 2, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_FALSE(ReleaseSemaphore(sem, 1, &previous));
    EXPECT_EQ(ERROR_TOO_MANY_POSTS, GetLastError());
    EXPECT_FALSE(ReleaseSemaphore(sem, 0, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, 0)) << i;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(sem, 0));

    // A waiter is released by a post from another thread.
    std::thread poster([&] { ReleaseSemaphore(sem, 1, nullptr); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, INFINITE));
    poster.join();
    CloseHandle(sem);

    HANDLE wide = CreateSemaphoreW(nullptr, 1, INT32_MAX, nullptr);
    EXPECT_FALSE(ReleaseSemaphore(wide, INT32_MAX, &previous));  // would overflow the count
    EXPECT_EQ(ERROR_TOO_MANY_POSTS, GetLastError());
    EXPECT_TRUE(ReleaseSemaphore(wide, INT32_MAX - 1, &previous));
    EXPECT_EQ(1, previous);
    CloseHandle(wide);
}

TEST(Mutexes, RecursiveOwnershipAndNotOwner) {
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // owner may take it again
    std::thread other([&] {
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
    });
    other.join();
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread stillHeld([&] { EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0)); });
    stillHeld.join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
    std::thread takes([&] {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        EXPECT_TRUE(ReleaseMutex(m));
    });
    takes.join();
    CloseHandle(m);
}

DWORD WINAPI TakeAndLeave(LPVOID param) {
    WaitForSingleObject(static_cast<HANDLE>(param), INFINITE);
    return 0;
}

TEST(Mutexes, OwnerEndingAbandonsTheMutex) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, TakeAndLeave, m, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // owned now, and the mark is gone
    std::thread other([&] { EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0)); });
    other.join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(thread);

    // Also for threads the layer did not start, and reported at the mutex's index.
    std::thread foreign([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0)); });
    foreign.join();
    HANDLE idle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[2] = {idle, m};
    EXPECT_EQ(WAIT_ABANDONED + 1, WaitForMultipleObjects(2, both, FALSE, 0));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(idle);
    CloseHandle(m);
}

TEST(Waits, AnyTakesTheLowestSignalledIndex) {
    HANDLE e[3];
    for (auto& h : e) h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(e[1]);
    SetEvent(e[2]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, e, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, e, FALSE, 0));  // only e[1] was consumed
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, e, FALSE, 0));
    std::thread setter([&] { SetEvent(e[0]); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, e, FALSE, INFINITE));
    setter.join();
    for (auto& h : e) CloseHandle(h);
}

TEST(Waits, AllTakesEverythingAtOnceOrNothing) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE sem = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    HANDLE pair[2] = {event, sem};

    std::vector<std::atomic<pid_t>> tid(1);
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        tid[0] = ThreadTid();
        result = WaitForMultipleObjects(2, pair, TRUE, INFINITE);
    });
    ASSERT_TRUE(AllBlocked(tid));
    SetEvent(event);
    // The waiter must not hold the event while the semaphore is still missing.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    SetEvent(event);
    ReleaseSemaphore(sem, 1, nullptr);
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(sem, 0));

    HANDLE twice[2] = {event, event};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, twice, TRUE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(event);
    CloseHandle(sem);
}

class WaitErrors : public DeviceRootTest {};

TEST_F(WaitErrors, BadCountsAndHandlesFail) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, many.data(), FALSE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0));

    HANDLE withBad[2] = {event, reinterpret_cast<HANDLE>(0x7777777)};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, withBad, FALSE, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    HANDLE file = CreateFileW(u"\\NAND Flash\\w.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(file, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(file);

    CloseHandle(event);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST(CriticalSections, RecursiveAndGuardedAgainstForeignLeave) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    auto tryOther = [&] {
        BOOL got = FALSE;
        std::thread t([&] {
            LeaveCriticalSection(&cs);  // not the holder: must change nothing
            got = TryEnterCriticalSection(&cs);
            if (got) LeaveCriticalSection(&cs);
        });
        t.join();
        return got;
    };
    EXPECT_FALSE(tryOther());
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(tryOther());
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(tryOther());
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, WrapAndCompare) {
    LONG volatile value = INT32_MAX;
    EXPECT_EQ(INT32_MIN, InterlockedIncrement(&value));
    EXPECT_EQ(INT32_MAX, InterlockedDecrement(&value));
    EXPECT_EQ(INT32_MAX, InterlockedExchange(&value, 5));
    EXPECT_EQ(5, InterlockedCompareExchange(&value, 9, 4));  // no match: unchanged
    EXPECT_EQ(5, value);
    EXPECT_EQ(5, InterlockedCompareExchange(&value, 9, 5));
    EXPECT_EQ(9, value);
}

}  // namespace
