#include "upgrader/FlashSteps.h"

#include <cstring>
#include <vector>

#include "qrx/flashapi.h"

namespace {

// An image staged by the flash part, read whole: it was checked there and is at most its region.
bool ReadImage(const std::u16string& file, std::vector<BYTE>& bytes) {
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(f, nullptr), read = 0;
    bool ok = size != INVALID_FILE_SIZE && size <= FWD_OS_MAX;
    if (ok) {
        bytes.resize(size);
        ok = size == 0 || (ReadFile(f, bytes.data(), size, &read, nullptr) && read == size);
    }
    CloseHandle(f);
    return ok;
}

bool Signed(const std::vector<BYTE>& image) {
    DWORD word = 0;
    if (image.size() < 68) return false;
    std::memcpy(&word, &image[64], 4);
    return word == FWD_IMAGE_SIGNATURE;
}

class Driver {
public:
    Driver() { m_h = CreateFileW(u"FWD1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); }
    ~Driver() {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    bool Open() const { return m_h != INVALID_HANDLE_VALUE; }
    bool Io(DWORD code, const void* in, DWORD size) {
        DWORD returned = 0;
        return DeviceIoControl(m_h, code, const_cast<void*>(in), size, nullptr, 0, &returned, nullptr) != FALSE;
    }
    // One page: the offset word, then the page; the size argument is the page's length.
    bool Page(DWORD offset, const BYTE* data, DWORD size) {
        m_page.resize(4 + size);
        std::memcpy(m_page.data(), &offset, 4);
        std::memcpy(m_page.data() + 4, data, size);
        return Io(IOCTL_FWD_WRITE_PAGE, m_page.data(), size);
    }

private:
    HANDLE m_h;
    std::vector<BYTE> m_page;
};

// EBoot and logo: 2048-byte pages at base + file offset, the last filled up with 0xFF.
bool PagedUpdate(const std::u16string& file, DWORD base, DWORD limit, bool needsSignature, StepProgress& progress) {
    std::vector<BYTE> image;
    if (!ReadImage(file, image) || image.empty() || image.size() > limit || (needsSignature && !Signed(image)))
        return false;
    Driver fwd;
    if (!fwd.Open()) return false;
    const ULONGLONG pages = (image.size() + FWD_PAGE_SIZE - 1) / FWD_PAGE_SIZE;
    std::vector<BYTE> page(FWD_PAGE_SIZE);
    for (ULONGLONG k = 0; k < pages; ++k) {
        size_t at = static_cast<size_t>(k) * FWD_PAGE_SIZE;
        size_t n = image.size() - at < FWD_PAGE_SIZE ? image.size() - at : FWD_PAGE_SIZE;
        std::memset(page.data(), 0xFF, page.size());
        std::memcpy(page.data(), &image[at], n);
        if (!fwd.Page(base + static_cast<DWORD>(at), page.data(), FWD_PAGE_SIZE)) return false;
        progress.Step(k, pages);
    }
    return fwd.Io(IOCTL_FWD_PAGE_END, nullptr, 0);
}

}  // namespace

void StepProgress::Span(int start, int end) {
    m_start = start < 0 ? 0 : start > 100 ? 100 : start;
    m_end = end < m_start ? m_start : end > 100 ? 100 : end;
}

void StepProgress::Step(ULONGLONG k, ULONGLONG n) {
    if (n == 0) return;
    ULONGLONG done = k + 1 > n ? n : k + 1;
    Send(m_start + static_cast<int>((m_end - m_start) * done / n));
}

void StepProgress::Send(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (percent == m_last) return;
    m_last = percent;
    if (m_send) m_send(percent);
}

int FlashStepEnd(int bitsLeft, bool withApplication) {
    static const int flashOnly[] = {100, 90, 65, 60, 45};
    static const int both[] = {80, 75, 50, 45, 30};
    if (bitsLeft < 1 || bitsLeft > 5) return 0;
    return (withApplication ? both : flashOnly)[bitsLeft - 1];
}

bool NANDUpdate(const std::u16string& file, StepProgress& progress) {
    std::vector<BYTE> image;
    if (!ReadImage(file, image) || image.size() > FWD_XLDR_COPY_SIZE - 8 || !Signed(image)) return false;
    Driver fwd;
    const DWORD begin[3] = {1, 0, 4096};
    if (!fwd.Open() || !fwd.Io(IOCTL_FWD_BOOT_BEGIN, begin, 3)) return false;
    const ULONGLONG pages = 1 + (image.size() > 2040 ? (image.size() - 2040 + FWD_PAGE_SIZE - 1) / FWD_PAGE_SIZE : 0);
    ULONGLONG k = 0;
    for (DWORD copy = 0; copy < FWD_XLDR_COPIES; ++copy) {
        const DWORD base = copy * FWD_XLDR_COPY_SIZE;
        std::vector<BYTE> first(8);
        const DWORD words[2] = {FWD_XLDR_WORD0, FWD_XLDR_WORD1};
        std::memcpy(first.data(), words, 8);
        size_t done = image.size() < 2040 ? image.size() : 2040;
        first.insert(first.end(), image.begin(), image.begin() + static_cast<ptrdiff_t>(done));
        if (!fwd.Page(base, first.data(), static_cast<DWORD>(first.size()))) return false;
        progress.Step(k++, pages * FWD_XLDR_COPIES);
        // The offset of a later page is the copy base plus the image bytes sent, this page included.
        while (done < image.size()) {
            DWORD n = static_cast<DWORD>(image.size() - done < FWD_PAGE_SIZE ? image.size() - done : FWD_PAGE_SIZE);
            if (!fwd.Page(base + static_cast<DWORD>(done) + n, &image[done], n)) return false;
            done += n;
            progress.Step(k++, pages * FWD_XLDR_COPIES);
        }
    }
    if (!fwd.Io(IOCTL_FWD_PAGE_END, nullptr, 0)) return false;
    progress.ToEnd();
    return true;
}

bool EBootUpdate(const std::u16string& file, StepProgress& progress) {
    return PagedUpdate(file, FWD_EBOOT_BASE, FWD_LOGO_BASE - FWD_EBOOT_BASE, true, progress);
}

bool LOGOUpdate(const std::u16string& file, StepProgress& progress) {
    return PagedUpdate(file, FWD_LOGO_BASE, FWD_LOGO_END - FWD_LOGO_BASE, false, progress);
}

bool OSIMAGEUpdate(const std::u16string& file, StepProgress& progress) {
    std::vector<BYTE> image;
    if (!ReadImage(file, image) || !Signed(image)) return false;
    Driver fwd;
    DWORD length = static_cast<DWORD>(image.size());
    if (!fwd.Open() || !fwd.Io(IOCTL_OS_OPEN, &length, 4)) return false;
    const ULONGLONG chunks = (image.size() + FWD_OS_CHUNK_MAX - 1) / FWD_OS_CHUNK_MAX;
    size_t at = 0;
    DWORD last = 0;
    for (ULONGLONG k = 0; k < chunks; ++k, at += last) {
        last = static_cast<DWORD>(image.size() - at < FWD_OS_CHUNK_MAX ? image.size() - at : FWD_OS_CHUNK_MAX);
        if (!fwd.Io(IOCTL_OS_WRITE, &image[at], last)) return false;
        progress.Step(k, chunks);
    }
    return fwd.Io(IOCTL_OS_FINISH, image.data() + at - last, last);
}

bool OsUpdate(const FlashPlan& plan, bool withApplication, StepProgress& progress,
              const std::function<bool(const std::u16string&, StepProgress&)>& pmc, std::string& failed) {
    struct Step {
        DWORD bit;
        int file;
        const char* name;
        bool (*run)(const std::u16string&, StepProgress&);
    };
    static const Step kOrder[] = {{FLASH_STEP_XLDR, 0, "NANDUpdate", NANDUpdate},
                                  {FLASH_STEP_EBOOT, 1, "EBootUpdate", EBootUpdate},
                                  {FLASH_STEP_LOGO, 3, "LOGOUpdate", LOGOUpdate},
                                  {FLASH_STEP_OS, 2, "OSIMAGEUpdate", OSIMAGEUpdate},
                                  {FLASH_STEP_PMC, 5, "PmcFwDownload", nullptr}};
    // The emergency image is only carried: no step writes it, and it takes no share of the progress.
    DWORD bits = plan.steps & ~FLASH_STEP_EMERGENCY;
    for (const Step& s : kOrder) {
        if (!(bits & s.bit)) continue;
        int left = 0;
        for (DWORD b = bits; b; b &= b - 1) ++left;
        int end = FlashStepEnd(left, withApplication);
        progress.Span(progress.End(), end ? end : progress.End());
        bits &= ~s.bit;
        bool ok = s.run ? s.run(plan.files[s.file], progress) : (pmc && pmc(plan.files[s.file], progress));
        if (!ok) {
            failed = s.name;
            return false;
        }
        progress.ToEnd();
    }
    return true;
}
