// Critical sections, events, semaphores, mutexes and the waits on kernel objects. Every waitable
// object is tested and consumed under the one kernel lock, which makes wait-all atomic without
// any per-object locking.
#include <algorithm>
#include <atomic>
#include <list>
#include <vector>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"

namespace qrx {


namespace {

// A thread blocked in a wait. PulseEvent satisfies the waiters registered at that moment on their
// behalf, since the event is reset again before they get to run.
struct Waiter {
    DWORD threadId;
    const std::vector<std::shared_ptr<KernelObject>>* objects;
    bool waitAll;
    bool done = false;
    DWORD result = WAIT_FAILED;
};

std::list<Waiter*>& Waiters() {  // guarded by KernelLock()
    static auto* list = new std::list<Waiter*>;
    return *list;
}

class EventObject : public KernelObject {
public:
    EventObject(bool manual, bool initial, std::shared_ptr<void> keep)
        : manual(manual), signaled(initial), m_keep(std::move(keep)) {}
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD) const override { return signaled; }
    void Acquire(DWORD) override {
        if (!manual) signaled = false;
    }

    const bool manual;
    bool signaled;  // guarded by KernelLock()

private:
    std::shared_ptr<void> m_keep;
};

class SemaphoreObject : public KernelObject {
public:
    SemaphoreObject(LONG initial, LONG maximum, std::shared_ptr<void> keep)
        : count(initial), maximum(maximum), m_keep(std::move(keep)) {}
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD) const override { return count > 0; }
    void Acquire(DWORD) override { --count; }

    LONG count;  // guarded by KernelLock()
    const LONG maximum;

private:
    std::shared_ptr<void> m_keep;
};

class MutexObject : public KernelObject {
public:
    explicit MutexObject(std::shared_ptr<void> keep) : m_keep(std::move(keep)) {}
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD threadId) const override { return owner == 0 || owner == threadId; }
    void Acquire(DWORD threadId) override {
        if (owner == threadId) {
            ++recursion;
        } else {
            owner = threadId;
            recursion = 1;
        }
    }

    // Guarded by KernelLock().
    DWORD owner = 0;
    DWORD recursion = 0;
    bool abandoned = false;

private:
    std::shared_ptr<void> m_keep;
};

// Every live mutex, so the ones a thread still owns when it ends can be found. Weak, so that a
// mutex's destruction needs no lock; a lock of its own, so that creating a mutex needs no kernel lock.
struct MutexList {
    std::mutex lock;
    std::vector<std::weak_ptr<MutexObject>> all;
};

MutexList& Mutexes() {
    static auto* list = new MutexList;
    return *list;
}

// Returns the wait result when the wait can be satisfied now, and consumes the objects.
// Caller holds KernelLock().
bool TrySatisfy(DWORD threadId, const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                DWORD& result) {
    auto takeAbandoned = [](KernelObject* o) {
        auto* m = dynamic_cast<MutexObject*>(o);
        if (!m || !m->abandoned) return false;
        m->abandoned = false;
        return true;
    };
    if (!waitAll) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (!objects[i]->IsSignaled(threadId)) continue;
            bool abandoned = takeAbandoned(objects[i].get());
            objects[i]->Acquire(threadId);
            result = (abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0) + static_cast<DWORD>(i);
            return true;
        }
        return false;
    }
    for (const auto& o : objects) {
        if (!o->IsSignaled(threadId)) return false;
    }
    result = WAIT_OBJECT_0;
    bool anyAbandoned = false;
    for (size_t i = 0; i < objects.size(); ++i) {
        if (takeAbandoned(objects[i].get()) && !anyAbandoned) {
            anyAbandoned = true;
            result = WAIT_ABANDONED + static_cast<DWORD>(i);
        }
        objects[i]->Acquire(threadId);
    }
    return true;
}

DWORD WaitOn(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll, DWORD ms) {
    const DWORD self = GetCurrentThreadId();
    auto deadline = DeadlineAfter(ms);
    std::unique_lock<std::mutex> lk(KernelLock());
    DWORD result = WAIT_TIMEOUT;
    if (TrySatisfy(self, objects, waitAll, result)) return result;
    if (ms == 0) return WAIT_TIMEOUT;
    Waiter waiter{self, &objects, waitAll};
    auto& waiters = Waiters();
    auto slot = waiters.insert(waiters.end(), &waiter);
    for (;;) {
        if (ms == INFINITE)
            KernelCond().wait(lk);
        else
            KernelCond().wait_until(lk, deadline);
        if (waiter.done) {
            result = waiter.result;
            break;
        }
        if (TrySatisfy(self, objects, waitAll, result)) break;
        if (ms != INFINITE && std::chrono::steady_clock::now() >= deadline) {
            result = WAIT_TIMEOUT;
            break;
        }
    }
    waiters.erase(slot);
    return result;
}

template <class T>
std::shared_ptr<T> ObjectOf(HANDLE h) {
    auto object = HandleAs<T>(h);
    if (!object) SetError(ERROR_INVALID_HANDLE);
    return object;
}

struct CriticalSectionImpl {
    std::recursive_mutex mutex;
    std::atomic<DWORD> owner{0};
    DWORD depth = 0;  // only touched by the owner
};

CriticalSectionImpl* CsImpl(LPCRITICAL_SECTION cs) {
    if (!cs) return nullptr;
    // A zero-filled section (a static one never initialised) is set up on first use.
    std::atomic_ref<void*> impl(cs->impl);
    void* current = impl.load();
    if (current) return static_cast<CriticalSectionImpl*>(current);
    auto* fresh = new CriticalSectionImpl;
    if (impl.compare_exchange_strong(current, fresh)) return fresh;
    delete fresh;
    return static_cast<CriticalSectionImpl*>(current);
}

}  // namespace

// Factories for the named-object module, which gives these objects their names.
std::shared_ptr<KernelObject> NewEventObject(bool manualReset, bool initialState, std::shared_ptr<void> keep) {
    return std::make_shared<EventObject>(manualReset, initialState, std::move(keep));
}

std::shared_ptr<KernelObject> NewSemaphoreObject(LONG initialCount, LONG maximumCount, std::shared_ptr<void> keep) {
    return std::make_shared<SemaphoreObject>(initialCount, maximumCount, std::move(keep));
}

std::shared_ptr<KernelObject> NewMutexObject(bool initialOwner, std::shared_ptr<void> keep) {
    auto mutex = std::make_shared<MutexObject>(std::move(keep));
    if (initialOwner) {
        mutex->owner = GetCurrentThreadId();
        mutex->recursion = 1;
    }
    auto& list = Mutexes();
    std::lock_guard<std::mutex> g(list.lock);
    list.all.erase(std::remove_if(list.all.begin(), list.all.end(), [](const auto& w) { return w.expired(); }),
                   list.all.end());
    list.all.push_back(mutex);
    return mutex;
}

void AbandonMutexesOwnedBy(DWORD threadId) {
    // Released only after both locks: the last reference may run a name's clean-up.
    std::vector<std::shared_ptr<MutexObject>> live;
    {
        auto& list = Mutexes();
        std::lock_guard<std::mutex> g(list.lock);
        for (const auto& w : list.all) {
            if (auto m = w.lock()) live.push_back(std::move(m));
        }
    }
    bool any = false;
    {
        std::lock_guard<std::mutex> g(KernelLock());
        for (const auto& m : live) {
            if (m->owner != threadId) continue;
            m->owner = 0;
            m->recursion = 0;
            m->abandoned = true;
            any = true;
        }
    }
    if (any) KernelCond().notify_all();
}

}  // namespace qrx

using qrx::CsImpl;

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    if (cs) cs->impl = new qrx::CriticalSectionImpl;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    delete static_cast<qrx::CriticalSectionImpl*>(cs->impl);
    cs->impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    auto* impl = CsImpl(cs);
    if (!impl) return;
    impl->mutex.lock();
    impl->owner.store(GetCurrentThreadId());
    ++impl->depth;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    auto* impl = CsImpl(cs);
    if (!impl || !impl->mutex.try_lock()) return FALSE;
    impl->owner.store(GetCurrentThreadId());
    ++impl->depth;
    return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    auto* impl = CsImpl(cs);
    // Leaving a section this thread does not hold would corrupt it for the holder.
    if (!impl || impl->owner.load() != GetCurrentThreadId() || impl->depth == 0) return;
    if (--impl->depth == 0) impl->owner.store(0);
    impl->mutex.unlock();
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = qrx::ObjectOf<qrx::EventObject>(hEvent);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        event->signaled = true;
    }
    qrx::KernelCond().notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = qrx::ObjectOf<qrx::EventObject>(hEvent);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> g(qrx::KernelLock());
    event->signaled = false;
    return TRUE;
}

BOOL PulseEvent(HANDLE hEvent) {
    auto event = qrx::ObjectOf<qrx::EventObject>(hEvent);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        event->signaled = true;
        // In arrival order; an auto-reset event is consumed by the first waiter it satisfies.
        for (qrx::Waiter* w : qrx::Waiters()) {
            if (w->done || !event->signaled) continue;
            bool waitsOnIt = std::any_of(w->objects->begin(), w->objects->end(),
                                         [&](const auto& o) { return o.get() == event.get(); });
            if (waitsOnIt && qrx::TrySatisfy(w->threadId, *w->objects, w->waitAll, w->result)) w->done = true;
        }
        event->signaled = false;
    }
    qrx::KernelCond().notify_all();
    return TRUE;
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
    auto semaphore = qrx::ObjectOf<qrx::SemaphoreObject>(hSemaphore);
    if (!semaphore) return FALSE;
    if (lReleaseCount <= 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        if (static_cast<int64_t>(semaphore->count) + lReleaseCount > semaphore->maximum) {
            qrx::SetError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (lpPreviousCount) *lpPreviousCount = semaphore->count;
        semaphore->count += lReleaseCount;
    }
    qrx::KernelCond().notify_all();
    return TRUE;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto mutex = qrx::ObjectOf<qrx::MutexObject>(hMutex);
    if (!mutex) return FALSE;
    bool freed = false;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        if (mutex->owner != GetCurrentThreadId() || mutex->recursion == 0) {
            qrx::SetError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--mutex->recursion == 0) {
            mutex->owner = 0;
            freed = true;
        }
    }
    if (freed) qrx::KernelCond().notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<qrx::KernelObject>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = qrx::LookupWaitableHandle(lpHandles[i]);
        if (!object || !object->Waitable()) {
            qrx::SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (bWaitAll) {
            // Consuming one object twice in a single atomic step has no meaning.
            for (const auto& o : objects) {
                if (o == object) {
                    qrx::SetError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
        objects.push_back(std::move(object));
    }
    return qrx::WaitOn(objects, bWaitAll != FALSE, dwMilliseconds);
}

// The counters wrap as 32-bit values do on the device.
LONG InterlockedIncrement(LONG volatile* p) {
    LONG old = std::atomic_ref<LONG>(*const_cast<LONG*>(p)).fetch_add(1);
    return static_cast<LONG>(static_cast<DWORD>(old) + 1u);
}

LONG InterlockedDecrement(LONG volatile* p) {
    LONG old = std::atomic_ref<LONG>(*const_cast<LONG*>(p)).fetch_sub(1);
    return static_cast<LONG>(static_cast<DWORD>(old) - 1u);
}

LONG InterlockedExchange(LONG volatile* p, LONG value) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(p)).exchange(value);
}

LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(*const_cast<LONG*>(p)).compare_exchange_strong(comparand, exchange);
    return comparand;
}
