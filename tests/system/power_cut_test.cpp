// The never-brick rule under qrx-run: the upgrade that sos2.dat forces is cut at every phase, by the
// flash's power-loss fault or by killing the whole device; every power-on after a cut boots, every
// region and file is wholly old or new, and a later boot finishes the upgrade.
#include <filesystem>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "FlashRegions.h"
#include "MkPackage.h"
#include "SystemHarness.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 200;

class PowerCutAtEveryPhaseNeverBricks : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QRX_DEVICE_ROOT", root.Path().c_str(), 1);
        QrxDevice maker(root);
        std::string why;
        ASSERT_TRUE(maker.MakeRoot(why)) << why;
        // The stand-in is the main program, in \Windows and as the package's new one.
        Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
        Install(root, QRX_STANDIN_EXE, "new/QRX.exe");
        for (int i = 0; i < kFiles; ++i) {
            root.WriteFile(File("new", i), "new");
            root.WriteFile(File("NAND Flash", i), "old");
        }
        mkpackage::Options o;
        o.tag = "v2";
        o.flash = o.pmc = true;
        o.appDir = root.Host("new");
        // Three XLDR pages a copy (pages 1-12), EBoot 13-16, logo 17-18, two OS chunks.
        o.xldrSize = 5000;
        o.ebootSize = 8192;
        o.logoSize = 4096;
        o.osSize = 0x30000;
        o.pmcSize = 0x4000;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(mkpackage::BuildPackage(o, bytes, why)) << why;
        root.WriteFile("SD Card/QRX3FWDATA.FWD", std::string(bytes.begin(), bytes.end()));
        root.WriteFile("SD Card/sos2.dat", "");
    }
    static std::string File(const std::string& base, int i) { return base + "/Data/f" + std::to_string(i) + ".txt"; }

    pid_t PowerOn() {
        return SpawnHost({QRX_RUN_EXE, "--root", root.Path(), "--mcu"},
                         {"QRX_DEVICE_ROOT=" + root.Path(), "QRX_TIME_SCALE=5"}, QrxDevice::Unset(),
                         root.Host("run.out"), root.Host("run.err"));
    }
    size_t Count(const std::string& text) const {
        const std::string log = root.DebugMessages();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    // The whole device goes at once when the condition holds.
    void CutWhen(const std::string& phase, const std::function<bool()>& when) {
        pid_t run = PowerOn();
        ASSERT_GT(run, 0);
        EXPECT_TRUE(WaitUntil(when, 2 * kPatience)) << phase << "\n" << Slurp(root.Host("run.err"));
        kill(run, SIGKILL);
        WaitExit(run);
        Off(phase);
    }
    // The flash loses its power under the writer at the fault's page, chunk or commit.
    void CutByFlash(const std::string& fault) {
        ASSERT_TRUE(qrx::SetFlashFault(fault));
        pid_t run = PowerOn();
        ASSERT_GT(run, 0);
        EXPECT_EQ(0, WaitExit(run, 2 * kPatience)) << fault << "\n" << Slurp(root.Host("run.err"));
        EXPECT_TRUE(qrx::SetFlashFault(""));
        Off(fault);
    }
    void Off(const std::string& phase) {
        EXPECT_TRUE(WaitUntil([&] { return ProcessesBelow(root.Path()).empty() && !ScreenUp(root.Path()); }))
            << phase;
        ExpectWholeAndBootable(phase);
    }
    void ExpectWholeAndBootable(const std::string& phase) {
        pid_t check = SpawnHost({QRX_RUN_EXE, "--root", root.Path(), "--boot-check"},
                                {"QRX_DEVICE_ROOT=" + root.Path()}, QrxDevice::Unset(), "/dev/null", "/dev/null");
        EXPECT_EQ(0, WaitExit(check)) << phase;
        for (const char* r : kFlashRegions) {
            const std::string tag = RegionTag(r);
            EXPECT_TRUE(tag == "factory" || tag == "v2") << phase << " " << r << " " << tag;
        }
        for (int i = 0; i < kFiles; ++i) {
            const std::string f = root.ReadFile(File("NAND Flash", i));
            EXPECT_TRUE(f == "old" || f == "new") << phase << " " << i << " " << f;
        }
    }
    // A later boot finishes: everything new, the markers gone, the new main program runs.
    void Finish() {
        pid_t run = PowerOn();
        EXPECT_EQ(0, WaitExit(run, 3 * kPatience)) << Slurp(root.Host("run.err")) << root.DebugMessages();
        for (const char* r : kFlashRegions) EXPECT_EQ("v2", RegionTag(r)) << r;
        for (int i = 0; i < kFiles; ++i) EXPECT_EQ("new", root.ReadFile(File("NAND Flash", i))) << i;
        EXPECT_FALSE(fs::exists(root.Host("NAND Flash/app_upgrade.dat")));
        EXPECT_FALSE(fs::exists(root.Host("SD Card/sos2.dat")));
        EXPECT_NE(std::string::npos, Slurp(root.Host("standin.log")).find("\\NAND Flash\\QRX.exe|"));
        const std::string pmc = Slurp(root.Host(".platform/pmc/state"));
        EXPECT_EQ(" 1 0", pmc.substr(pmc.find(' '), 4)) << pmc;
    }

    TempDeviceRoot root;
};

TEST_F(PowerCutAtEveryPhaseNeverBricks, BeforeTheFirstWriteAndInTheBootLoaders) {
    const size_t ready = Count("Ready!!!!!!!!");
    CutWhen("before the first write", [&] { return Count("Ready!!!!!!!!") > ready; });
    for (const char* fault : {"power page 2", "power page 5", "power page 8", "power page 11", "power page 14",
                              "power page 18"})
        CutByFlash(fault);
    Finish();
}

TEST_F(PowerCutAtEveryPhaseNeverBricks, InTheOsImageAndTheCommitsAndWithTheCardRemoved) {
    for (const char* fault : {"power commit 2", "power commit 6", "power chunk 2", "power commit 7"})
        CutByFlash(fault);
    // The card gone after a cut: the marker stays, and the main program of \Windows runs.
    fs::rename(root.Host("SD Card"), root.Host("card"));
    pid_t run = PowerOn();
    EXPECT_EQ(0, WaitExit(run, 2 * kPatience)) << Slurp(root.Host("run.err"));
    EXPECT_NE(std::string::npos, Slurp(root.Host("standin.log")).find("\\Windows\\QRX.exe|"));
    EXPECT_TRUE(fs::exists(root.Host("NAND Flash/app_upgrade.dat")));
    ExpectWholeAndBootable("card removed");
    fs::rename(root.Host("card"), root.Host("SD Card"));
    Finish();
}

TEST_F(PowerCutAtEveryPhaseNeverBricks, InThePmcDownloadBetweenFilesAndAfterTheLastWrite) {
    CutWhen("in the PMC download", [&] {
        const std::string state = Slurp(root.Host(".platform/pmc/state"));
        std::error_code ec;
        return state.find(" 0 ") != std::string::npos && fs::file_size(root.Host(".platform/pmc/program.bin"), ec) > 0;
    });
    CutWhen("between application files", [&] { return root.ReadFile(File("NAND Flash", 0)) == "new"; });
    // sos2.dat forces the upgrade again (the cut before may have landed after its end); it goes
    // after the last write.
    root.WriteFile("SD Card/sos2.dat", "");
    CutWhen("after the last write", [&] { return !fs::exists(root.Host("SD Card/sos2.dat")); });
    Finish();
}

}  // namespace
