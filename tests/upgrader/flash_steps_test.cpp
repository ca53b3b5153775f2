#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "PackageOnCard.h"
#include "qrx/boardapi.h"
#include "upgrader/FlashSteps.h"

namespace {

class UpgradePackageSteps : public DeviceRootTest {
protected:
    FlashPlan Stage(std::vector<std::string> faults = {}) {
        mkpackage::Options o;
        o.tag = "v2";
        o.flash = o.pmc = true;
        o.faults = std::move(faults);
        FwPackageInfo info = PackageOnCard(root, o);
        std::string why;
        FlashPlan plan;
        EXPECT_EQ(FlashPartError::None, ExtractFlashPart(u"\\SD Card\\QRX3FWDATA.FWD", info, BoardModel{2.3, false},
                                                         u"\\NAND Flash\\Staging", plan, why))
            << why;
        return plan;
    }
};

TEST_F(UpgradePackageSteps, WritesTheChainInOrderWithItsPageSequenceAndProgressSplit) {
    ASSERT_TRUE(qrx::SeedFactoryFlash(false));
    FlashPlan plan = Stage();
    std::vector<int> sent;
    StepProgress progress([&](int p) { sent.push_back(p); });
    std::u16string pmcFile;
    std::vector<int> ends;
    std::string failed;
    ASSERT_TRUE(OsUpdate(
        plan, false, progress,
        [&](const std::u16string& file, StepProgress& p) {
            pmcFile = file;
            ends.push_back(p.End());
            return true;
        },
        failed));
    EXPECT_EQ(u"\\NAND Flash\\Staging\\QRX_PMC_APP_R2_3.BIN", pmcFile);
    EXPECT_EQ(std::vector<int>{100}, ends);  // the last of five steps: 45, 60, 65, 90, 100
    ASSERT_FALSE(sent.empty());
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_LT(sent[i - 1], sent[i]);
    EXPECT_EQ(100, sent.back());
    for (int mark : {45, 60, 65, 90}) EXPECT_NE(std::find(sent.begin(), sent.end(), mark), sent.end()) << mark;

    // An XLDR of 5000 bytes: per copy 2048 (the words and 2040 bytes), 2048 and 912, offsets at the
    // bytes sent so far; then EBoot, logo and OS.
    std::vector<std::pair<DWORD, DWORD>> pages;  // offset, size
    std::vector<DWORD> codes;
    for (const auto& r : qrx::ReadDeviceRecords("FWD1")) {
        codes.push_back(r.code);
        if (r.code == IOCTL_FWD_WRITE_PAGE && r.bytes.size() >= 4)
            pages.push_back({r.bytes[0] | r.bytes[1] << 8 | r.bytes[2] << 16 | DWORD(r.bytes[3]) << 24, r.size - 4});
    }
    ASSERT_GE(pages.size(), 12u);
    for (DWORD copy = 0; copy < 4; ++copy) {
        DWORD base = copy * 0x20000;
        EXPECT_EQ((std::pair<DWORD, DWORD>{base, 2048}), pages[copy * 3]);
        EXPECT_EQ((std::pair<DWORD, DWORD>{base + 4088, 2048}), pages[copy * 3 + 1]);
        EXPECT_EQ((std::pair<DWORD, DWORD>{base + 5000, 912}), pages[copy * 3 + 2]);
    }
    EXPECT_EQ(IOCTL_FWD_BOOT_BEGIN, codes.front());
    EXPECT_EQ((std::pair<DWORD, DWORD>{FWD_EBOOT_BASE, 2048}), pages[12]);
    EXPECT_EQ(IOCTL_OS_FINISH, codes.back());
    std::string why;
    EXPECT_TRUE(qrx::CheckBootChain(why)) << why;
    std::vector<BYTE> os;
    ASSERT_TRUE(qrx::ReadFlashRegion("os", os));
    EXPECT_EQ("v2", qrx::FlashImageTag("os", os));

    // A failed call stops the step and the sequence.
    ASSERT_TRUE(qrx::SetFlashFault("fail BC022004 20"));
    EXPECT_FALSE(OsUpdate(plan, true, progress, {}, failed));
    EXPECT_EQ("EBootUpdate", failed);
    ASSERT_TRUE(qrx::SetFlashFault(""));
    // An OS image without its signature writes nothing.
    root.WriteFile("NAND Flash/Staging/NK.NB0", std::string(300, 'x'));
    size_t before = qrx::ReadDeviceRecords("FWD1").size();
    EXPECT_FALSE(OSIMAGEUpdate(u"\\NAND Flash\\Staging\\NK.NB0", progress));
    EXPECT_EQ(before, qrx::ReadDeviceRecords("FWD1").size());
}

TEST_F(UpgradePackageSteps, ProgressStaysWithinItsStep) {
    std::vector<int> sent;
    StepProgress p([&](int v) { sent.push_back(v); });
    p.Span(20, 80);
    p.Step(0, 0);      // no pieces: nothing to divide
    p.Step(9, 3);      // more pieces than announced: the step's end, never past it
    p.Step(1, 3);
    p.Span(90, 130);
    p.Step(0, 1);
    EXPECT_EQ((std::vector<int>{80, 60, 100}), sent);
    EXPECT_EQ(0, FlashStepEnd(6, false));
    EXPECT_EQ(30, FlashStepEnd(5, true));
}

// The flash's half of never bricking: the power goes in every step and at every kind of commit; each
// time the device still boots, every region is wholly the old or the new image, and a later run
// finishes the chain.
TEST_F(UpgradePackageSteps, APowerCutInAnyFlashStepLeavesABootableDevice) {
    ASSERT_TRUE(qrx::SeedFactoryFlash(false));
    FlashPlan plan = Stage();
    for (const char* cut : {"power page 1", "power page 5", "power page 13", "power page 46", "power chunk 1",
                            "power commit 1", "power commit 4", "power commit 5", "power commit 7"}) {
        ASSERT_TRUE(qrx::SeedFactoryFlash(true));
        ASSERT_TRUE(qrx::SetFlashFault(cut));
        pid_t pid = fork();
        if (pid == 0) {
            StepProgress quiet({});
            std::string failed;
            OsUpdate(plan, false, quiet, [](const std::u16string&, StepProgress&) { return true; }, failed);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << cut;
        std::string why;
        EXPECT_TRUE(qrx::CheckBootChain(why)) << cut << ": " << why;
        for (const char* region : qrx::kFlashRegions) {
            std::vector<BYTE> image;
            ASSERT_TRUE(qrx::ReadFlashRegion(region, image)) << cut << " " << region;
            std::string kind = std::string(region).substr(0, 4) == "xldr" ? "xldr" : region;
            if (kind == "xldr") image.erase(image.begin(), image.begin() + 8);
            std::string tag = qrx::FlashImageTag(kind, image);
            EXPECT_TRUE(tag == "factory" || tag == "v2") << cut << " " << region << " " << tag;
        }
        StepProgress quiet({});
        std::string failed;
        ASSERT_TRUE(OsUpdate(plan, false, quiet, [](const std::u16string&, StepProgress&) { return true; }, failed))
            << cut << " " << failed;
        std::vector<BYTE> os;
        ASSERT_TRUE(qrx::ReadFlashRegion("os", os));
        EXPECT_EQ("v2", qrx::FlashImageTag("os", os)) << cut;
    }
}

}  // namespace
