// Reflash's worker without its screen: what a whole run writes, and what a failure leaves behind.
#include <filesystem>
#include <string>
#include <vector>

#include "PackageOnCard.h"
#include "UpgradeRun.h"
#include "qrx/flashapi.h"

namespace {

namespace fs = std::filesystem;

class UpgradeRunTest : public DeviceRootTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(qrx::SeedFactoryFlash(true));
        root.WriteFile("new/QRX.exe", "new program");
        root.WriteFile("NAND Flash/QRX.exe", "old program");
        root.WriteFile("SD Card/sos2.dat", "");
        root.WriteFile("Hard Disk/sos2.dat", "");
    }
    int Run(std::vector<std::string> faults = {}, bool flash = true, bool pmcWorks = true, bool known = true) {
        mkpackage::Options o;
        o.tag = "v2";
        o.flash = o.pmc = flash;
        o.appDir = root.Host("new");
        o.faults = std::move(faults);
        FwPackageInfo info = PackageOnCard(root, o);
        UpgradeTarget target;
        target.revisionKnown = known;
        UpgradeHooks hooks;
        percents.clear();
        hooks.progress = [this](int p) { percents.push_back(p); };
        hooks.pmc = [&](const std::u16string& file, StepProgress& p) {
            pmcFile = file;
            p.Step(0, 1);
            return pmcWorks;
        };
        return RunUpgrade(u"\\SD Card\\QRX3FWDATA.FWD", info, target, hooks);
    }
    std::string OsTag() {
        std::vector<BYTE> os;
        return qrx::ReadFlashRegion("os", os) ? qrx::FlashImageTag("os", os) : "";
    }
    bool Exists(const std::string& p) { return fs::exists(root.Host(p)); }

    std::vector<int> percents;
    std::u16string pmcFile;
};

TEST_F(UpgradeRunTest, AWholeRunWritesEverythingThenClearsTheMarkers) {
    ASSERT_EQ(0, Run());
    EXPECT_EQ("v2", OsTag());
    EXPECT_EQ(u"\\NAND Flash\\~Flash\\QRX_PMC_APP_R2_3.BIN", pmcFile);
    EXPECT_EQ("new program", root.ReadFile("NAND Flash/QRX.exe"));
    EXPECT_FALSE(Exists("NAND Flash/app_upgrade.dat"));
    EXPECT_FALSE(Exists("SD Card/sos2.dat"));
    EXPECT_FALSE(Exists("Hard Disk/sos2.dat"));
    EXPECT_FALSE(Exists("NAND Flash/~Flash"));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(100, percents.back());
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_LT(percents[i - 1], percents[i]);
}

TEST_F(UpgradeRunTest, AFailedPartIsAFailureAndKeepsTheMarker) {
    // A failed PMC step: the application part still runs, and the whole run is still a failure.
    EXPECT_EQ(TEXT_FAILED, Run({}, true, false));
    EXPECT_EQ("new program", root.ReadFile("NAND Flash/QRX.exe"));
    EXPECT_TRUE(Exists("NAND Flash/app_upgrade.dat"));
    EXPECT_TRUE(Exists("SD Card/sos2.dat"));
    // The XLDR step fails too (it used to end the run silently).
    ASSERT_TRUE(qrx::SetFlashFault("fail BC012004 1"));
    EXPECT_EQ(TEXT_FAILED, Run());
    ASSERT_TRUE(qrx::SetFlashFault(""));
    EXPECT_TRUE(Exists("NAND Flash/app_upgrade.dat"));
}

TEST_F(UpgradeRunTest, NothingIsWrittenBeforeTheWholePackageIsChecked) {
    root.WriteFile("new/QRX.exe", "newer program");
    // A bad flash image, an unsafe application name, an empty flash part, an unknown board.
    for (const char* fault : {"nk-signature", "name-root", "empty-flash", "crc"}) {
        EXPECT_EQ(TEXT_BAD_PACKAGE, Run({fault})) << fault;
        EXPECT_EQ("factory", OsTag()) << fault;
        EXPECT_EQ("old program", root.ReadFile("NAND Flash/QRX.exe")) << fault;
        EXPECT_FALSE(Exists("NAND Flash/app_upgrade.dat")) << fault;
        EXPECT_FALSE(Exists("Windows/evil.txt")) << fault;
    }
    EXPECT_EQ(TEXT_FAILED, Run({}, true, true, false));
    EXPECT_EQ("factory", OsTag());
    // A marker that cannot be written stops the run before the first write.
    fs::create_directories(root.Host("NAND Flash/app_upgrade.dat/x"));
    EXPECT_EQ(TEXT_NO_MARKER, Run());
    EXPECT_EQ("factory", OsTag());
    EXPECT_EQ("old program", root.ReadFile("NAND Flash/QRX.exe"));
}

TEST_F(UpgradeRunTest, LanguageIndexAndApplicationOnlyProgress) {
    EXPECT_EQ(3, ReflashLanguageIndex(u"3"));
    for (const char16_t* bad : {u"", u"12", u"-1", u"x", u"1x"}) EXPECT_EQ(0, ReflashLanguageIndex(bad));
    ASSERT_EQ(0, Run({}, false));
    EXPECT_EQ("factory", OsTag());
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(100, percents.back());
}

}  // namespace
