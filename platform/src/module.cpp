// Modules and the resources compiled into them. A module handle is the load base of the module,
// as dladdr reports it; each module registers its resources from a static initialiser that
// qrx_add_resources() generates.
#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <unordered_set>

#include "internal.h"
#include "qrx/module.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

std::mutex& ModuleLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::u16string& FileNameOverride() {
    static std::u16string* s = new std::u16string;  // guarded by ModuleLock()
    return *s;
}

const void* FindMainBase() {
    // The program headers lie inside the executable's first mapping.
    Dl_info info{};
    auto phdr = reinterpret_cast<const void*>(getauxval(AT_PHDR));
    if (phdr && dladdr(phdr, &info) && info.dli_fbase) return info.dli_fbase;
    // Fallback: the first object dl_iterate_phdr reports is the program.
    const void* base = nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* pi, size_t, void* out) -> int {
            ElfW(Addr) lowest = ~ElfW(Addr)(0);
            for (int i = 0; i < pi->dlpi_phnum; ++i)
                if (pi->dlpi_phdr[i].p_type == PT_LOAD)
                    lowest = std::min(lowest, pi->dlpi_phdr[i].p_vaddr - pi->dlpi_phdr[i].p_offset);
            if (lowest != ~ElfW(Addr)(0)) *static_cast<const void**>(out) = reinterpret_cast<const void*>(pi->dlpi_addr + lowest);
            return 1;
        },
        &base);
    return base;
}

const void* MainBase() {
    static const void* base = FindMainBase();
    return base;
}

// The module base of any address inside a loaded module; null when none holds it.
const void* BaseOf(const void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info)) return nullptr;
    return info.dli_fbase;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The device path of a module file: its place in the device root, else where the device would
// keep it, so that programs run from a build folder still see a device path.
std::u16string DevicePathOfFile(const std::string& hostPath, bool isProgram) {
    std::u16string device;
    if (HostToDevicePath(hostPath, device)) return device;
    std::string name = FileNameOf(hostPath);
    if (isProgram && name.find('.') == std::string::npos) name += ".exe";
    return u"\\Windows\\" + QrxFromUtf8(name);
}

bool ProgramPath(std::u16string& path) {
    {
        std::lock_guard<std::mutex> guard(ModuleLock());
        if (!FileNameOverride().empty()) {
            path = FileNameOverride();
            return true;
        }
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return false;
    path = DevicePathOfFile(std::string(buf, static_cast<size_t>(n)), true);
    return true;
}

// ---- resources -------------------------------------------------------------------------------

// A resource type or name: an integer id or a string compared without regard to case.
struct ResId {
    bool isInt = false;
    WORD id = 0;
    std::u16string folded;

    // False for a null pointer.
    static bool From(const char16_t* p, ResId& out) {
        if (!p) return false;
        if (IS_INTRESOURCE(p)) {
            out.isInt = true;
            out.id = static_cast<WORD>(reinterpret_cast<uintptr_t>(p));
            return true;
        }
        std::u16string_view s(p);
        // "#123" names the integer id 123, as on the platform.
        if (s.size() > 1 && s.size() <= 6 && s[0] == u'#') {
            unsigned v = 0;
            bool digits = true;
            for (char16_t c : s.substr(1)) {
                if (c < u'0' || c > u'9') {
                    digits = false;
                    break;
                }
                v = v * 10 + (c - u'0');
            }
            if (digits && v <= 0xFFFF) {
                out.isInt = true;
                out.id = static_cast<WORD>(v);
                return true;
            }
        }
        out.isInt = false;
        out.folded.assign(s);
        for (auto& c : out.folded) c = towlower16(c);
        return true;
    }
    bool operator==(const ResId& o) const {
        return isInt == o.isInt && (isInt ? id == o.id : folded == o.folded);
    }
};

struct Resource {
    const void* module;
    const QrxResourceEntry* registration;
    ResId type;
    ResId name;
    const unsigned char* data;
    DWORD size;
};

struct ResourceTable {
    std::list<Resource> resources;  // stable addresses: an HRSRC points at its record
    std::unordered_set<const Resource*> valid;
};

ResourceTable& Resources() {
    static ResourceTable* t = new ResourceTable;  // guarded by ModuleLock()
    return *t;
}

const void* ModuleBaseOf(HMODULE h) { return h ? static_cast<const void*>(h) : MainBase(); }

// Called with ModuleLock() held.
const Resource* Lookup(const void* module, const ResId& type, const ResId& name, DWORD& error) {
    bool typeSeen = false;
    for (const auto& r : Resources().resources) {
        if (r.module != module || !(r.type == type)) continue;
        typeSeen = true;
        if (r.name == name) return &r;
    }
    error = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
}

std::u16string Folded(std::u16string s) {
    for (auto& c : s) c = towlower16(c);
    return s;
}

// A library the program was linked with (loaded before main, so never through LoadLibraryW), by
// its file name; without an extension the name is a ".dll", as for LoadLibraryW.
HMODULE FindLinkedLibrary(const WCHAR* name) {
    std::u16string want(name);
    size_t sep = want.find_last_of(u"\\/");
    if (sep != std::u16string::npos) want.erase(0, sep + 1);
    if (!want.empty() && want.back() == u'.')
        want.pop_back();
    else if (want.find(u'.') == std::u16string::npos)
        want += u".dll";
    if (want.empty()) return nullptr;
    struct Search {
        std::u16string want;
        const void* address = nullptr;
    } search{Folded(want)};
    dl_iterate_phdr(
        [](dl_phdr_info* pi, size_t, void* out) -> int {
            auto* s = static_cast<Search*>(out);
            if (!pi->dlpi_name || !*pi->dlpi_name) return 0;
            if (Folded(QrxFromUtf8(FileNameOf(pi->dlpi_name))) != s->want) return 0;
            for (int i = 0; i < pi->dlpi_phnum; ++i)
                if (pi->dlpi_phdr[i].p_type == PT_LOAD) {
                    s->address = reinterpret_cast<const void*>(pi->dlpi_addr + pi->dlpi_phdr[i].p_vaddr);
                    return 1;
                }
            return 0;
        },
        &search);
    return static_cast<HMODULE>(const_cast<void*>(BaseOf(search.address)));
}

}  // namespace

// Libraries loaded through LoadLibraryW (library.cpp).
HMODULE FindLoadedLibrary(const WCHAR* name);

void SetModuleFileNameOverride(const std::u16string& devicePath) {
    std::lock_guard<std::mutex> guard(ModuleLock());
    FileNameOverride() = devicePath;
}

}  // namespace qrx

using namespace qrx;

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (!lpFilename && nSize) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string path;
    const void* base = ModuleBaseOf(hModule);
    if (base == MainBase()) {
        if (!ProgramPath(path)) {
            SetError(ERROR_GEN_FAILURE);
            return 0;
        }
    } else {
        Dl_info info{};
        if (!dladdr(base, &info) || info.dli_fbase != base || !info.dli_fname || !*info.dli_fname) {
            SetError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        std::string file = info.dli_fname;
        if (char* real = realpath(info.dli_fname, nullptr)) {
            file = real;
            free(real);
        }
        path = DevicePathOfFile(file, false);
    }
    if (path.size() + 1 > nSize) {
        if (nSize) {
            std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
            lpFilename[nSize - 1] = 0;
        }
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::copy(path.begin(), path.end(), lpFilename);
    lpFilename[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    const void* main = MainBase();
    if (!lpModuleName) return static_cast<HMODULE>(const_cast<void*>(main));
    // The program answers to its device path and to its file name.
    std::u16string path;
    if (ProgramPath(path)) {
        std::u16string_view name(lpModuleName);
        std::u16string_view file(path);
        size_t sep = file.rfind(u'\\');
        if (sep != std::u16string_view::npos) file.remove_prefix(sep + 1);
        if (_wcsicmp(std::u16string(name).c_str(), path.c_str()) == 0 ||
            _wcsicmp(std::u16string(name).c_str(), std::u16string(file).c_str()) == 0)
            return static_cast<HMODULE>(const_cast<void*>(main));
    }
    if (HMODULE library = FindLoadedLibrary(lpModuleName)) return library;
    if (HMODULE linked = FindLinkedLibrary(lpModuleName)) return linked;
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

void QrxRegisterResources(const void* addressInModule, const QrxResourceEntry* entries, unsigned int count) {
    const void* module = BaseOf(addressInModule);
    if (!module || !entries) return;
    std::lock_guard<std::mutex> guard(ModuleLock());
    auto& table = Resources();
    for (unsigned int i = 0; i < count; ++i) {
        Resource r{module, entries, {}, {}, entries[i].data, entries[i].size};
        if (!ResId::From(entries[i].type, r.type) || !ResId::From(entries[i].name, r.name) || !r.data) continue;
        table.resources.push_back(std::move(r));
        table.valid.insert(&table.resources.back());
    }
}

void QrxUnregisterResources(const QrxResourceEntry* entries) {
    std::lock_guard<std::mutex> guard(ModuleLock());
    auto& table = Resources();
    for (auto it = table.resources.begin(); it != table.resources.end();) {
        if (it->registration == entries) {
            table.valid.erase(&*it);
            it = table.resources.erase(it);
        } else {
            ++it;
        }
    }
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    ResId type, name;
    if (!ResId::From(lpType, type) || !ResId::From(lpName, name)) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(ModuleLock());
    DWORD error = 0;
    const Resource* r = Lookup(ModuleBaseOf(hModule), type, name, error);
    if (!r) {
        SetError(error);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<Resource*>(r));
}

HGLOBAL LoadResource(HMODULE, HRSRC hResInfo) {
    std::lock_guard<std::mutex> guard(ModuleLock());
    auto* r = reinterpret_cast<const Resource*>(hResInfo);
    if (!r || !Resources().valid.count(r)) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // The bytes live in the module's read-only data: loading is handing out their address.
    return const_cast<unsigned char*>(r->data);
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE, HRSRC hResInfo) {
    std::lock_guard<std::mutex> guard(ModuleLock());
    auto* r = reinterpret_cast<const Resource*>(hResInfo);
    if (!r || !Resources().valid.count(r)) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return r->size;
}

// String tables are blocks of 16 counted strings, block n holding ids (n-1)*16 to n*16-1.
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto notFound = [&](DWORD error) {
        if (cchBufferMax > 0) lpBuffer[0] = 0;
        SetError(error);
        return 0;
    };
    if (uID > 0xFFFF) return notFound(ERROR_RESOURCE_NAME_NOT_FOUND);
    ResId type, name;
    ResId::From(RT_STRING, type);
    ResId::From(MAKEINTRESOURCEW((uID >> 4) + 1), name);
    const unsigned char* data;
    DWORD size;
    {
        std::lock_guard<std::mutex> guard(ModuleLock());
        DWORD error = 0;
        const Resource* r = Lookup(ModuleBaseOf(hInstance), type, name, error);
        if (!r) return notFound(error);
        data = r->data;
        size = r->size;
    }
    // Walk the block without trusting its counts to stay inside it.
    size_t at = 0;
    size_t length = 0;
    for (UINT index = 0;; ++index) {
        if (at + 2 > size) return notFound(ERROR_RESOURCE_NAME_NOT_FOUND);
        length = static_cast<size_t>(data[at] | (data[at + 1] << 8));
        at += 2;
        if (length * 2 > size - at) return notFound(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (index == (uID & 15)) break;
        at += length * 2;
    }
    if (length == 0) return notFound(ERROR_RESOURCE_NAME_NOT_FOUND);
    const unsigned char* text = data + at;
    if (cchBufferMax == 0) {
        // The caller gets a read-only pointer to the string itself, which has no terminator.
        const WCHAR* p = reinterpret_cast<const WCHAR*>(text);
        std::memcpy(lpBuffer, &p, sizeof p);
        return static_cast<int>(length);
    }
    size_t n = std::min(length, static_cast<size_t>(cchBufferMax - 1));
    for (size_t i = 0; i < n; ++i) lpBuffer[i] = static_cast<WCHAR>(text[2 * i] | (text[2 * i + 1] << 8));
    lpBuffer[n] = 0;
    return static_cast<int>(n);
}
