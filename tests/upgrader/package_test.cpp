#include <cstring>
#include <string>
#include <vector>

#include "PackageOnCard.h"
#include "ui/ZipArchive.h"
#include "upgrader/FwHeader.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Package(std::vector<std::string> faults, bool flash = true, bool pmc = true, const std::string& app = "") {
    mkpackage::Options o;
    o.tag = "v2";
    o.flash = flash;
    o.pmc = pmc;
    o.appDir = app;
    o.faults = std::move(faults);
    Bytes p;
    std::string error;
    EXPECT_TRUE(mkpackage::BuildPackage(o, p, error)) << error;
    return p;
}

FwHeaderResult Parse(const Bytes& p, FwPackageInfo* info = nullptr) {
    return ParseFwDataHeader(p.data(), p.size(), p.size(), info);
}

class UpgradePackageTest : public DeviceRootTest {};

TEST_F(UpgradePackageTest, HeaderNamesThePartsPresentInsideTheFile) {
    root.WriteFile("app/QRX.exe", "program");
    Bytes both = Package({}, true, true, root.Host("app"));
    FwPackageInfo info;
    ASSERT_EQ(FWH_OK, Parse(both, &info));
    EXPECT_EQ(FWSTEP_FLASH | FWSTEP_APP, info.steps);
    EXPECT_EQ(78u, info.flashOffset);
    EXPECT_EQ(both.size(), static_cast<size_t>(info.appOffset) + info.appSize);
    EXPECT_EQ(std::u16string(u"v2"), std::u16string(info.osVersion));

    // Each part opens as a zip archive once its "PK" is back.
    Bytes part(both.begin() + info.flashOffset, both.begin() + info.flashOffset + info.flashSize);
    EXPECT_NE('P', part[0]);
    part[0] = 'P';
    part[1] = 'K';
    HZIP zip = OpenZipMemory(part.data(), static_cast<DWORD>(part.size()), nullptr);
    ASSERT_NE(nullptr, zip);
    ZipItemInfo item{};
    int index = -1;
    EXPECT_EQ(ZR_OK, FindZipItem(zip, u"Flash Data/QRX_PMC_APP_R2_3.bin", false, &index, &item));
    CloseZip(zip);

    EXPECT_EQ(FWSTEP_APP, (Parse(Package({}, false, false, root.Host("app")), &info), info.steps));

    // A part of 22 bytes is an empty archive: absent; with its high bits set it is present and too large.
    Bytes p = both;
    std::memset(&p[34], 0, 8);
    p[34] = 22;
    ASSERT_EQ(FWH_OK, Parse(p, &info));
    EXPECT_EQ(FWSTEP_APP, info.steps);
    p[34] = 23;
    ASSERT_EQ(FWH_OK, Parse(p, &info));
    EXPECT_EQ(FWSTEP_FLASH | FWSTEP_APP, info.steps);
    std::memset(&p[50], 0, 8);
    std::memset(&p[34], 0, 8);
    EXPECT_EQ(FWH_NO_PART, Parse(p));

    EXPECT_EQ(FWH_SHORT, ParseFwDataHeader(both.data(), 77, both.size(), nullptr));
    const std::pair<const char*, FwHeaderResult> bad[] = {{"magic", FWH_MAGIC},
                                                          {"magic-tail", FWH_MAGIC},
                                                          {"flash-outside", FWH_PART_RANGE},
                                                          {"app-outside", FWH_PART_RANGE},
                                                          {"size-high", FWH_PART_RANGE},
                                                          {"header-overlap", FWH_PART_RANGE}};
    for (const auto& [fault, result] : bad)
        EXPECT_EQ(result, Parse(Package({fault}, true, false, root.Host("app")))) << fault;

    // A version text that fills its field is cut at 10 units and still ended.
    ASSERT_EQ(FWH_OK, Parse(Package({"version-unterminated"}), &info));
    EXPECT_EQ(std::u16string(u"OS-v2-LONG"), std::u16string(info.osVersion));

    // The reader on the device.
    root.WriteFile("SD Card/QRX3FWDATA.FWD", std::string(both.begin(), both.end()));
    EXPECT_EQ(FWH_OK, ReadFwDataHeader(u"\\SD Card\\QRX3FWDATA.FWD", &info));
    root.WriteFile("SD Card/QRX3FWDATA.FWD", std::string(both.begin(), both.end() - 1));
    EXPECT_EQ(FWH_PART_RANGE, ReadFwDataHeader(u"\\SD Card\\QRX3FWDATA.FWD", &info));
    EXPECT_EQ(FWH_NO_FILE, ReadFwDataHeader(u"\\Hard Disk\\QRX3FWDATA.FWD", &info));
}

TEST_F(UpgradePackageTest, BuilderMakesTheImagesAndFirmwareOfEveryVariant) {
    Bytes fw = mkpackage::MakePmcFirmware("QRX_PMC_APP_R1.bin", "v2");
    EXPECT_EQ(241, fw[0]);
    EXPECT_LE(fw.size(), 0x4000u);
    EXPECT_EQ(240, mkpackage::MakePmcFirmware("QRX_PMC_APP.bin", "v2")[0]);
    EXPECT_EQ(242, mkpackage::MakePmcFirmware("[Z330]FW.bin", "v2")[0]);
    EXPECT_NE(fw[3], mkpackage::MakePmcFirmware("QRX_PMC_APP_R1.bin", "v3")[3]);
    std::vector<BYTE> os = qrx::MakeFlashImage("os", "v2");
    EXPECT_EQ(0, std::memcmp(&os[64], "ECEC", 4));
    EXPECT_EQ("v2", qrx::FlashImageTag("os", os));

    mkpackage::Options o;
    std::string error;
    o.out = root.Host("x.fwd");
    o.faults = {"no-such-fault"};
    EXPECT_FALSE(mkpackage::BuildPackage(o, *std::make_unique<Bytes>(), error));
    EXPECT_NE(std::string::npos, error.find("no-such-fault"));
}

}  // namespace

#include "upgrader/FlashPart.h"

namespace {

class FlashPartTest : public UpgradePackageTest {
protected:
    FlashPartError Extract(std::vector<std::string> faults, BoardModel board, FlashPlan& plan, std::string& why,
                           bool pmc = true, size_t osSize = 0) {
        mkpackage::Options o;
        o.osSize = osSize;
        o.tag = "v2";
        o.flash = true;
        o.pmc = pmc;
        o.faults = std::move(faults);
        FwPackageInfo info = PackageOnCard(root, o);
        return ExtractFlashPart(u"\\SD Card\\QRX3FWDATA.FWD", info, board, u"\\NAND Flash\\Staging", plan, why);
    }
};

TEST_F(FlashPartTest, EntriesByRevisionAndEveryBadImageRefused) {
    FlashPlan plan;
    std::string why;
    ASSERT_EQ(FlashPartError::None, Extract({}, BoardModel{2.2, false}, plan, why)) << why;
    EXPECT_EQ(0x3Fu, plan.steps);
    EXPECT_EQ(u"\\NAND Flash\\Staging\\QRX_PMC_APP_R2.BIN", plan.files[5]);
    std::string r2 = root.ReadFile("NAND Flash/Staging/QRX_PMC_APP_R2.BIN");
    EXPECT_EQ(242, static_cast<BYTE>(r2.at(0)));
    EXPECT_EQ("", root.ReadFile("NAND Flash/Staging/QRX_PMC_APP_R2_3.BIN"));
    EXPECT_EQ("", root.ReadFile("NAND Flash/Staging/[Z330]FW.BIN"));
    std::vector<BYTE> nk = qrx::MakeFlashImage("os", "v2");
    EXPECT_EQ(std::string(nk.begin(), nk.end()), root.ReadFile("NAND Flash/Staging/NK.NB0"));
    RemoveStagedFlashFiles(u"\\NAND Flash\\Staging");
    EXPECT_EQ("", root.ReadFile("NAND Flash/Staging/NK.NB0"));

    // Between 2.2 and 2.3 no PMC variant fits; the Z-330 takes only its own.
    ASSERT_EQ(FlashPartError::None, Extract({}, BoardModel{2.25, false}, plan, why)) << why;
    EXPECT_EQ(0x1Fu, plan.steps);
    ASSERT_EQ(FlashPartError::None, Extract({}, BoardModel{1.0, true}, plan, why)) << why;
    EXPECT_EQ(u"\\NAND Flash\\Staging\\[Z330]FW.BIN", plan.files[5]);

    const std::pair<const char*, FlashPartError> bad[] = {
        {"crc", FlashPartError::Entry},           {"declared-size", FlashPartError::Entry},
        {"empty-flash", FlashPartError::Empty},   {"xldr-signature", FlashPartError::Image},
        {"eboot-signature", FlashPartError::Image}, {"nk-signature", FlashPartError::Image},
        {"xldr-large", FlashPartError::Image},    {"eboot-large", FlashPartError::Image},
        {"logo-large", FlashPartError::Image},    {"xldr-short", FlashPartError::Image},
        {"pmc-large", FlashPartError::Image}};
    for (const auto& [fault, error] : bad) {
        EXPECT_EQ(error, Extract({fault}, BoardModel{2.3, false}, plan, why)) << fault << ": " << why;
        EXPECT_EQ(0u, plan.steps) << fault;
    }
    // The Z-330 takes a larger PMC image.
    EXPECT_EQ(FlashPartError::None, Extract({"pmc-large"}, BoardModel{2.3, true}, plan, why)) << why;
}

TEST_F(FlashPartTest, AnImageOfManyPiecesIsStagedWholeAndChecked) {
    FlashPlan plan;
    std::string why;
    const size_t size = 5 * 1024 * 1024 / 2 + 3;
    ASSERT_EQ(FlashPartError::None, Extract({}, BoardModel{2.3, false}, plan, why, true, size)) << why;
    std::vector<BYTE> nk = qrx::MakeFlashImage("os", "v2", size);
    EXPECT_EQ(std::string(nk.begin(), nk.end()), root.ReadFile("NAND Flash/Staging/NK.NB0"));
    for (const char* fault : {"crc", "declared-size"})
        EXPECT_EQ(FlashPartError::Entry, Extract({fault}, BoardModel{2.3, false}, plan, why, true, size)) << fault;
}

}  // namespace
