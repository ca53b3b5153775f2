// Libraries over dlopen. A library's HMODULE is its load base, as module.cpp uses it for resources;
// the table maps it back to the dlopen handle. Loads are counted by dlopen itself: every
// LoadLibraryW is one dlopen and every FreeLibrary one dlclose, and the table mirrors the count.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"
#include "qrx/processapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

// Longer names than this are no symbol of ours.
constexpr size_t kMaxProcName = 1024;
// A table without its end in reach is cut here.
constexpr size_t kMaxOrdinals = 65535;

struct Library {
    void* handle = nullptr;
    int loads = 0;
    std::string host;              // resolved host path
    std::u16string fileName;       // "Radiolink.dll"
    std::u16string devicePath;     // "\Windows\Radiolink.dll"
    std::unordered_map<WORD, std::string> ordinals;
};

struct LibraryTable {
    std::mutex lock;
    std::map<const void*, Library> byBase;
};

LibraryTable& Libraries() {
    static auto* table = new LibraryTable;
    return *table;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

size_t NameStart(std::u16string_view path) {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (IsSeparator(path[i])) start = i + 1;
    return start;
}

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && towlower16(a[i]) != towlower16(b[i])) return false;
    return true;
}

// A bare name is one of \Windows; without an extension it is a ".dll" (a trailing dot: none).
std::u16string LibraryPath(std::u16string name) {
    size_t start = NameStart(name);
    bool hasFolder = start > 0;
    if (!name.empty() && name.back() == u'.')
        name.pop_back();
    else if (name.find(u'.', start) == std::u16string::npos)
        name += u".dll";
    return hasFolder ? name : u"\\Windows\\" + name;
}

std::string RealPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string out = real;
    free(real);
    return out;
}

const void* BaseOfHandle(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_ld) return nullptr;
    Dl_info info{};
    if (!dladdr(map->l_ld, &info)) return nullptr;
    return info.dli_fbase;
}

bool BelongsTo(const void* address, const void* base) {
    Dl_info info{};
    return address && dladdr(address, &info) && info.dli_fbase == base;
}

std::unordered_map<WORD, std::string> ReadOrdinals(void* handle, const void* base) {
    std::unordered_map<WORD, std::string> ordinals;
    void* symbol = dlsym(handle, "QrxOrdinalTable");
    // Only the library's own table, not one of a library it depends on.
    if (!BelongsTo(symbol, base)) return ordinals;
    auto table = reinterpret_cast<QrxOrdinalTableFn>(symbol)();
    if (!table) return ordinals;
    for (size_t i = 0; i < kMaxOrdinals && table[i].ordinal != 0; ++i) {
        if (!table[i].name) continue;
        size_t length = strnlen(table[i].name, kMaxProcName + 1);
        if (length == 0 || length > kMaxProcName) continue;
        ordinals.emplace(table[i].ordinal, std::string(table[i].name, length));
    }
    return ordinals;
}

// Resolves a name or an ordinal in one module. Called with the table's lock held, so a
// concurrent FreeLibrary cannot unload the module meanwhile.
FARPROC Resolve(void* handle, const void* base, const std::unordered_map<WORD, std::string>* ordinals,
                const char* name, WORD ordinal) {
    std::string byOrdinal;
    if (!name) {
        std::unordered_map<WORD, std::string> read;
        if (!ordinals) {
            read = ReadOrdinals(handle, base);
            ordinals = &read;
        }
        auto it = ordinals->find(ordinal);
        if (it == ordinals->end()) return nullptr;
        byOrdinal = it->second;
        name = byOrdinal.c_str();
    }
    void* symbol = dlsym(handle, name);
    // dlsym also searches the module's dependencies; their exports are not the module's.
    if (!BelongsTo(symbol, base)) return nullptr;
    return reinterpret_cast<FARPROC>(symbol);
}

FARPROC GetProc(HMODULE hModule, const char* name, WORD ordinal) {
    if (!hModule) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const void* base = hModule;
    auto& table = Libraries();
    std::lock_guard<std::mutex> g(table.lock);
    FARPROC proc = nullptr;
    auto it = table.byBase.find(base);
    if (it != table.byBase.end()) {
        proc = Resolve(it->second.handle, base, &it->second.ordinals, name, ordinal);
    } else {
        // A module not loaded through LoadLibraryW: the program or a library it links.
        Dl_info info{};
        if (!dladdr(base, &info) || info.dli_fbase != base) {
            SetError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        void* handle = dlopen(nullptr, RTLD_NOW);
        if (handle && BaseOfHandle(handle) != base) {
            dlclose(handle);
            handle = info.dli_fname ? dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD) : nullptr;
        }
        if (!handle) {
            SetError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        proc = Resolve(handle, base, nullptr, name, ordinal);
        dlclose(handle);
    }
    if (!proc) SetError(ERROR_PROC_NOT_FOUND);
    return proc;
}

// The platform's own module stands for the core library of the device: one more reference to it,
// counted in the table as any library.
const char16_t kCoreModulePath[] = u"\\Windows\\coredll.dll";

HMODULE LoadCoreModule() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) || !info.dli_fname || !info.dli_fbase) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (!handle) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto& table = Libraries();
    std::lock_guard<std::mutex> g(table.lock);
    auto& library = table.byBase[info.dli_fbase];
    if (library.loads++ == 0) {
        library.handle = handle;
        library.host = RealPath(info.dli_fname);
        library.devicePath = kCoreModulePath;
        library.fileName = u"coredll.dll";
    }
    return static_cast<HMODULE>(const_cast<void*>(info.dli_fbase));
}

}  // namespace

// For GetModuleHandleW: a library loaded through LoadLibraryW by its device path, its file name,
// or its file name without ".dll".
HMODULE FindLoadedLibrary(const WCHAR* name) {
    if (!name) return nullptr;
    size_t length = wcsnlen(name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::u16string_view given(name, length);
    bool hasFolder = NameStart(given) > 0;
    std::string host;
    if (hasFolder) {
        bool parentMissing = false, reserved = false;
        if (MapFilePath(given, host, parentMissing, reserved) != 0) return nullptr;
        host = RealPath(host);
    }
    std::u16string withDll = std::u16string(given) + u".dll";
    bool noExtension = given.find(u'.') == std::u16string_view::npos;
    auto& table = Libraries();
    std::lock_guard<std::mutex> g(table.lock);
    for (const auto& [base, library] : table.byBase) {
        bool match = hasFolder ? library.host == host || SameIgnoringCase(given, library.devicePath)
                               : SameIgnoringCase(given, library.fileName) ||
                                     (noExtension && SameIgnoringCase(withDll, library.fileName));
        if (match) return static_cast<HMODULE>(const_cast<void*>(base));
    }
    return nullptr;
}

}  // namespace qrx

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t length = wcsnlen(lpLibFileName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        qrx::SetError(length ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string devicePath = qrx::LibraryPath(std::u16string(lpLibFileName, length));
    if (qrx::SameIgnoringCase(devicePath, qrx::kCoreModulePath)) return qrx::LoadCoreModule();
    std::string host;
    bool parentMissing = false, reserved = false;
    if (DWORD error = qrx::MapFilePath(devicePath, host, parentMissing, reserved)) {
        qrx::SetError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : error);
        return nullptr;
    }
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        qrx::SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        qrx::SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // Anything but an ELF file is no library, whatever dlopen would make of it.
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        qrx::SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    unsigned char magic[4] = {};
    ssize_t got;
    do got = read(fd, magic, sizeof magic);
    while (got < 0 && errno == EINTR);
    close(fd);
    if (got != 4 || magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') {
        qrx::SetError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    host = qrx::RealPath(host);
    // Outside the table's lock: the library's initialisers may load libraries themselves.
    void* handle = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        qrx::SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const void* base = qrx::BaseOfHandle(handle);
    if (!base) {
        dlclose(handle);
        qrx::SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto& table = qrx::Libraries();
    std::lock_guard<std::mutex> g(table.lock);
    auto& library = table.byBase[base];
    if (library.loads++ == 0) {
        library.handle = handle;
        library.host = host;
        std::u16string mapped;
        library.devicePath = qrx::HostToDevicePath(host, mapped) ? mapped : devicePath;
        library.fileName = library.devicePath.substr(qrx::NameStart(library.devicePath));
        library.ordinals = qrx::ReadOrdinals(handle, base);
    }
    return static_cast<HMODULE>(const_cast<void*>(base));
}

BOOL FreeLibrary(HMODULE hLibModule) {
    void* handle = nullptr;
    {
        auto& table = qrx::Libraries();
        std::lock_guard<std::mutex> g(table.lock);
        auto it = table.byBase.find(hLibModule);
        if (!hLibModule || it == table.byBase.end()) {
            qrx::SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        handle = it->second.handle;
        if (--it->second.loads == 0) table.byBase.erase(it);
    }
    // Outside the lock: the library's finalisers run here.
    dlclose(handle);
    return TRUE;
}

FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    if (!lpProcName) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (IS_INTRESOURCE(lpProcName))
        return qrx::GetProc(hModule, nullptr, static_cast<WORD>(reinterpret_cast<uintptr_t>(lpProcName)));
    size_t length = wcsnlen(lpProcName, qrx::kMaxProcName + 1);
    if (length == 0 || length > qrx::kMaxProcName) {
        qrx::SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::string name = QrxToUtf8(std::u16string_view(lpProcName, length));
    return qrx::GetProc(hModule, name.c_str(), 0);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!lpProcName) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (IS_INTRESOURCE(lpProcName))
        return qrx::GetProc(hModule, nullptr, static_cast<WORD>(reinterpret_cast<uintptr_t>(lpProcName)));
    size_t length = strnlen(lpProcName, qrx::kMaxProcName + 1);
    if (length == 0 || length > qrx::kMaxProcName) {
        qrx::SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return qrx::GetProc(hModule, std::string(lpProcName, length).c_str(), 0);
}
