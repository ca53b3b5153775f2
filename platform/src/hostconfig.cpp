// Where the device lives on this machine.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <system_error>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

struct HostConfig {
    std::mutex lock;
    // Every root ever in force stays here, so a reference from DeviceRoot() never dangles when a
    // test switches roots while another thread still holds the old one.
    std::deque<std::string> roots;
    std::atomic<const std::string*> current{nullptr};
};

HostConfig& Config() {
    static HostConfig* config = new HostConfig;  // lives until exit: threads may ask late
    return *config;
}

std::string Normalised(const fs::path& p) {
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    if (ec) abs = p;
    std::string s = abs.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool IsWindowsFolderName(const std::string& name) {
    static const char kName[] = "windows";
    if (name.size() != sizeof(kName) - 1) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kName[i]) return false;
    }
    return true;
}

std::string FindRoot() {
    const char* env = std::getenv("QRX_DEVICE_ROOT");
    if (env && *env) return Normalised(env);

    // An installed program sits in <root>/Windows.
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.has_parent_path()) {
        fs::path folder = exe.parent_path();
        if (IsWindowsFolderName(folder.filename().string()) && folder.has_parent_path() &&
            folder.parent_path() != folder)
            return Normalised(folder.parent_path());
    }
    return "/tmp/qrx-device-" + std::to_string(static_cast<unsigned>(getuid()));
}

const std::string& Load(HostConfig& c) {
    std::string root = FindRoot();
    std::error_code ec;
    fs::create_directories(root, ec);
    for (const std::string& known : c.roots) {
        if (known == root) {
            c.current.store(&known, std::memory_order_release);
            return known;
        }
    }
    c.roots.push_back(std::move(root));
    c.current.store(&c.roots.back(), std::memory_order_release);
    return c.roots.back();
}

}  // namespace

const std::string& DeviceRoot() {
    HostConfig& c = Config();
    if (const std::string* root = c.current.load(std::memory_order_acquire)) return *root;
    std::lock_guard<std::mutex> g(c.lock);
    if (const std::string* root = c.current.load(std::memory_order_acquire)) return *root;
    return Load(c);
}

std::string PlatformStatePath(const std::string& name) {
    const std::string& root = DeviceRoot();
    std::string folder = root == "/" ? "/.platform" : root + "/.platform";
    // Made on demand: the root may have been wiped or switched since the last call.
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::error_code ec;
        fs::create_directories(folder, ec);
    }
    return folder + "/" + name;
}

void ReloadHostConfig() {
    {
        HostConfig& c = Config();
        std::lock_guard<std::mutex> g(c.lock);
        Load(c);
    }
    ReloadTimeConfig();
}

FileIdentity Identify(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    id.size = st.st_size;
    return id;
}

}  // namespace qrx
