#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace fs = std::filesystem;

namespace {

class PathMapping : public DeviceRootTest {
protected:
    void SetUp() override {
        fs::create_directories(root.Host("NAND Flash/System"));
        root.WriteFile("NAND Flash/System/Setting.bin", "s");
        root.WriteFile("Windows/QRX.exe", "x");
    }
    std::string Map(const WCHAR* device) {
        std::string host;
        if (!qrx::MapDevicePath(device, host)) return "<fail " + std::to_string(GetLastError()) + ">";
        return host;
    }
};

}  // namespace

TEST(DeviceRootConfig, ComesFromTheEnvironmentMadeAbsoluteAndCreated) {
    std::string base = (fs::temp_directory_path() / ("qrx-root-" + std::to_string(getpid()))).string();
    fs::remove_all(base);
    fs::create_directories(base);
    std::string cwd = fs::current_path().string();
    fs::current_path(base);
    setenv("QRX_DEVICE_ROOT", "sub/../dev/", 1);
    qrx::ReloadHostConfig();
    const std::string& first = qrx::DeviceRoot();
    EXPECT_EQ(first, base + "/dev");
    EXPECT_TRUE(fs::is_directory(first));
    EXPECT_EQ(qrx::PlatformStatePath("ports"), base + "/dev/.platform/ports");
    EXPECT_TRUE(fs::is_directory(base + "/dev/.platform"));

    // Switching roots keeps earlier references valid for threads still holding them.
    setenv("QRX_DEVICE_ROOT", (base + "/other").c_str(), 1);
    qrx::ReloadHostConfig();
    EXPECT_EQ(qrx::DeviceRoot(), base + "/other");
    EXPECT_EQ(first, base + "/dev");

    // Without the variable a program outside a device root gets its per-user folder.
    unsetenv("QRX_DEVICE_ROOT");
    qrx::ReloadHostConfig();
    EXPECT_EQ(qrx::DeviceRoot(), "/tmp/qrx-device-" + std::to_string(getuid()));
    fs::current_path(cwd);
    fs::remove_all(base);
}

// Runs a copy of this test program from .../dev/WINDOWS: the copy reports the root it found.
TEST(DeviceRootConfig, AnInstalledProgramFindsTheRootAboveItsFolder) {
    if (const char* out = std::getenv("QRX_TEST_ROOT_OUT")) {
        FILE* f = fopen(out, "w");
        ASSERT_NE(f, nullptr);
        fputs(qrx::DeviceRoot().c_str(), f);
        fclose(f);
        return;
    }
    // Beside this program, where executing is certainly allowed.
    std::string base =
        (fs::read_symlink("/proc/self/exe").parent_path() / ("qrx-installed-" + std::to_string(getpid()))).string();
    fs::remove_all(base);
    fs::create_directories(base + "/dev/WINDOWS");
    fs::copy_file("/proc/self/exe", base + "/dev/WINDOWS/probe");
    fs::permissions(base + "/dev/WINDOWS/probe", fs::perms::owner_all);
    std::string command = "env -u QRX_DEVICE_ROOT QRX_TEST_ROOT_OUT='" + base + "/out' '" + base +
                          "/dev/WINDOWS/probe' --gtest_filter=DeviceRootConfig.AnInstalledProgram* >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(base + "/out");
    std::string found;
    std::getline(in, found);
    EXPECT_EQ(found, base + "/dev");
    fs::remove_all(base);
}

TEST_F(PathMapping, MatchesEachComponentWithoutRegardToCaseAndSeparator) {
    const std::string expected = root.Host("NAND Flash/System/Setting.bin");
    EXPECT_EQ(Map(u"\\NAND Flash\\System\\Setting.bin"), expected);
    EXPECT_EQ(Map(u"\\nand flash\\SYSTEM\\setting.BIN"), expected);
    EXPECT_EQ(Map(u"/nand FLASH/system/setting.bin"), expected);
    EXPECT_EQ(Map(u"nand flash/system\\setting.bin"), expected);  // no current folder: from the root
    EXPECT_EQ(Map(u"\\\\NAND Flash//.\\System\\\\Setting.bin\\"), expected);
    EXPECT_EQ(Map(u"\\"), root.Path());
    EXPECT_EQ(Map(u"\\windows\\qrx.EXE"), root.Host("Windows/QRX.exe"));

    // Latin-1 letters fold too.
    fs::create_directories(root.Host("NAND Flash/\xC3\x89tat"));
    EXPECT_EQ(Map(u"\\NAND Flash\\\u00E9TAT"), root.Host("NAND Flash/\xC3\x89tat"));
}

TEST_F(PathMapping, DotDotStaysInsideTheRoot) {
    EXPECT_EQ(Map(u"\\NAND Flash\\System\\..\\..\\..\\..\\Windows\\QRX.exe"), root.Host("Windows/QRX.exe"));
    EXPECT_EQ(Map(u"..\\..\\etc\\passwd"), root.Host("etc/passwd"));
    EXPECT_EQ(Map(u"\\.."), root.Path());
}

TEST_F(PathMapping, MissingComponentsKeepTheirSpellingAndExactSpellingWins) {
    EXPECT_EQ(Map(u"\\nand flash\\New Folder\\Data.CSV"), root.Host("NAND Flash/New Folder/Data.CSV"));
    // After a missing folder nothing is looked up, even where a like-named entry exists later.
    fs::create_directories(root.Host("Hard Disk/a"));
    EXPECT_EQ(Map(u"\\HARD DISK\\missing\\..\\A"), root.Host("Hard Disk/a"));

    root.WriteFile("Hard Disk/log.txt", "1");
    root.WriteFile("Hard Disk/LOG.txt", "2");
    EXPECT_EQ(Map(u"\\Hard Disk\\LOG.txt"), root.Host("Hard Disk/LOG.txt"));
    EXPECT_EQ(Map(u"\\Hard Disk\\log.txt"), root.Host("Hard Disk/log.txt"));
    // Neither exact: the choice is the same every time.
    EXPECT_EQ(Map(u"\\Hard Disk\\Log.Txt"), root.Host("Hard Disk/LOG.txt"));
}

TEST_F(PathMapping, RefusesBadPathsAndTheLayersOwnState) {
    EXPECT_EQ(Map(u""), "<fail 123>");
    EXPECT_EQ(Map(u"\\NAND Flash\\*.bin"), "<fail 123>");
    EXPECT_EQ(Map(u"\\NAND Flash\\a?c"), "<fail 123>");
    std::string host;
    EXPECT_FALSE(qrx::MapDevicePath(std::u16string(u"\\Windows\0\\x", 12), host));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(qrx::MapDevicePath(std::u16string(u"\\Windows\\QRX.exe"), host));

    std::u16string longest = u"\\" + std::u16string(MAX_PATH - 2, u'a');
    EXPECT_TRUE(qrx::MapDevicePath(longest.c_str(), host));
    std::u16string tooLong = longest + u"b";
    EXPECT_EQ(Map(tooLong.c_str()), "<fail 206>");
    std::u16string unterminated(1000, u'x');  // only MAX_PATH characters are ever read
    EXPECT_EQ(Map(unterminated.c_str()), "<fail 206>");

    qrx::PlatformStatePath("registry");
    EXPECT_EQ(Map(u"\\.platform"), "<fail 2>");
    EXPECT_EQ(Map(u"\\.PLATFORM\\registry"), "<fail 3>");
    EXPECT_EQ(Map(u"\\NAND Flash\\..\\.platform\\registry"), "<fail 3>");
    fs::create_directories(root.Host("NAND Flash/.platform"));  // only the root's is the layer's
    EXPECT_EQ(Map(u"\\NAND Flash\\.platform"), root.Host("NAND Flash/.platform"));
}

TEST_F(PathMapping, HostPathsInsideTheRootMapBack) {
    std::u16string device;
    ASSERT_TRUE(qrx::HostToDevicePath(root.Host("Windows/QRX.exe"), device));
    EXPECT_EQ(device, u"\\Windows\\QRX.exe");
    ASSERT_TRUE(qrx::HostToDevicePath(root.Path() + "/", device));
    EXPECT_EQ(device, u"\\");
    ASSERT_TRUE(qrx::HostToDevicePath(root.Path() + "/NAND Flash/../Windows//QRX.exe", device));
    EXPECT_EQ(device, u"\\Windows\\QRX.exe");

    EXPECT_FALSE(qrx::HostToDevicePath(root.Path() + "-other/x", device));
    EXPECT_FALSE(qrx::HostToDevicePath("/etc/passwd", device));
    EXPECT_FALSE(qrx::HostToDevicePath(root.Host(".platform/registry"), device));

    // Through a symbolic link to the root.
    std::string link = root.Path() + "-link";
    fs::create_directory_symlink(root.Path(), link);
    EXPECT_TRUE(qrx::HostToDevicePath(link + "/Windows/QRX.exe", device));
    EXPECT_EQ(device, u"\\Windows\\QRX.exe");
    fs::remove(link);
}
