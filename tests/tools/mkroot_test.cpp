#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "DeviceRoot.h"
#include "MkRoot.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"
#include "ui/BoardIo.h"
#include "ui/FileUtil.h"
#include "ui/TimeZones.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes, bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    if (executable) fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
}

struct Result {
    int code = -1;
    std::string output;
};

Result RunMkRoot(const std::string& args) {
    Result r;
    std::string command = std::string(QRX_MKROOT_EXE) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A build folder with two programs, a library, a program file that is not executable, a copy
// inside an old device root (never to be picked up), the archive and the language files.
class MkRootTest : public DeviceRootTest {
protected:
    void SetUp() override {
        base = root.Host("work");
        build = base + "/build";
        dev = base + "/device";
        WriteAll(build + "/app/QRX", "#!/bin/sh\necho qrx\n", true);
        WriteAll(build + "/splash/Splash", "#!/bin/sh\necho splash\n", true);
        WriteAll(build + "/radiolink/libRadiolink.so", "library bytes");
        WriteAll(build + "/shutter/Shutter", "not executable");
        WriteAll(build + "/old/.platform/registry", "");
        WriteAll(build + "/old/Windows/Starter", "#!/bin/sh\n", true);
        WriteAll(build + "/CMakeFiles/Trimset", "#!/bin/sh\n", true);
        WriteAll(build + "/assets/Splash.zip", ReadAll(std::string(QRX_BUILD_DIR) + "/assets/Splash.zip"));
        for (const auto& e : fs::directory_iterator(std::string(QRX_SOURCE_DIR) + "/assets/lang"))
            WriteAll(build + "/assets/lang/" + e.path().filename().string(), ReadAll(e.path()));
    }
    void UseDevice() {
        setenv("QRX_DEVICE_ROOT", dev.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    std::string Args(bool reset = false) const {
        return "--root " + Quote(dev) + " --build " + Quote(build) + (reset ? " --reset" : "");
    }
    std::string base, build, dev;
};

}  // namespace

TEST_F(MkRootTest, InstallsWhatIsBuiltAndIsIdempotent) {
    Result first = RunMkRoot(Args());
    ASSERT_EQ(first.code, 0) << first.output;
    for (const char* folder : {"Windows", "NAND Flash", "SD Card", "Hard Disk"})
        EXPECT_TRUE(fs::is_directory(dev + "/" + folder)) << folder;
    EXPECT_EQ(ReadAll(dev + "/Windows/QRX.exe"), ReadAll(build + "/app/QRX"));
    EXPECT_EQ(ReadAll(dev + "/Windows/Splash.exe"), ReadAll(build + "/splash/Splash"));
    EXPECT_NE(fs::status(dev + "/Windows/QRX.exe").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(ReadAll(dev + "/Windows/Radiolink.dll"), "library bytes");
    for (const char* absent : {"Shutter.exe", "Starter.exe", "Trimset.exe", "Numpad.dll"})
        EXPECT_FALSE(fs::exists(dev + "/Windows/" + absent)) << absent;
    EXPECT_NE(first.output.find("not built: Shutter.exe Starter.exe Reflash.exe Pairpad.exe Trimset.exe Numpad.dll"),
              std::string::npos)
        << first.output;
    EXPECT_EQ(ReadAll(dev + "/Windows/Splash.zip"), ReadAll(build + "/assets/Splash.zip"));
    EXPECT_EQ(ReadAll(dev + "/Windows/English.lang"), ReadAll(std::string(QRX_SOURCE_DIR) + "/assets/lang/English.lang"));
    EXPECT_TRUE(fs::exists(dev + "/Windows/DejaVuSans.ttf"));
    bool nanum = fs::exists("/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf");
    EXPECT_EQ(fs::exists(dev + "/NAND Flash/Font/NanumGothicBold.ttf"), nanum);
    EXPECT_EQ(first.output.find("fonts-nanum") != std::string::npos, !nanum);

    // Data on the internal flash and the card survive a refresh; the installed files stay the same.
    WriteAll(dev + "/NAND Flash/Setting.bin", "settings");
    WriteAll(dev + "/SD Card/log.csv", "log");
    WriteAll(build + "/app/QRX", "#!/bin/sh\necho newer\n", true);
    Result second = RunMkRoot(Args());
    ASSERT_EQ(second.code, 0) << second.output;
    EXPECT_EQ(ReadAll(dev + "/NAND Flash/Setting.bin"), "settings");
    EXPECT_EQ(ReadAll(dev + "/Windows/QRX.exe"), ReadAll(build + "/app/QRX"));
    EXPECT_NE(second.output.find("1 copied"), std::string::npos) << second.output;
    EXPECT_FALSE(fs::exists(dev + "/Windows/QRX.exe.mkroot-part"));

    // The factory boot chain is seeded once and kept; a reset renews a broken one.
    EXPECT_TRUE(fs::exists(dev + "/.platform/flash/os.rec"));
    fs::remove(dev + "/.platform/flash/os.rec");
    Result reset = RunMkRoot(Args(true));
    ASSERT_EQ(reset.code, 0) << reset.output;
    EXPECT_TRUE(fs::exists(dev + "/.platform/flash/os.rec"));
    EXPECT_FALSE(fs::exists(dev + "/NAND Flash/Setting.bin"));
    EXPECT_EQ(fs::exists(dev + "/NAND Flash/Font/NanumGothicBold.ttf"), nanum);
    EXPECT_EQ(ReadAll(dev + "/SD Card/log.csv"), "log");
}

TEST_F(MkRootTest, AVolumeTakenOutStaysOut) {
    WriteAll(dev + "/.platform/volumes/SD Card/log.csv", "log");
    Result r = RunMkRoot(Args());
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_FALSE(fs::exists(dev + "/SD Card"));
    EXPECT_TRUE(fs::is_directory(dev + "/Hard Disk"));
    EXPECT_EQ(ReadAll(dev + "/.platform/volumes/SD Card/log.csv"), "log");
    EXPECT_NE(r.output.find("taken out: SD Card"), std::string::npos) << r.output;

    // The internal flash taken out: refreshed without it, and never cleared in its absence.
    fs::rename(dev + "/NAND Flash", dev + "/.platform/volumes/NAND Flash");
    EXPECT_EQ(RunMkRoot(Args()).code, 0);
    EXPECT_FALSE(fs::exists(dev + "/NAND Flash"));
    Result reset = RunMkRoot(Args(true));
    EXPECT_EQ(reset.code, 1);
    EXPECT_NE(reset.output.find("NAND Flash is taken out"), std::string::npos) << reset.output;
    EXPECT_FALSE(fs::exists(dev + "/NAND Flash"));
}

TEST_F(MkRootTest, SeedsTheRegistryAndTheBoard) {
    ASSERT_EQ(RunMkRoot(Args()).code, 0);
    UseDevice();
    WCHAR folder[MAX_PATH];
    ASSERT_TRUE(GetSdCardFolder(folder));
    EXPECT_EQ(std::u16string(folder), u"\\SD Card");
    ASSERT_TRUE(GetUsbDiskFolder(folder));
    EXPECT_EQ(std::u16string(folder), u"\\Hard Disk");
    ASSERT_TRUE(GetNandFlashFolder(folder));
    EXPECT_EQ(std::u16string(folder), u"\\NAND Flash");

    TIME_ZONE_INFORMATION tz{};
    EXPECT_TRUE(ReadTimeZoneInfo(u"Pacific Standard Time", &tz));
    EXPECT_EQ(tz.Bias, 480);
    HKEY zones = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_READ, &zones), ERROR_SUCCESS);
    DWORD count = 0;
    for (;; ++count) {
        WCHAR name[MAX_PATH];
        DWORD len = MAX_PATH;
        if (RegEnumKeyExW(zones, count, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    }
    RegCloseKey(zones);
    EXPECT_GT(count, 20u);

    auto calibration = [] {
        HKEY key = nullptr;
        std::u16string value;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return value;
        WCHAR data[256] = {};
        DWORD type = 0, size = sizeof data - sizeof(WCHAR);
        if (RegQueryValueExW(key, u"CalibrationData", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            value = data;
        RegCloseKey(key);
        return value;
    };
    EXPECT_EQ(calibration(), mkroot::kDefaultCalibration);

    double revision = 0;
    BYTE kind = 0;
    ReadScreenRevision(&revision, &kind);
    EXPECT_DOUBLE_EQ(revision, 2.3);
    WCHAR text[16] = {};
    ReadDisplayBoardRevision(text, 16);
    EXPECT_EQ(std::u16string(text), u"4.1");
    EXPECT_EQ(qrx::GpioPinLevel(54), 0u);
    EXPECT_EQ(qrx::GpioPinLevel(57), 1u);

    // A calibration made on the device outlives a refresh; a reset brings the default back.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const char16_t mine[] = u"1,2 3,4 5,6 7,8 9,10";
    ASSERT_EQ(RegSetValueExW(key, u"CalibrationData", 0, REG_SZ, reinterpret_cast<const BYTE*>(mine), sizeof mine),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RunMkRoot(Args()).code, 0);
    qrx::ReloadHostConfig();
    EXPECT_EQ(calibration(), mine);
    ASSERT_EQ(RunMkRoot(Args(true)).code, 0);
    qrx::ReloadHostConfig();
    EXPECT_EQ(calibration(), mkroot::kDefaultCalibration);
}

TEST_F(MkRootTest, UsesExistingFoldersOfAnyCaseAndRefusesBadArguments) {
    fs::create_directories(dev + "/windows");
    fs::create_directories(dev + "/nand flash");
    ASSERT_EQ(RunMkRoot(Args()).code, 0);
    EXPECT_TRUE(fs::exists(dev + "/windows/QRX.exe"));
    EXPECT_FALSE(fs::exists(dev + "/Windows"));
    EXPECT_FALSE(fs::exists(dev + "/NAND Flash"));

    std::string fresh = base + "/never";
    EXPECT_EQ(RunMkRoot("--root " + Quote(fresh)).code, 2);
    EXPECT_EQ(RunMkRoot("--root " + Quote(fresh) + " --build").code, 2);
    EXPECT_EQ(RunMkRoot("--root " + Quote(fresh) + " --build " + Quote(build) + " --force").code, 2);
    Result missing = RunMkRoot("--root " + Quote(fresh) + " --build " + Quote(base + "/nobuild"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.output.find("not found"), std::string::npos);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(RunMkRoot("--root " + Quote(build) + " --build " + Quote(build)).code, 1);
}

TEST(MkRootSearch, PicksTheShallowestExecutableAndSkipsDeviceRoots) {
    TempDeviceRoot tmp;
    std::string b = tmp.Host("b");
    WriteAll(b + "/deep/er/QRX", "deep", true);
    WriteAll(b + "/app/qrx.exe", "shallow", true);
    WriteAll(b + "/dev/.platform/gpio", "");
    WriteAll(b + "/dev/Windows/Splash.exe", "installed", true);
    WriteAll(b + "/numpad/Numpad.dll", "lib");
    WriteAll(b + "/x/Pairpad", "plain file");
    mkroot::InstallEntry qrxEntry{"QRX", false}, splash{"Splash", false}, numpad{"Numpad", true}, pairpad{"Pairpad", false};
    EXPECT_EQ(mkroot::FindBuilt(b, qrxEntry, ""), b + "/app/qrx.exe");
    EXPECT_EQ(mkroot::FindBuilt(b, qrxEntry, b + "/app"), b + "/deep/er/QRX");
    EXPECT_EQ(mkroot::FindBuilt(b, splash, ""), "");
    EXPECT_EQ(mkroot::FindBuilt(b, numpad, ""), b + "/numpad/Numpad.dll");
    EXPECT_EQ(mkroot::FindBuilt(b, pairpad, ""), "");
    EXPECT_EQ(mkroot::FindBuilt(b + "/missing", qrxEntry, ""), "");
}
