#include <atomic>
#include <unordered_map>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> map;
    // Handle values are never reused, so a stale handle fails instead of reaching a new object.
    uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // lives until exit: threads may close handles late
    return *table;
}

thread_local DWORD t_lastError = 0;

}  // namespace

std::mutex& KernelLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& KernelCond() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}

HANDLE NewHandle(std::shared_ptr<KernelObject> object) {
    auto& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    ++object->handleCount;
    t.map.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    auto& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.map.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.map.end()) return nullptr;
    return it->second;
}

bool ReleaseHandle(HANDLE h) {
    std::shared_ptr<KernelObject> object;
    bool last = false;
    {
        auto& t = Table();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.map.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.map.end()) {
            SetError(ERROR_INVALID_HANDLE);
            return false;
        }
        object = std::move(it->second);
        t.map.erase(it);
        last = --object->handleCount == 0;
    }
    if (last) {
        std::lock_guard<std::mutex> g(KernelLock());
        object->LastHandleClosed();
    }
    return true;
}

void SetError(DWORD code) { t_lastError = code; }

std::string ToUtf8(const WCHAR* s) {
    if (!s) return {};
    return QrxToUtf8(std::u16string_view(s));
}

}  // namespace qrx

DWORD GetLastError() { return qrx::t_lastError; }

void SetLastError(DWORD code) { qrx::t_lastError = code; }

namespace {
const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
const HANDLE kCurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3));
}

BOOL CloseHandle(HANDLE h) {
    // Closing a pseudo-handle is a no-op.
    if (h == kCurrentThreadPseudoHandle || h == kCurrentProcessPseudoHandle) return TRUE;
    return qrx::ReleaseHandle(h) ? TRUE : FALSE;
}

BOOL DuplicateHandle(HANDLE, HANDLE hSource, HANDLE, LPHANDLE lpTarget, DWORD, BOOL, DWORD dwOptions) {
    // The current-thread pseudo-handle duplicates into a real handle of that thread.
    auto object = hSource == kCurrentThreadPseudoHandle ? qrx::LookupWaitableHandle(hSource) : qrx::LookupHandle(hSource);
    if (!object || !lpTarget) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpTarget = qrx::NewHandle(object);
    if ((dwOptions & DUPLICATE_CLOSE_SOURCE) && hSource != kCurrentThreadPseudoHandle) qrx::ReleaseHandle(hSource);
    return TRUE;
}
