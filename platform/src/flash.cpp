// The simulated NAND flash writer "FWD1:". Pages and chunks go into pending files; the end code (or
// the OS finish) commits a region by renaming its record, so a power cut at any moment leaves each
// region with its old or its new image, and a session that never ends changes nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "qrx/boardapi.h"
#include "qrx/flashapi.h"
#include "qrx/synchapi.h"

namespace qrx {

const char* const kFlashRegions[7] = {"xldr0", "xldr1", "xldr2", "xldr3", "eboot", "logo", "os"};

namespace {

constexpr size_t kFlashHistory = 4096;
constexpr off_t kRecordFileTrim = 2 * 1024 * 1024;  // the record file is cut back to its history past this
constexpr size_t kMaxFaultFile = 4096;

enum Region { Xldr0, Xldr1, Xldr2, Xldr3, Eboot, Logo, Os, RegionCount };

std::string FlashFolder() {
    std::string folder = PlatformStatePath("flash");
    mkdir(folder.c_str(), 0755);
    return folder;
}

std::string RegionPath(int region, const char* suffix) {
    return FlashFolder() + "/" + kFlashRegions[region] + suffix;
}

int RegionIndex(const std::string& name) {
    for (int i = 0; i < RegionCount; ++i)
        if (name == kFlashRegions[i]) return i;
    return -1;
}

bool ReadWhole(const std::string& path, std::vector<BYTE>& out, size_t limit) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_size) <= limit;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ok = done == out.size();
    }
    close(fd);
    return ok;
}

bool WriteWhole(int fd, const BYTE* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

DWORD Crc32(const BYTE* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        uInt piece = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        crc = crc32(crc, data, piece);
        data += piece;
        size -= piece;
    }
    return static_cast<DWORD>(crc);
}

struct RegionRecord {
    unsigned long long generation = 0;
    unsigned long long length = 0;
    DWORD crc = 0;
};

bool ReadRecord(int region, RegionRecord& r) {
    std::vector<BYTE> text;
    if (!ReadWhole(RegionPath(region, ".rec"), text, 256)) return false;
    std::string s(text.begin(), text.end());
    unsigned crc = 0;
    if (std::sscanf(s.c_str(), "%llu %llu %x", &r.generation, &r.length, &crc) != 3) return false;
    r.crc = crc;
    return true;
}

std::string ImagePath(int region, unsigned long long generation) {
    std::string path = RegionPath(region, ".");
    path += std::to_string(generation);
    return path;
}

// ---- faults -------------------------------------------------------------------------------------

struct Faults {
    bool failOpen = false;
    std::map<DWORD, unsigned> failCall;  // code -> the call number that fails
    std::string powerKind;               // "page", "chunk", "commit"
    unsigned powerAt = 0;
};

Faults ParseFaults(const std::string& text) {
    Faults f;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        char word[16] = {}, what[16] = {};
        unsigned a = 0, b = 0;
        if (line == "open") {
            f.failOpen = true;
        } else if (std::sscanf(line.c_str(), "fail %x %u", &a, &b) == 2 && b > 0) {
            f.failCall[a] = b;
        } else if (std::sscanf(line.c_str(), "%15s %15s %u", word, what, &b) == 3 && std::strcmp(word, "power") == 0 &&
                   b > 0 && (!std::strcmp(what, "page") || !std::strcmp(what, "chunk") || !std::strcmp(what, "commit"))) {
            f.powerKind = what;
            f.powerAt = b;
        }
    }
    return f;
}

// The process's view of the fault file, with its call counters; both start again when the file changes.
class FaultState {
public:
    Faults Current() {
        std::lock_guard<std::mutex> g(m_lock);
        Refresh();
        return m_faults;
    }
    // Counts one call of the code; true when this is the one that fails.
    bool CallFails(DWORD code) {
        std::lock_guard<std::mutex> g(m_lock);
        Refresh();
        unsigned n = ++m_calls[code];
        auto it = m_faults.failCall.find(code);
        return it != m_faults.failCall.end() && it->second == n;
    }
    // Counts one page, chunk or commit; true when the power goes now (the fault is then used up).
    bool PowerGoes(const char* kind) {
        std::lock_guard<std::mutex> g(m_lock);
        Refresh();
        unsigned n = ++m_events[kind];
        if (m_faults.powerKind != kind || m_faults.powerAt != n) return false;
        unlink(Path().c_str());
        return true;
    }

private:
    static std::string Path() { return FlashFolder() + "/fault"; }
    void Refresh() {
        FileIdentity id = Identify(Path());
        if (m_known && id == m_identity) return;
        m_known = true;
        m_identity = id;
        std::vector<BYTE> text;
        ReadWhole(Path(), text, kMaxFaultFile);
        m_faults = ParseFaults(std::string(text.begin(), text.end()));
        m_calls.clear();
        m_events.clear();
    }

    std::mutex m_lock;
    bool m_known = false;
    FileIdentity m_identity;
    Faults m_faults;
    std::map<DWORD, unsigned> m_calls;
    std::map<std::string, unsigned> m_events;
};

FaultState& TheFaults() {
    static auto* f = new FaultState;
    return *f;
}

[[noreturn]] void PowerLoss() {
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

// ---- records ------------------------------------------------------------------------------------

std::string RecordFile() {
    std::string folder = PlatformStatePath("devices");
    mkdir(folder.c_str(), 0755);
    return folder + "/FWD1";
}

// Appends without rewriting the history each call (an OS image is hundreds of calls); the file is cut
// back to the last kFlashHistory lines once it has grown well past them.
void AppendFlashRecord(DWORD code, const BYTE* bytes, DWORD size) {
    std::string path = RecordFile();
    int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0)
        while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    std::string line = FormatDeviceRecord(GetTickCount(), code, bytes, size);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteWhole(fd, reinterpret_cast<const BYTE*>(line.data()), line.size());
        struct stat st;
        bool trim = fstat(fd, &st) == 0 && st.st_size > kRecordFileTrim;
        close(fd);
        if (trim) {
            std::vector<BYTE> text;
            if (ReadWhole(path, text, static_cast<size_t>(kRecordFileTrim) * 2)) {
                size_t lines = 0, pos = text.size();
                while (pos > 0 && lines <= kFlashHistory)
                    if (text[--pos] == '\n') ++lines;
                if (lines > kFlashHistory) ++pos;
                std::string tmp = path + ".tmp." + std::to_string(getpid());
                int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (out >= 0) {
                    bool ok = WriteWhole(out, text.data() + pos, text.size() - pos);
                    close(out);
                    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
                }
            }
        }
    }
    if (lock >= 0) close(lock);
}

// ---- commits ------------------------------------------------------------------------------------

// Makes the pending file the region's image: the image gets a new generation's name, then the
// record's rename switches to it. The old image goes afterwards.
bool CommitRegion(int region, const std::string& pending) {
    std::vector<BYTE> image;
    if (!ReadWhole(pending, image, FWD_OS_MAX)) return false;
    if (TheFaults().PowerGoes("commit")) PowerLoss();
    RegionRecord old;
    bool hadOld = ReadRecord(region, old);
    RegionRecord now{hadOld ? old.generation + 1 : 1, image.size(), Crc32(image.data(), image.size())};
    std::string target = ImagePath(region, now.generation);
    if (rename(pending.c_str(), target.c_str()) != 0) return false;
    char text[96];
    int n = std::snprintf(text, sizeof text, "%llu %llu %08x\n", now.generation, now.length, now.crc);
    std::string rec = RegionPath(region, ".rec");
    std::string tmp = rec + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && WriteWhole(fd, reinterpret_cast<const BYTE*>(text), static_cast<size_t>(n));
    if (fd >= 0) ok = fsync(fd) == 0 && ok, close(fd);
    if (!ok || rename(tmp.c_str(), rec.c_str()) != 0) {
        unlink(tmp.c_str());
        unlink(target.c_str());
        return false;
    }
    if (hadOld && old.generation != now.generation) unlink(ImagePath(region, old.generation).c_str());
    return true;
}

bool WriteRegionImage(int region, const std::vector<BYTE>& image) {
    std::string pending = RegionPath(region, ".pending");
    int fd = open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteWhole(fd, image.data(), image.size());
    close(fd);
    return ok && CommitRegion(region, pending);
}

// What a power cut or an unended session left: pending files and images no record names.
void SweepLeftovers() {
    for (int r = 0; r < RegionCount; ++r) {
        unlink(RegionPath(r, ".pending").c_str());
        unlink(RegionPath(r, ".rec.tmp").c_str());
        RegionRecord rec;
        bool has = ReadRecord(r, rec);
        for (unsigned long long g = has && rec.generation > 2 ? rec.generation - 2 : 1;
             g <= (has ? rec.generation + 2 : 2); ++g)
            if (!has || g != rec.generation) unlink(ImagePath(r, g).c_str());
    }
}

DWORD Word(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

// ---- the device ---------------------------------------------------------------------------------

class FlashDevice : public DeviceObject {
public:
    explicit FlashDevice(int lockFd) : m_lockFd(lockFd) {}
    ~FlashDevice() override { Release(); }
    void LastHandleClosed() override { Release(); }

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void*, DWORD, DWORD* returned) override {
        if (returned) *returned = 0;
        std::lock_guard<std::mutex> g(m_lock);
        const BYTE* bytes = static_cast<const BYTE*>(in);
        DWORD carried = code == IOCTL_FWD_WRITE_PAGE && in && inSize <= FWD_PAGE_SIZE ? inSize + 4 : inSize;
        AppendFlashRecord(code, in ? bytes : nullptr, in ? carried : 0);
        if (inSize > 0 && !in) return Fail(ERROR_INVALID_PARAMETER);
        if (TheFaults().CallFails(code)) return Fail(ERROR_WRITE_FAULT);
        switch (code) {
            case IOCTL_FWD_BOOT_BEGIN:
                if (!in || (inSize != 3 && inSize != 12) || Word(bytes) != 1) return Fail(ERROR_INVALID_PARAMETER);
                m_bootBegun = true;
                return Done();
            case IOCTL_FWD_WRITE_PAGE:
                return WritePage(bytes, inSize);
            case IOCTL_FWD_PAGE_END:
                return EndPages();
            case IOCTL_OS_OPEN:
                if (inSize != 4 || Word(bytes) > FWD_OS_MAX) return Fail(ERROR_INVALID_PARAMETER);
                Discard(Os);
                m_osLength = Word(bytes);
                m_osOpen = true;
                if (!Pending(Os)) return Fail(ERROR_WRITE_FAULT);
                return Done();
            case IOCTL_OS_WRITE:
                return WriteChunk(bytes, inSize);
            case IOCTL_OS_FINISH: {
                bool whole = m_osOpen && m_written[Os] == m_osLength;
                m_osOpen = false;
                if (!whole) {
                    Discard(Os);
                    return Fail(ERROR_INVALID_PARAMETER);
                }
                bool ok = CommitRegion(Os, RegionPath(Os, ".pending"));
                CloseFd(Os);
                if (!ok) return Fail(ERROR_WRITE_FAULT);
                return Done();
            }
            default:
                return Fail(ERROR_INVALID_PARAMETER);
        }
    }

private:
    static BOOL Fail(DWORD error) {
        SetError(error);
        return FALSE;
    }
    static BOOL Done() {
        SetError(ERROR_SUCCESS);
        return TRUE;
    }

    BOOL WritePage(const BYTE* in, DWORD size) {
        if (!in || size == 0 || size > FWD_PAGE_SIZE) return Fail(ERROR_INVALID_PARAMETER);
        DWORD offset = Word(in);
        const BYTE* page = in + 4;
        int region;
        unsigned long long at;
        if (offset < FWD_EBOOT_BASE) {
            // XLDR pages fill the copy their offset falls in, in the order they come.
            if (!m_bootBegun) return Fail(ERROR_INVALID_PARAMETER);
            region = static_cast<int>(offset / FWD_XLDR_COPY_SIZE);
            at = m_written[region];
            if (at + size > FWD_XLDR_COPY_SIZE) return Fail(ERROR_INVALID_PARAMETER);
        } else if (offset < FWD_LOGO_BASE) {
            region = Eboot;
            at = offset - FWD_EBOOT_BASE;
            if (offset + static_cast<unsigned long long>(size) > FWD_LOGO_BASE) return Fail(ERROR_INVALID_PARAMETER);
        } else if (offset < FWD_LOGO_END) {
            region = Logo;
            at = offset - FWD_LOGO_BASE;
            if (offset + static_cast<unsigned long long>(size) > FWD_LOGO_END) return Fail(ERROR_INVALID_PARAMETER);
        } else {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (!Pending(region)) return Fail(ERROR_WRITE_FAULT);
        if (TheFaults().PowerGoes("page")) {
            pwrite(m_fd[region], page, size / 2, static_cast<off_t>(at));
            PowerLoss();
        }
        if (pwrite(m_fd[region], page, size, static_cast<off_t>(at)) != static_cast<ssize_t>(size))
            return Fail(ERROR_WRITE_FAULT);
        if (at + size > m_written[region]) m_written[region] = at + size;
        return Done();
    }

    BOOL WriteChunk(const BYTE* in, DWORD size) {
        if (!m_osOpen || !in || size == 0 || size > FWD_OS_CHUNK_MAX || m_written[Os] + size > m_osLength)
            return Fail(ERROR_INVALID_PARAMETER);
        off_t at = static_cast<off_t>(m_written[Os]);
        if (TheFaults().PowerGoes("chunk")) {
            pwrite(m_fd[Os], in, size / 2, at);
            PowerLoss();
        }
        if (pwrite(m_fd[Os], in, size, at) != static_cast<ssize_t>(size)) return Fail(ERROR_WRITE_FAULT);
        m_written[Os] += size;
        return Done();
    }

    BOOL EndPages() {
        bool ok = true;
        for (int r = Xldr0; r <= Logo; ++r) {
            if (m_fd[r] < 0) continue;
            CloseFd(r);
            if (!CommitRegion(r, RegionPath(r, ".pending"))) ok = false;
            m_written[r] = 0;
        }
        m_bootBegun = false;
        return ok ? Done() : Fail(ERROR_WRITE_FAULT);
    }

    bool Pending(int region) {
        if (m_fd[region] >= 0) return true;
        m_fd[region] = open(RegionPath(region, ".pending").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_written[region] = 0;
        return m_fd[region] >= 0;
    }
    void CloseFd(int region) {
        if (m_fd[region] >= 0) close(m_fd[region]);
        m_fd[region] = -1;
    }
    void Discard(int region) {
        CloseFd(region);
        unlink(RegionPath(region, ".pending").c_str());
        m_written[region] = 0;
    }
    void Release() {
        std::lock_guard<std::mutex> g(m_lock);
        for (int r = 0; r < RegionCount; ++r) Discard(r);
        if (m_lockFd >= 0) close(m_lockFd);
        m_lockFd = -1;
    }

    std::mutex m_lock;
    int m_lockFd;
    bool m_bootBegun = false;
    bool m_osOpen = false;
    DWORD m_osLength = 0;
    std::array<int, RegionCount> m_fd{-1, -1, -1, -1, -1, -1, -1};
    std::array<unsigned long long, RegionCount> m_written{};
};

std::shared_ptr<DeviceObject> OpenFlash(const std::u16string& name, DWORD, DWORD) {
    if (name != u"FWD1:") {
        SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (TheFaults().Current().failOpen) {
        SetError(ERROR_NOT_READY);
        return nullptr;
    }
    // One writer at a time on the whole device.
    int fd = open((FlashFolder() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (fd >= 0) close(fd);
        SetError(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    SweepLeftovers();
    return std::make_shared<FlashDevice>(fd);
}

struct Registration {
    Registration() { RegisterDeviceOpener("FWD", OpenFlash); }
} g_registration;

}  // namespace

std::vector<DeviceRecord> ReadFlashRecords() {
    std::vector<DeviceRecord> records;
    std::vector<BYTE> text;
    if (!ReadWhole(RecordFile(), text, static_cast<size_t>(kRecordFileTrim) * 2)) return records;
    std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    DeviceRecord r;
    while (!all.empty()) {
        size_t end = all.find('\n');
        if (ParseDeviceRecord(all.substr(0, end), r)) records.push_back(r);
        if (end == std::string_view::npos) break;
        all.remove_prefix(end + 1);
    }
    if (records.size() > kFlashHistory)
        records.erase(records.begin(), records.end() - static_cast<ptrdiff_t>(kFlashHistory));
    return records;
}

bool ReadFlashRegion(const std::string& name, std::vector<BYTE>& image) {
    image.clear();
    int region = RegionIndex(name);
    RegionRecord rec;
    if (region < 0 || !ReadRecord(region, rec) || rec.length > FWD_OS_MAX) return false;
    if (!ReadWhole(ImagePath(region, rec.generation), image, FWD_OS_MAX) || image.size() != rec.length ||
        Crc32(image.data(), image.size()) != rec.crc) {
        image.clear();
        return false;
    }
    return true;
}

bool SetFlashFault(const std::string& fault) {
    std::string path = FlashFolder() + "/fault";
    if (fault.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string text = fault.back() == '\n' ? fault : fault + "\n";
    bool ok = WriteWhole(fd, reinterpret_cast<const BYTE*>(text.data()), text.size());
    close(fd);
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

std::vector<BYTE> MakeFlashImage(const std::string& kind, const std::string& tag, size_t size) {
    if (size == 0) size = kind == "xldr" ? 5000 : kind == "eboot" ? 0x10000 : kind == "logo" ? 0x4000 : 0x40000;
    if (size < 256) size = 256;
    DWORD seed = Crc32(reinterpret_cast<const BYTE*>(tag.data()), tag.size());
    std::vector<BYTE> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<BYTE>((i * 31 + seed + (i >> 8)) & 0xFF);
    size_t at = 0;
    if (kind != "logo") {
        const BYTE signature[4] = {0x45, 0x43, 0x45, 0x43};
        std::memcpy(&image[64], signature, 4);
        at = 72;
    }
    size_t n = tag.size() < 31 ? tag.size() : 31;
    std::memcpy(&image[at], tag.data(), n);
    image[at + n] = 0;
    return image;
}

std::string FlashImageTag(const std::string& kind, const std::vector<BYTE>& image) {
    size_t at = kind == "logo" ? 0 : 72;
    if (image.size() < at + 32) return {};
    std::string tag;
    for (size_t i = at; i < at + 32 && image[i]; ++i) tag.push_back(static_cast<char>(image[i]));
    return tag.size() < 32 ? tag : std::string();
}

bool CheckBootChain(std::string& why) {
    auto signed64 = [](const std::vector<BYTE>& image, size_t at) {
        return image.size() >= at + 68 && Word(&image[at + 64]) == FWD_IMAGE_SIGNATURE;
    };
    std::vector<BYTE> image;
    bool xldr = false;
    for (int copy = Xldr0; copy <= Xldr3 && !xldr; ++copy)
        xldr = ReadFlashRegion(kFlashRegions[copy], image) && image.size() >= 8 && Word(&image[0]) == FWD_XLDR_WORD0 &&
               Word(&image[4]) == FWD_XLDR_WORD1 && signed64(image, 8);
    if (!xldr) {
        why = "no whole XLDR copy";
        return false;
    }
    if (!ReadFlashRegion("eboot", image) || !signed64(image, 0)) {
        why = "the EBoot image is not whole";
        return false;
    }
    if (!ReadFlashRegion("os", image) || !signed64(image, 0)) {
        why = "the OS image is not whole";
        return false;
    }
    why.clear();
    return true;
}

bool SeedFactoryFlash(bool renew) {
    if (!renew) {
        RegionRecord rec;
        for (int r = 0; r < RegionCount; ++r)
            if (ReadRecord(r, rec)) return true;
    }
    std::vector<BYTE> xldr = MakeFlashImage("xldr", "factory");
    std::vector<BYTE> copy(8);
    const DWORD words[2] = {FWD_XLDR_WORD0, FWD_XLDR_WORD1};
    std::memcpy(copy.data(), words, 8);
    copy.insert(copy.end(), xldr.begin(), xldr.end());
    bool ok = true;
    for (int r = Xldr0; r <= Xldr3; ++r) ok = WriteRegionImage(r, copy) && ok;
    ok = WriteRegionImage(Eboot, MakeFlashImage("eboot", "factory")) && ok;
    ok = WriteRegionImage(Logo, MakeFlashImage("logo", "factory")) && ok;
    ok = WriteRegionImage(Os, MakeFlashImage("os", "factory")) && ok;
    return ok;
}

}  // namespace qrx

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID, DWORD, LPVOID, DWORD, LPDWORD lpBytesReturned) {
    if (lpBytesReturned) *lpBytesReturned = 0;
    if (dwIoControlCode == IOCTL_HAL_REBOOT) {
        // The board resets at once: no clean-up runs, as on the device.
        std::fflush(nullptr);
        _exit(static_cast<int>(IOCTL_HAL_REBOOT & 0xFF));
    }
    qrx::SetError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
