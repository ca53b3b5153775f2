#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "windows.h"

namespace {

struct Job {
    HANDLE go = nullptr;
    std::atomic<bool> ran{false};
    std::atomic<DWORD> seenId{0};
    DWORD code = 0;
};

DWORD WINAPI RunJob(LPVOID param) {
    auto* job = static_cast<Job*>(param);
    job->seenId = GetCurrentThreadId();
    if (job->go) WaitForSingleObject(job->go, INFINITE);
    DWORD code = job->code;
    job->ran = true;  // the job may be gone right after this
    return code;
}

void LeaveEarly(DWORD code) { ExitThread(code); }

DWORD WINAPI ExitsFromDeep(LPVOID param) {
    auto* job = static_cast<Job*>(param);
    LeaveEarly(job->code);
    job->ran = true;  // never reached
    return 1;
}

TEST(Threads, ExitCodesIdsAndWaitableHandles) {
    Job job;
    job.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    job.code = 42;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, RunJob, &job, 0, &id);
    ASSERT_NE(nullptr, h);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));
    SetEvent(job.go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(42u, code);
    EXPECT_NE(0u, id);
    EXPECT_EQ(id, job.seenId.load());
    EXPECT_NE(id, GetCurrentThreadId());
    CloseHandle(h);

    Job deep;
    deep.code = 7;
    h = CreateThread(nullptr, 0, ExitsFromDeep, &deep, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(7u, code);
    EXPECT_FALSE(deep.ran.load());
    CloseHandle(h);

    EXPECT_FALSE(GetExitCodeThread(h, &code));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(job.go);
}

TEST(Threads, IdsAreUniqueAlsoForForeignThreads) {
    std::set<DWORD> ids{GetCurrentThreadId()};
    std::vector<DWORD> seen(8);
    std::vector<std::thread> foreign;
    for (size_t i = 0; i < seen.size(); ++i) foreign.emplace_back([&, i] { seen[i] = GetCurrentThreadId(); });
    for (auto& t : foreign) t.join();
    ids.insert(seen.begin(), seen.end());
    EXPECT_EQ(seen.size() + 1, ids.size());
    EXPECT_EQ(0u, ids.count(0));
    EXPECT_EQ(static_cast<DWORD>(getpid()), GetCurrentProcessId());
}

size_t ThreadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    const size_t threadsBefore = ThreadCount();
    Job job;
    job.code = 3;
    HANDLE h = CreateThread(nullptr, 0, RunJob, &job, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 50));
    EXPECT_FALSE(job.ran.load());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(1u, ResumeThread(h));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
    EXPECT_TRUE(job.ran.load());
    EXPECT_EQ(0u, ResumeThread(h));
    CloseHandle(h);
    EXPECT_EQ(0xFFFFFFFFu, ResumeThread(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    // Nobody can resume it once its last handle is gone: it must go away without running.
    Job never;
    HANDLE orphan = CreateThread(nullptr, 0, RunJob, &never, CREATE_SUSPENDED, nullptr);
    CloseHandle(orphan);
    bounded::WaitUntil([&] { return ThreadCount() == threadsBefore; });
    EXPECT_EQ(threadsBefore, ThreadCount());
    EXPECT_FALSE(never.ran.load());
}

TEST(Threads, HandlesClosedWhileRunningAndManyThreads) {
    // The running thread keeps its own state alive after its handle is gone.
    Job job;
    job.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(nullptr, h, nullptr, &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CloseHandle(h);
    SetEvent(job.go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(dup, INFINITE));
    CloseHandle(dup);

    ResetEvent(job.go);
    Job detached;
    detached.go = job.go;
    CloseHandle(CreateThread(nullptr, 0, RunJob, &detached, 0, nullptr));
    SetEvent(job.go);
    bounded::WaitUntil([&] { return detached.ran.load(); });
    EXPECT_TRUE(detached.ran.load());

    std::vector<Job> jobs(MAXIMUM_WAIT_OBJECTS);
    std::vector<HANDLE> handles;
    for (size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].code = static_cast<DWORD>(i);
        handles.push_back(CreateThread(nullptr, 0, RunJob, &jobs[i], 0, nullptr));
    }
    EXPECT_EQ(WAIT_OBJECT_0,
              WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE));
    for (size_t i = 0; i < handles.size(); ++i) {
        DWORD code = 0;
        GetExitCodeThread(handles[i], &code);
        EXPECT_EQ(i, code);
        CloseHandle(handles[i]);
    }
    CloseHandle(job.go);
}

TEST(Threads, PrioritiesAreKept) {
    Job job;
    job.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(h));
    EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(h));
    EXPECT_FALSE(SetThreadPriority(h, 5));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(h));
    SetEvent(job.go);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(h));

    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(THREAD_PRIORITY_BELOW_NORMAL, GetThreadPriority(GetCurrentThread()));
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    CloseHandle(job.go);
}

}  // namespace
