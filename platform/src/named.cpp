// Named events, semaphores and mutexes. Inside a process a name leads to one shared object; across
// the programs of the device only the name's existence is shared, through a lock file per name that
// each holding process keeps share-locked. flock locks die with their process, so a crashed program
// never leaves a name behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <unordered_map>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"

namespace qrx {

// sync.cpp: the objects themselves; `keep` lives exactly as long as the object.

namespace {

enum class Kind { Event, Semaphore, Mutex };

struct Entry {
    Kind kind;
    std::weak_ptr<KernelObject> object;
};

// This process's hold on a name's lock file; shared by successive objects of the same name.
struct NameLock {
    int fd = -1;
    int refs = 0;
    std::string path;
};

struct Registry {
    std::mutex lock;
    std::unordered_map<std::u16string, Entry> entries;
    std::unordered_map<std::u16string, NameLock> locks;
};

Registry& Names() {
    static auto* registry = new Registry;  // lives until exit: objects may be released late
    return *registry;
}

// A file name for any UTF-16 name: the code units in hex while short, else a 128-bit hash.
std::string EncodeName(const std::u16string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (name.size() <= 60) {
        out = "n";
        for (char16_t c : name) {
            for (int shift = 12; shift >= 0; shift -= 4) out += digits[(c >> shift) & 0xF];
        }
        return out;
    }
    uint64_t a = 0xcbf29ce484222325ULL;  // FNV-1a
    uint64_t b = 0x9e3779b97f4a7c15ULL;
    for (char16_t c : name) {
        for (int i = 0; i < 2; ++i) {
            uint8_t byte = static_cast<uint8_t>(c >> (8 * i));
            a = (a ^ byte) * 0x100000001b3ULL;
            b = (b + byte + 1) * 0xff51afd7ed558ccdULL;
            b ^= b >> 29;
        }
    }
    out = "h";
    for (uint64_t v : {a, b, static_cast<uint64_t>(name.size())}) {
        for (int shift = 60; shift >= 0; shift -= 4) out += digits[(v >> shift) & 0xF];
    }
    return out;
}

int OpenCloexec(const std::string& path) { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }

void FlockRetry(int fd, int op) {
    while (flock(fd, op) != 0 && errno == EINTR) {
    }
}

// Serialises the check-and-lock of names among the programs of the device.
class GuardLock {
public:
    GuardLock() {
        std::string dir = PlatformStatePath("names");
        mkdir(dir.c_str(), 0755);
        m_fd = OpenCloexec(dir + "/.guard");
        if (m_fd >= 0) FlockRetry(m_fd, LOCK_EX);
    }
    ~GuardLock() {
        if (m_fd >= 0) close(m_fd);
    }
    GuardLock(const GuardLock&) = delete;
    GuardLock& operator=(const GuardLock&) = delete;

private:
    int m_fd = -1;
};

// Takes this process's hold on the name; `elsewhere` tells whether another program holds it.
// Caller holds Names().lock.
void HoldName(Registry& reg, const std::u16string& name, bool& elsewhere) {
    elsewhere = false;
    GuardLock guard;
    auto it = reg.locks.find(name);
    NameLock* held = it == reg.locks.end() ? nullptr : &it->second;
    std::string path = held ? held->path : PlatformStatePath("names/" + EncodeName(name));
    int probe = OpenCloexec(path);
    // Our own share lock would look like another holder; the guard hides the gap from the others.
    if (held && held->fd >= 0) FlockRetry(held->fd, LOCK_UN);
    if (probe >= 0) {
        if (flock(probe, LOCK_EX | LOCK_NB) != 0) elsewhere = errno == EWOULDBLOCK;
    }
    if (held) {
        if (held->fd >= 0) FlockRetry(held->fd, LOCK_SH);
        if (probe >= 0) close(probe);
        ++held->refs;
        return;
    }
    if (probe >= 0) FlockRetry(probe, LOCK_SH);
    NameLock& added = reg.locks[name];
    added.fd = probe;
    added.refs = 1;
    added.path = path;
}

// Owned by a named object: forgets the name and lets go of its lock when the object goes.
struct NameHolder {
    std::u16string name;
    ~NameHolder() {
        Registry& reg = Names();
        std::lock_guard<std::mutex> g(reg.lock);
        auto e = reg.entries.find(name);
        if (e != reg.entries.end() && e->second.object.expired()) reg.entries.erase(e);
        auto it = reg.locks.find(name);
        if (it == reg.locks.end() || --it->second.refs > 0) return;
        if (it->second.fd >= 0) {
            GuardLock guard;
            // Tidy the folder when no other program holds the name; under the guard nobody can
            // be about to lock the file we remove.
            if (flock(it->second.fd, LOCK_EX | LOCK_NB) == 0) unlink(it->second.path.c_str());
            close(it->second.fd);
        }
        reg.locks.erase(it);
    }
};

using Factory = std::function<std::shared_ptr<KernelObject>(std::shared_ptr<void> keep)>;

HANDLE CreateNamed(Kind kind, LPCWSTR lpName, const Factory& factory) {
    if (!lpName || !*lpName) {
        auto object = factory(nullptr);
        HANDLE h = NewHandle(object);
        SetError(0);
        return h;
    }
    size_t length = 0;
    while (length <= MAX_PATH && lpName[length]) ++length;
    if (length > MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    const std::u16string name(lpName, length);
    // Declared before the registry lock: dropping the last reference must happen after it.
    std::shared_ptr<KernelObject> existing;
    std::shared_ptr<KernelObject> created;
    HANDLE h = nullptr;
    bool elsewhere = false;
    {
        Registry& reg = Names();
        std::lock_guard<std::mutex> g(reg.lock);
        auto it = reg.entries.find(name);
        if (it != reg.entries.end() && (existing = it->second.object.lock())) {
            if (it->second.kind != kind) {
                SetError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            h = NewHandle(existing);
            SetError(ERROR_ALREADY_EXISTS);
            return h;
        }
        HoldName(reg, name, elsewhere);
        auto holder = std::make_shared<NameHolder>();
        holder->name = name;
        created = factory(std::move(holder));
        reg.entries[name] = Entry{kind, created};
        h = NewHandle(created);
    }
    SetError(elsewhere ? ERROR_ALREADY_EXISTS : 0);
    return h;
}

}  // namespace
}  // namespace qrx

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    return qrx::CreateNamed(qrx::Kind::Event, lpName, [&](std::shared_ptr<void> keep) {
        return qrx::NewEventObject(bManualReset != FALSE, bInitialState != FALSE, std::move(keep));
    });
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR lpName) {
    if (!lpName || !*lpName) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<qrx::KernelObject> existing;  // released after the registry lock
    auto& reg = qrx::Names();
    std::lock_guard<std::mutex> g(reg.lock);
    auto it = reg.entries.find(std::u16string(lpName));
    if (it == reg.entries.end() || !(existing = it->second.object.lock())) {
        qrx::SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (it->second.kind != qrx::Kind::Event) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return qrx::NewHandle(existing);
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return qrx::CreateNamed(qrx::Kind::Semaphore, lpName, [&](std::shared_ptr<void> keep) {
        return qrx::NewSemaphoreObject(lInitialCount, lMaximumCount, std::move(keep));
    });
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    return qrx::CreateNamed(qrx::Kind::Mutex, lpName, [&](std::shared_ptr<void> keep) {
        return qrx::NewMutexObject(bInitialOwner != FALSE, std::move(keep));
    });
}
