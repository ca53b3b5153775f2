// Fonts added with AddFontResourceW are seen by every program of the device while the program that
// added them runs. Each adding process keeps a share lock on one file per font in .platform/fonts,
// holding the font's host path; the locks die with their process, so a crashed program leaves
// nothing behind. A counter in a shared page changes with every add and remove, so that realised
// fonts of the other programs map again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>

#include "gdi/font.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

constexpr char kCounterName[] = "generation";
constexpr size_t kMaxPath = 4096;

struct Shared {
    std::mutex lock;
    std::atomic<const std::string*> root{nullptr};
    std::atomic<uint64_t*> counter{nullptr};
    std::unordered_map<std::string, int> held;  // this process's registrations: host path -> locked fd
};

Shared& State() {
    static auto* s = new Shared;  // lives until exit: the locks must outlast static destruction
    return *s;
}

std::string Folder() {
    std::string dir = PlatformStatePath("fonts");
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::string EntryName(const std::string& path) {
    uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (unsigned char c : path) h = (h ^ c) * 0x100000001b3ULL;
    static const char digits[] = "0123456789abcdef";
    std::string out = "f";
    for (int shift = 60; shift >= 0; shift -= 4) out += digits[(h >> shift) & 0xF];
    return out;
}

// The counter page of the current device root. Earlier roots' pages stay mapped: a reader may
// still hold their address.
uint64_t* Counter() {
    Shared& s = State();
    const std::string* root = &DeviceRoot();
    if (s.root.load(std::memory_order_acquire) == root) return s.counter.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> g(s.lock);
    if (s.root.load(std::memory_order_acquire) == root) return s.counter.load(std::memory_order_acquire);
    uint64_t* mapped = nullptr;
    int fd = open((Folder() + "/" + kCounterName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_size >= 8 || ftruncate(fd, 8) == 0)) {
        void* p = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) mapped = static_cast<uint64_t*>(p);
    }
    if (fd >= 0) close(fd);
    s.counter.store(mapped, std::memory_order_release);
    s.root.store(root, std::memory_order_release);
    return mapped;
}

void Bump() {
    if (uint64_t* c = Counter()) __atomic_fetch_add(c, 1, __ATOMIC_ACQ_REL);
}

// The path an entry holds when some process still holds it; empty otherwise.
std::string LivePath(const std::string& file) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string path;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        char buf[kMaxPath];
        ssize_t n = pread(fd, buf, sizeof buf, 0);
        if (n > 0) path.assign(buf, static_cast<size_t>(n));
    }
    close(fd);
    return path;
}

}  // namespace

uint64_t SharedFontGeneration() {
    uint64_t* c = Counter();
    return c ? __atomic_load_n(c, __ATOMIC_ACQUIRE) : 0;
}

void ShareFontFile(const std::string& path, bool add) {
    Shared& s = State();
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.held.find(path);
        if (add == (it != s.held.end())) return;
        if (add) {
            int fd = open((Folder() + "/" + EntryName(path)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) return;
            // Every holder writes the same bytes, so a reader never sees a mix.
            bool written = pwrite(fd, path.data(), path.size(), 0) == static_cast<ssize_t>(path.size()) &&
                           ftruncate(fd, static_cast<off_t>(path.size())) == 0;
            while (written && flock(fd, LOCK_SH) != 0 && errno == EINTR) {
            }
            if (!written) {
                close(fd);
                return;
            }
            s.held.emplace(path, fd);
        } else {
            close(it->second);
            s.held.erase(it);
        }
    }
    Bump();
}

bool SharedFontFileLive(const std::string& path) {
    return LivePath(Folder() + "/" + EntryName(path)) == path;
}

std::vector<std::string> LiveSharedFontFiles() {
    std::vector<std::string> out;
    const std::string dir = Folder();
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != 'f') continue;
        std::string path = LivePath(dir + "/" + e->d_name);
        if (!path.empty()) out.push_back(std::move(path));
    }
    closedir(d);
    return out;
}

}  // namespace qrx::gdi
