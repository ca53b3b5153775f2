#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

using Bytes = std::vector<BYTE>;

class FlashDeviceTest : public DeviceRootTest {
protected:
    ~FlashDeviceTest() override {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool Open() {
        h = CreateFileW(u"FWD1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE;
    }
    void Close() {
        CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    BOOL Io(DWORD code, const void* in, DWORD size) {
        DWORD returned = 0;
        return DeviceIoControl(h, code, const_cast<void*>(in), size, nullptr, 0, &returned, nullptr);
    }
    BOOL Page(DWORD offset, const BYTE* data, DWORD size) {
        Bytes buf(4 + size);
        std::memcpy(buf.data(), &offset, 4);
        std::memcpy(buf.data() + 4, data, size);
        return Io(IOCTL_FWD_WRITE_PAGE, buf.data(), size);
    }
    BOOL Begin() {
        const DWORD words[3] = {1, 0, 4096};
        return Io(IOCTL_FWD_BOOT_BEGIN, words, 3);
    }
    // The XLDR into all four copies, as the upgrader sends it: the two words and 2040 bytes first, then
    // pages whose offset is the copy base plus the image bytes sent so far.
    bool WriteXldr(const Bytes& image) {
        if (!Begin()) return false;
        for (DWORD base = 0; base < 4 * FWD_XLDR_COPY_SIZE; base += FWD_XLDR_COPY_SIZE) {
            Bytes first(8);
            const DWORD words[2] = {FWD_XLDR_WORD0, FWD_XLDR_WORD1};
            std::memcpy(first.data(), words, 8);
            size_t done = image.size() < 2040 ? image.size() : 2040;
            first.insert(first.end(), image.begin(), image.begin() + static_cast<ptrdiff_t>(done));
            if (!Page(base, first.data(), static_cast<DWORD>(first.size()))) return false;
            while (done < image.size()) {
                DWORD n = static_cast<DWORD>(image.size() - done < 2048 ? image.size() - done : 2048);
                if (!Page(base + static_cast<DWORD>(done + n), &image[done], n)) return false;
                done += n;
            }
        }
        return Io(IOCTL_FWD_PAGE_END, nullptr, 0);
    }
    bool WritePaged(DWORD base, const Bytes& image) {
        for (size_t at = 0; at < image.size(); at += 2048) {
            Bytes page(2048, 0xFF);
            std::memcpy(page.data(), &image[at], image.size() - at < 2048 ? image.size() - at : 2048);
            if (!Page(base + static_cast<DWORD>(at), page.data(), 2048)) return false;
        }
        return Io(IOCTL_FWD_PAGE_END, nullptr, 0);
    }
    bool WriteOs(const Bytes& image) {
        DWORD length = static_cast<DWORD>(image.size());
        if (!Io(IOCTL_OS_OPEN, &length, 4)) return false;
        size_t at = 0;
        DWORD last = 0;
        for (; at < image.size(); at += last) {
            last = static_cast<DWORD>(image.size() - at < FWD_OS_CHUNK_MAX ? image.size() - at : FWD_OS_CHUNK_MAX);
            if (!Io(IOCTL_OS_WRITE, &image[at], last)) return false;
        }
        return Io(IOCTL_OS_FINISH, image.data() + at - last, last);
    }
    std::string Tag(const char* region, const char* kind) {
        Bytes image;
        if (!qrx::ReadFlashRegion(region, image)) return "(none)";
        if (std::string(kind) == "xldr") image.erase(image.begin(), image.begin() + 8);
        return qrx::FlashImageTag(kind, image);
    }
    // Runs the body in a child process (a power loss kills its caller); its wait status.
    template <typename Body>
    int InChild(Body body) {
        pid_t pid = fork();
        if (pid == 0) {
            body();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }

    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(FlashDeviceTest, PlacesEachImageAndCommitsOnlyWhatEnded) {
    ASSERT_TRUE(qrx::SeedFactoryFlash(false));
    std::string why;
    EXPECT_TRUE(qrx::CheckBootChain(why)) << why;
    ASSERT_TRUE(Open());
    // Another writer waits for this one.
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(u"FWD1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));

    Bytes xldr = qrx::MakeFlashImage("xldr", "v2", 5000);
    ASSERT_TRUE(WriteXldr(xldr));
    for (const char* copy : {"xldr0", "xldr1", "xldr2", "xldr3"}) {
        Bytes image;
        ASSERT_TRUE(qrx::ReadFlashRegion(copy, image));
        ASSERT_EQ(5008u, image.size());
        EXPECT_TRUE(std::equal(xldr.begin(), xldr.end(), image.begin() + 8)) << copy;
    }
    // Per copy three pages: 2048 with the header, 2048, then 912.
    std::vector<DWORD> sizes;
    for (const auto& r : qrx::ReadDeviceRecords("FWD1"))
        if (r.code == IOCTL_FWD_WRITE_PAGE) sizes.push_back(r.size - 4);
    EXPECT_EQ((std::vector<DWORD>{2048, 2048, 912, 2048, 2048, 912, 2048, 2048, 912, 2048, 2048, 912}), sizes);

    Bytes eboot = qrx::MakeFlashImage("eboot", "v2", 5000), logo = qrx::MakeFlashImage("logo", "v2", 2049);
    ASSERT_TRUE(WritePaged(FWD_EBOOT_BASE, eboot));
    ASSERT_TRUE(WritePaged(FWD_LOGO_BASE, logo));
    Bytes image;
    ASSERT_TRUE(qrx::ReadFlashRegion("logo", image));
    ASSERT_EQ(4096u, image.size());  // two pages, the second filled with 0xFF
    EXPECT_EQ(0xFF, image[2049]);
    EXPECT_EQ("v2", Tag("eboot", "eboot"));

    // An OS session that ends short commits nothing; one that is whole does.
    Bytes os = qrx::MakeFlashImage("os", "v2", 0x50001);
    DWORD length = static_cast<DWORD>(os.size());
    ASSERT_TRUE(Io(IOCTL_OS_OPEN, &length, 4));
    ASSERT_TRUE(Io(IOCTL_OS_WRITE, os.data(), FWD_OS_CHUNK_MAX));
    EXPECT_FALSE(Io(IOCTL_OS_FINISH, os.data(), FWD_OS_CHUNK_MAX));
    EXPECT_EQ("factory", Tag("os", "os"));
    ASSERT_TRUE(WriteOs(os));
    EXPECT_EQ("v2", Tag("os", "os"));

    // Pages without their end leave the regions as they were, also when the writer goes away.
    ASSERT_TRUE(Begin());
    Bytes other(2048, 0x11);
    ASSERT_TRUE(Page(FWD_EBOOT_BASE, other.data(), 2048));
    ASSERT_TRUE(Page(0, other.data(), 2048));
    Close();
    EXPECT_EQ("v2", Tag("eboot", "eboot"));
    EXPECT_EQ("v2", Tag("xldr0", "xldr"));
    EXPECT_TRUE(qrx::CheckBootChain(why)) << why;
}

TEST_F(FlashDeviceTest, RefusesWhatDoesNotFitItsRegion) {
    ASSERT_TRUE(Open());
    Bytes page(4096, 0x22);
    EXPECT_FALSE(Page(0, page.data(), 2048));  // an XLDR page before the begin code
    EXPECT_FALSE(Io(IOCTL_FWD_BOOT_BEGIN, nullptr, 0));
    ASSERT_TRUE(Begin());
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(Page(0, page.data(), 2048)) << i;
    EXPECT_FALSE(Page(0, page.data(), 1));                            // the copy is full
    EXPECT_FALSE(Page(FWD_LOGO_BASE - 2047, page.data(), 2048));      // EBoot page into the logo
    EXPECT_FALSE(Page(FWD_LOGO_END - 2, page.data(), 4));             // logo page past its end
    EXPECT_FALSE(Page(FWD_LOGO_END, page.data(), 16));                // no region there
    EXPECT_FALSE(Page(FWD_EBOOT_BASE, page.data(), 2049));            // longer than a page
    EXPECT_FALSE(Io(0xBC042004, page.data(), 4));                     // not a code of the driver
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    DWORD length = FWD_OS_MAX + 1;
    EXPECT_FALSE(Io(IOCTL_OS_OPEN, &length, 4));
    EXPECT_FALSE(Io(IOCTL_OS_WRITE, page.data(), 16));  // no OS session
    length = 16;
    ASSERT_TRUE(Io(IOCTL_OS_OPEN, &length, 4));
    EXPECT_FALSE(Io(IOCTL_OS_WRITE, page.data(), 17));  // more than it announced
    ASSERT_TRUE(Io(IOCTL_FWD_PAGE_END, nullptr, 0));
    Bytes image;
    EXPECT_TRUE(qrx::ReadFlashRegion("xldr0", image));
    std::string why;
    EXPECT_FALSE(qrx::CheckBootChain(why));  // an XLDR copy without its words, no EBoot, no OS
    EXPECT_EQ("no whole XLDR copy", why);
    // Every call is on record, the refused ones too.
    EXPECT_EQ(0xBC042004u, qrx::ReadDeviceRecords("FWD1").at(72).code);
}

TEST_F(FlashDeviceTest, FaultsFailCallsAndPowerLossLeavesOldOrNew) {
    ASSERT_TRUE(qrx::SeedFactoryFlash(false));
    ASSERT_TRUE(qrx::SetFlashFault("open"));
    EXPECT_FALSE(Open());
    EXPECT_EQ(ERROR_NOT_READY, GetLastError());
    ASSERT_TRUE(qrx::SetFlashFault("fail BC022004 3"));
    ASSERT_TRUE(Open());
    Bytes eboot = qrx::MakeFlashImage("eboot", "v3", 8192);
    EXPECT_FALSE(WritePaged(FWD_EBOOT_BASE, eboot));
    EXPECT_EQ(ERROR_WRITE_FAULT, GetLastError());
    EXPECT_TRUE(WritePaged(FWD_EBOOT_BASE, eboot));  // the fault was the third call only
    Close();

    // The power goes in the middle of a page, of an OS chunk, at a commit: old images stay whole.
    for (const char* fault : {"power page 2", "power chunk 2", "power commit 1"}) {
        ASSERT_TRUE(qrx::SetFlashFault(fault));
        int status = InChild([&] {
            if (!Open()) _exit(2);
            WritePaged(FWD_EBOOT_BASE, qrx::MakeFlashImage("eboot", "v4", 8192));
            WriteOs(qrx::MakeFlashImage("os", "v4", 0x60000));
            _exit(3);
        });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << fault << " status " << status;
        std::string why;
        EXPECT_TRUE(qrx::CheckBootChain(why)) << fault << ": " << why;
        EXPECT_EQ(std::string(fault) == "power page 2" ? "v3" : "v4", Tag("eboot", "eboot")) << fault;
        EXPECT_EQ("factory", Tag("os", "os")) << fault;
        EXPECT_EQ("", root.ReadFile(".platform/flash/fault")) << "used up";
    }
    ASSERT_TRUE(Open());  // the leftovers of the cut go
    EXPECT_FALSE(qrx::ReadFlashRegion("xldr4", *std::make_unique<Bytes>()));
    ASSERT_TRUE(qrx::SeedFactoryFlash(true));
    EXPECT_EQ("factory", Tag("eboot", "eboot"));
}

TEST_F(FlashDeviceTest, StoresFollowTheVolumesAndRebootEndsTheProgram) {
    PARTINFO info{};
    info.cbSize = sizeof info;
    HANDLE store = OpenStore(u"DSK1:");
    ASSERT_NE(INVALID_HANDLE_VALUE, store);
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstPartition(store, &(info.cbSize = 200, info)));
    info.cbSize = sizeof info;
    HANDLE search = FindFirstPartition(store, &info);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    EXPECT_EQ(std::u16string(u"\\NAND Flash"), std::u16string(info.szVolumeName));
    EXPECT_FALSE(FindNextPartition(search, &info));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(FindClosePartition(search));
    CloseHandle(store);

    auto volumeOf = [](const char16_t* name) {
        HANDLE s = OpenStore(name);
        if (s == INVALID_HANDLE_VALUE) return std::u16string(u"(absent)");
        PARTINFO p{};
        p.cbSize = sizeof p;
        HANDLE f = FindFirstPartition(s, &p);
        std::u16string v = f == INVALID_HANDLE_VALUE ? u"(none)" : p.szVolumeName;
        if (f != INVALID_HANDLE_VALUE) FindClosePartition(f);
        CloseHandle(s);
        return v;
    };
    rmdir(root.Host("Hard Disk").c_str());
    EXPECT_EQ(u"\\SD Card", volumeOf(u"DSK2:"));
    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    EXPECT_EQ(u"(absent)", volumeOf(u"DSK2:"));
    mkdir(root.Host("Hard Disk").c_str(), 0755);
    EXPECT_EQ(u"\\Hard Disk", volumeOf(u"DSK2:"));
    EXPECT_EQ(u"(absent)", volumeOf(u"DSK3:"));
    root.WriteFile(".platform/stores", "DSK1: never\nDSK2: 0.5\n");
    EXPECT_EQ(u"(absent)", volumeOf(u"DSK1:"));
    root.WriteFile(".platform/stores", "DSK1: 100000\n");
    EXPECT_EQ(u"(absent)", volumeOf(u"DSK1:"));
    root.WriteFile(".platform/stores", "DSK1: 0.001\n");
    usleep(20000);
    EXPECT_EQ(u"\\NAND Flash", volumeOf(u"DSK1:"));

    EXPECT_FALSE(KernelIoControl(0x01010040, nullptr, 0, nullptr, 0, nullptr));
    int status = InChild([] { KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr); });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 60) << status;
}

}  // namespace
