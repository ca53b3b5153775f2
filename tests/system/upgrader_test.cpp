// Reflash on a device of its own: a qrx-mkroot root, the screen headless, the simulated MCU with the
// PMC's boot loader, a package from qrx-mkpackage on the card.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "FlashRegions.h"
#include "MkPackage.h"
#include "SystemHarness.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

const char kPmcEntry[] = "QRX_PMC_APP_R2_3.bin";  // the board of qrx-mkroot: screen board 2.3

void PutPackage(const TempDeviceRoot& root, mkpackage::Options o, const std::string& store = "SD Card") {
    std::vector<uint8_t> bytes;
    std::string why;
    ASSERT_TRUE(mkpackage::BuildPackage(o, bytes, why)) << why;
    root.WriteFile(store + "/QRX3FWDATA.FWD", std::string(bytes.begin(), bytes.end()));
}

mkpackage::Options Package(const TempDeviceRoot& root, std::vector<std::string> faults = {}) {
    mkpackage::Options o;
    o.tag = "v2";
    o.flash = o.pmc = true;
    o.appDir = root.Host("new");
    o.faults = std::move(faults);
    return o;
}

class UpgraderSystemTest : public ::testing::Test {
protected:
    // The device with its files: old application files and the new ones of the package.
    // make: a new root from the build, else the device comes up again on the root it had.
    bool Up(QrxDevice::Options options, bool withQrx, const std::function<void()>& prepare = nullptr,
            bool make = true) {
        setenv("QRX_DEVICE_ROOT", root.Path().c_str(), 1);  // the flash as this process reads it
        device = std::make_unique<QrxDevice>(root, options);
        std::string why;
        bool ok = !make || device->MakeRoot(why);
        if (make) {
            root.WriteFile("new/Readme.txt", "new readme");
            root.WriteFile("new/Font/NanumGothicBold.ttf", "new font");
            root.WriteFile("NAND Flash/Readme.txt", "old readme");
        }
        if (prepare) prepare();
        ok = ok && device->StartScreen(why) && (!options.mcu || device->StartMcu(why)) &&
             (!withQrx || device->StartQrx(why));
        EXPECT_TRUE(ok) << why;
        return ok;
    }
    pid_t Reflash(const std::string& args = "") {
        std::vector<std::string> argv{root.Host("Windows/Reflash.exe")};
        if (!args.empty()) argv.push_back(args);
        return SpawnHost(argv, device->Env(), QrxDevice::Unset(), root.Host("reflash.out"), root.Host("reflash.err"));
    }
    bool Logged(const std::string& text) const { return root.DebugMessages().find(text) != std::string::npos; }
    size_t Count(const std::string& text) const {
        const std::string log = root.DebugMessages();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    bool WaitBox(int text, size_t times = 1) const {
        return WaitUntil([&] { return Count("MessageBox [1] [" + std::to_string(text) + "] buttons 1") >= times; });
    }
    void ExpectNothingWritten() const {
        for (const char* r : kFlashRegions) EXPECT_EQ("factory", RegionTag(r)) << r;
        EXPECT_EQ("old readme", root.ReadFile("NAND Flash/Readme.txt"));
        EXPECT_FALSE(fs::exists(root.Host("NAND Flash/app_upgrade.dat")));
    }
    static constexpr POINT kOk{320, 310}, kCancel{480, 310};

    TempDeviceRoot root;
    std::unique_ptr<QrxDevice> device;
};

TEST_F(UpgraderSystemTest, TheWholeUpgradeWithTheMainProgramRunning) {
    ASSERT_TRUE(Up({}, true, [&] {
        PutPackage(root, Package(root));
        root.WriteFile("SD Card/sos2.dat", "");
        root.WriteFile("Hard Disk/sos2.dat", "");
    }));
    pid_t reflash = Reflash();
    // The main program ends without starting the shell, and the upgrade ends in a reboot.
    EXPECT_EQ(0, device->WaitQrxExit());
    EXPECT_EQ(60, WaitExit(reflash, 3 * kPatience)) << root.DebugMessages();
    EXPECT_FALSE(Logged("RunProgram : \\Windows\\Explorer.exe"));
    EXPECT_NE(std::string::npos, Slurp(device->McuLogPath()).find("GotoLoader"));
    EXPECT_TRUE(Logged("CMD_Connect : Success"));
    EXPECT_TRUE(Logged("PMC FW Download success"));
    for (const char* r : kFlashRegions) EXPECT_EQ("v2", RegionTag(r)) << r;
    EXPECT_EQ("new readme", root.ReadFile("NAND Flash/Readme.txt"));
    EXPECT_NE("new font", root.ReadFile("NAND Flash/Font/NanumGothicBold.ttf"));
    for (const char* gone : {"NAND Flash/app_upgrade.dat", "SD Card/sos2.dat", "Hard Disk/sos2.dat"})
        EXPECT_FALSE(fs::exists(root.Host(gone))) << gone;

    // After the reboot the PMC runs the new firmware, its version led by the image's first bytes.
    device->Shutdown();
    const std::vector<uint8_t> fw = mkpackage::MakePmcFirmware(kPmcEntry, "v2");
    pid_t mcu = SpawnHost({QRX_SIM_MCU_EXE}, device->Env(), QrxDevice::Unset(), root.Host("mcu2.out"), "/dev/null");
    const std::string version = "firmware " + std::to_string(fw[0]) + "." + std::to_string(fw[1]) + "." +
                                std::to_string(fw[2]) + "." + std::to_string(fw[3]) + ")";
    EXPECT_TRUE(WaitUntil([&] { return Slurp(root.Host("mcu2.out")).find("COM2 -> ") != std::string::npos; }));
    EXPECT_NE(std::string::npos, Slurp(root.Host("mcu2.out")).find(version)) << Slurp(root.Host("mcu2.out"));
    StopHost(mcu);
}

TEST_F(UpgraderSystemTest, EachFaultShowsItsBoxOkRetriesCancelReboots) {
    // No boot loader answers: box 12, OK tries the whole start again, CANCEL reboots.
    QrxDevice::Options deaf;
    deaf.mcuArgs = {"--iap-fault", "no-loader"};
    deaf.timeScale = 10;  // each of the connects waits out its reply time
    ASSERT_TRUE(Up(deaf, false, [&] { PutPackage(root, Package(root)); }));
    pid_t reflash = Reflash();
    ASSERT_TRUE(WaitBox(12)) << root.DebugMessages();
    EXPECT_EQ(5u, Count("CMD_Connect : Fail"));
    ASSERT_TRUE(device->Tap(kOk.x, kOk.y));
    ASSERT_TRUE(WaitBox(12, 2));
    EXPECT_EQ(10u, Count("CMD_Connect : Fail"));
    ASSERT_TRUE(device->Tap(kCancel.x, kCancel.y));
    EXPECT_EQ(60, WaitExit(reflash));
    ExpectNothingWritten();
    device->Shutdown();

    // Bad packages with a loader that answers: box 15 and nothing written; a failed flash write:
    // box 17, no reboot, the marker kept for the next boot.
    ASSERT_TRUE(Up({}, false, nullptr, false));
    for (const char* fault : {"magic", "nk-signature", "name-root", "xldr-large"}) {
        PutPackage(root, Package(root, {fault}));
        reflash = Reflash();
        ASSERT_TRUE(WaitBox(15)) << fault << "\n" << root.DebugMessages();
        ASSERT_TRUE(device->Tap(kCancel.x, kCancel.y));
        EXPECT_EQ(60, WaitExit(reflash)) << fault;
        ExpectNothingWritten();
        std::remove(root.Host(".platform/debug.log").c_str());
    }
    PutPackage(root, Package(root));
    ASSERT_TRUE(qrx::SetFlashFault("fail BC062004 1"));
    reflash = Reflash();
    ASSERT_TRUE(WaitBox(17)) << root.DebugMessages();
    EXPECT_TRUE(fs::exists(root.Host("NAND Flash/app_upgrade.dat")));
    EXPECT_EQ(0, waitpid(reflash, nullptr, WNOHANG));  // no reboot after a failure
    // OK retries the whole sequence and now succeeds.
    ASSERT_TRUE(device->Tap(kOk.x, kOk.y));
    EXPECT_EQ(60, WaitExit(reflash, 3 * kPatience)) << root.DebugMessages();
    for (const char* r : kFlashRegions) EXPECT_EQ("v2", RegionTag(r)) << r;
    EXPECT_FALSE(fs::exists(root.Host("NAND Flash/app_upgrade.dat")));
}

TEST_F(UpgraderSystemTest, WaitsForTheStoresUnderTheTimeScale) {
    QrxDevice::Options fast;
    fast.timeScale = 20;
    ASSERT_TRUE(Up(fast, false, [&] {
        PutPackage(root, Package(root));
        root.WriteFile(".platform/stores", "DSK1: never\n");
    }));
    pid_t reflash = Reflash();
    ASSERT_TRUE(WaitBox(12)) << root.DebugMessages();
    EXPECT_TRUE(Logged("NAND_DRIVE not found after 180 s"));
    EXPECT_TRUE(Logged("CMD_Connect : Success"));
    ASSERT_TRUE(device->Tap(kCancel.x, kCancel.y));
    EXPECT_EQ(60, WaitExit(reflash));
    ExpectNothingWritten();
}

// The Z-330 (its model in the settings file): the PMC on COM6, the package on "\\Hard Disk".
TEST_F(UpgraderSystemTest, TheZ330UpgradesFromTheHardDiskOverCom6) {
    QrxDevice::Options noCom2;
    noCom2.mcu = false;
    ASSERT_TRUE(Up(noCom2, false, [&] {
        std::string settings(986, '\0');
        const std::string model = "Z-330";
        for (size_t i = 0; i < model.size(); ++i) settings[128 + 2 * i] = model[i];
        unsigned sum = 0;
        for (size_t i = 0; i < 984; ++i) sum += static_cast<unsigned char>(settings[i]);
        settings[984] = static_cast<char>(sum & 0xFF);
        settings[985] = static_cast<char>((sum >> 8) & 0xFF);
        root.WriteFile("NAND Flash/System/Setting.bin", settings);
        PutPackage(root, Package(root), "Hard Disk");
    }));
    pid_t mcu = SpawnHost({QRX_SIM_MCU_EXE, "--port", "6"}, device->Env(), QrxDevice::Unset(), root.Host("mcu6.out"),
                          "/dev/null");
    ASSERT_TRUE(WaitUntil([&] { return Slurp(root.Host("mcu6.out")).find("COM6 -> ") != std::string::npos; }));
    pid_t reflash = Reflash();
    EXPECT_EQ(60, WaitExit(reflash, 3 * kPatience)) << root.DebugMessages();
    StopHost(mcu);
    EXPECT_TRUE(Logged("Found Z-330"));
    for (const char* r : kFlashRegions) EXPECT_EQ("v2", RegionTag(r)) << r;
    const std::vector<uint8_t> fw = mkpackage::MakePmcFirmware("[Z330]FW.bin", "v2");
    EXPECT_EQ(std::string(fw.begin(), fw.end()), root.ReadFile(".platform/pmc/program.bin"));
}

// Screens in English and Korean with no main program ever started: the language's face is Reflash's
// own. One Reflash at a time; the service taps end it.
TEST_F(UpgraderSystemTest, DrawsItsLanguageAloneAndRunsOnce) {
    QrxDevice::Options noMcu;
    noMcu.mcu = false;
    ASSERT_TRUE(Up(noMcu, false));
    const RECT box{210, 84, 590, 363};
    auto screen = [&](const std::string& args, const std::string& file, RgbPicture& picture) {
        std::remove(root.Host(".platform/debug.log").c_str());
        pid_t reflash = Reflash(args);
        ASSERT_TRUE(WaitBox(12)) << root.DebugMessages();
        ASSERT_TRUE(device->SettledShot(picture, file));
        if (args == "1") {
            pid_t second = Reflash("1");
            EXPECT_EQ(255, WaitExit(second));
        }
        // The service taps: the corners, top right, bottom right, bottom left, top right, bottom right.
        ASSERT_TRUE(device->Taps({{750, 50}, {750, 430}, {50, 430}, {750, 50}, {750, 430}}));
        EXPECT_EQ(0, WaitExit(reflash));
        EXPECT_TRUE(Logged("Service access"));
    };
    RgbPicture english, korean, tofu;
    screen("", "reflash-en.png", english);
    screen("1", "reflash-ko.png", korean);
    fs::rename(root.Host("NAND Flash/Font/NanumGothicBold.ttf"), root.Host("nanum.ttf"));
    screen("1", "reflash-ko-nofont.png", tofu);
    // The box's texts: without the face the Hangul would draw as the default font's boxes.
    const RECT outside[] = {{0, 0, 800, box.top}, {0, box.bottom, 800, 480}, {0, 0, box.left, 480},
                            {box.right, 0, 800, 480}};
    EXPECT_GT(DifferentPixels(korean, tofu, 16, {outside, outside + 4}), 200u);
    EXPECT_GT(DifferentPixels(english, korean, 16, {outside, outside + 4}), 200u);
}

}  // namespace
