// Threads over std::thread. A thread's kernel object is shared by its handles and by the running
// thread itself; whichever lets go last joins (or, on the thread itself, detaches) the std::thread,
// so neither an early CloseHandle nor a thread still running at exit leaves anything behind.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"

namespace qrx {

namespace {

const HANDLE kCurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3));
const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

std::atomic<DWORD> g_nextThreadId{1};

class ThreadObject;

// Per-thread record, also for threads the layer did not start.
struct ThreadRecord {
    DWORD id = 0;
    int priority = THREAD_PRIORITY_NORMAL;  // for threads without a kernel object
    ThreadObject* self = nullptr;           // valid while the trampoline runs
    ~ThreadRecord() {
        if (id) AbandonMutexesOwnedBy(id);
    }
};

thread_local ThreadRecord t_thread;

DWORD CurrentId() {
    if (t_thread.id == 0) t_thread.id = g_nextThreadId.fetch_add(1);
    return t_thread.id;
}

// Unwinds a thread to its trampoline on ExitThread.
struct ThreadExit {
    DWORD code;
};

class ThreadObject : public KernelObject, public std::enable_shared_from_this<ThreadObject> {
public:
    ThreadObject(DWORD id, LPTHREAD_START_ROUTINE start, LPVOID param, bool suspended)
        : id(id), start(start), param(param), suspendCount(suspended ? 1 : 0) {}

    ~ThreadObject() override {
        if (!thread.joinable()) return;
        // Only the thread itself can still be running here: every other holder let go after it.
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }

    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD) const override { return ended; }
    void LastHandleClosed() override {
        // Nobody can resume it any more: let it end instead of parking it forever.
        if (!launched || suspendCount > 0) {
            cancelled = true;
            KernelCond().notify_all();
        }
    }

    const DWORD id;
    const LPTHREAD_START_ROUTINE start;
    const LPVOID param;
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    std::thread thread;  // assigned before `launched`, never touched by the thread itself before that

    // Guarded by KernelLock().
    DWORD suspendCount;
    bool launched = false;
    bool cancelled = false;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
};

void Trampoline(std::shared_ptr<ThreadObject> self) {
    t_thread.id = self->id;
    t_thread.self = self.get();
    bool run = false;
    {
        std::unique_lock<std::mutex> lk(KernelLock());
        KernelCond().wait(lk, [&] { return (self->launched && self->suspendCount == 0) || self->cancelled; });
        run = !self->cancelled;
    }
    DWORD code = 0;
    if (run) {
        try {
            code = self->start(self->param);
        } catch (const ThreadExit& e) {
            code = e.code;
        }
    }
    // Abandon first, so a waiter woken by the thread's end already sees its mutexes free.
    AbandonMutexesOwnedBy(self->id);
    {
        std::lock_guard<std::mutex> g(KernelLock());
        self->exitCode = code;
        self->ended = true;
    }
    KernelCond().notify_all();
    t_thread.self = nullptr;
    self.reset();
}

std::shared_ptr<ThreadObject> ThreadFromHandle(HANDLE h) {
    if (h == kCurrentThreadPseudoHandle) {
        return t_thread.self ? t_thread.self->shared_from_this() : nullptr;
    }
    return HandleAs<ThreadObject>(h);
}

bool ValidPriority(int p) {
    switch (p) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

}  // namespace

// The object behind a handle for waiting, with the current thread's and process's pseudo-handles
// resolved.
std::shared_ptr<KernelObject> LookupWaitableHandle(HANDLE h) {
    if (h == kCurrentThreadPseudoHandle) return ThreadFromHandle(h);
    if (h == kCurrentProcessPseudoHandle) return CurrentProcessObject();
    return LookupHandle(h);
}

}  // namespace qrx

using qrx::ThreadObject;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD id = qrx::g_nextThreadId.fetch_add(1);
    auto object =
        std::make_shared<ThreadObject>(id, lpStartAddress, lpParameter, (dwCreationFlags & CREATE_SUSPENDED) != 0);
    HANDLE h = qrx::NewHandle(object);
    try {
        object->thread = std::thread(qrx::Trampoline, object);
    } catch (const std::system_error&) {
        qrx::ReleaseHandle(h);
        qrx::SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        object->launched = true;
    }
    qrx::KernelCond().notify_all();
    if (lpThreadId) *lpThreadId = id;
    return h;
}

DWORD ResumeThread(HANDLE hThread) {
    auto object = qrx::ThreadFromHandle(hThread);
    if (!object) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    DWORD previous = 0;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        previous = object->suspendCount;
        if (previous > 0) --object->suspendCount;
    }
    if (previous == 1) qrx::KernelCond().notify_all();
    return previous;
}

void ExitThread(DWORD dwExitCode) {
    if (qrx::t_thread.self) throw qrx::ThreadExit{dwExitCode};
    // A thread the layer did not start has no trampoline to unwind to.
    qrx::AbandonMutexesOwnedBy(qrx::CurrentId());
    pthread_exit(nullptr);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (!lpExitCode) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hThread == qrx::kCurrentThreadPseudoHandle) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto object = qrx::ThreadFromHandle(hThread);
    if (!object) {
        DWORD code = 0;
        if (!qrx::PrimaryThreadExitCode(hThread, code)) {
            qrx::SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        *lpExitCode = code;
        return TRUE;
    }
    std::lock_guard<std::mutex> g(qrx::KernelLock());
    *lpExitCode = object->ended ? object->exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD GetCurrentThreadId() { return qrx::CurrentId(); }

HANDLE GetCurrentThread() { return qrx::kCurrentThreadPseudoHandle; }

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
    if (!qrx::ValidPriority(nPriority)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hThread == qrx::kCurrentThreadPseudoHandle && !qrx::t_thread.self) {
        qrx::t_thread.priority = nPriority;
        return TRUE;
    }
    auto object = qrx::ThreadFromHandle(hThread);
    if (!object) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->priority.store(nPriority);
    return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
    if (hThread == qrx::kCurrentThreadPseudoHandle && !qrx::t_thread.self) return qrx::t_thread.priority;
    auto object = qrx::ThreadFromHandle(hThread);
    if (!object) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return object->priority.load();
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
