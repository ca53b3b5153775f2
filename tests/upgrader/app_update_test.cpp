#include <filesystem>
#include <string>
#include <vector>

#include "PackageOnCard.h"
#include "upgrader/AppUpdate.h"

namespace {

class UpgradePackageApp : public DeviceRootTest {
protected:
    AppUpdateError Update(std::vector<std::string> faults = {}) {
        mkpackage::Options o;
        o.appDir = root.Host("new");
        o.faults = std::move(faults);
        FwPackageInfo info = PackageOnCard(root, o);
        std::string why;
        return AppUpdate(u"\\SD Card\\QRX3FWDATA.FWD", info, why, [&](ULONGLONG d, ULONGLONG t) {
            EXPECT_LE(d, t);
            ++steps;
        });
    }
    int steps = 0;
};

TEST_F(UpgradePackageApp, ReplacesFilesKeepsFontsAndRefusesNamesThatLeaveTheFlash) {
    root.WriteFile("new/QRX.exe", "new program");
    root.WriteFile("new/Font/NanumGothicBold.ttf", "new font");
    root.WriteFile("new/System/Help.txt", "help");
    root.WriteFile("NAND Flash/QRX.exe", "old program");
    root.WriteFile("NAND Flash/Font/NanumGothicBold.ttf", "old font");
    root.WriteFile("NAND Flash/Setting.bin", "settings");

    // Unsafe names: nothing at all changes.
    for (const char* fault : {"name-root", "name-slash", "name-drive", "name-dotdot"}) {
        EXPECT_EQ(AppUpdateError::Package, Update({fault})) << fault;
        EXPECT_EQ("old program", root.ReadFile("NAND Flash/QRX.exe")) << fault;
        EXPECT_FALSE(std::filesystem::exists(root.Host("Windows/evil.txt"))) << fault;
    }
    ASSERT_EQ(AppUpdateError::None, Update());
    EXPECT_GT(steps, 0);
    EXPECT_EQ("new program", root.ReadFile("NAND Flash/QRX.exe"));
    EXPECT_EQ("old font", root.ReadFile("NAND Flash/Font/NanumGothicBold.ttf"));
    EXPECT_EQ("help", root.ReadFile("NAND Flash/System/Help.txt"));
    EXPECT_EQ("settings", root.ReadFile("NAND Flash/Setting.bin"));
    EXPECT_FALSE(std::filesystem::exists(root.Host("NAND Flash/~Upgrade")));

    // A file that cannot be replaced fails the update.
    root.WriteFile("new/Data.bin", "data");
    root.WriteFile("NAND Flash/Data.bin/inside", "a folder in the way");
    EXPECT_EQ(AppUpdateError::Replace, Update());

    std::u16string rel;
    EXPECT_TRUE(AppEntryTarget(u"application data/x", rel));  // the prefix is compared as written
    EXPECT_EQ(u"", rel);
    EXPECT_TRUE(AppEntryTarget(u"Application Data/a/b.txt", rel));
    EXPECT_EQ(u"a\\b.txt", rel);
    for (const char16_t* bad : {u"Application Data/a/../../b", u"Application Data/", u"Application Data/a//b",
                                u"Application Data/D:\\x", u"Application Data/./x"})
        EXPECT_FALSE(AppEntryTarget(bad, rel)) << std::string(bad, bad + 20).c_str();
}

}  // namespace
