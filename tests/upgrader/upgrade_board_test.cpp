#include <string>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"
#include "upgrader/UpgradeBoard.h"

namespace {

class UpgradePackageBoard : public DeviceRootTest {
protected:
    ~UpgradePackageBoard() override { qrx::SetGpioAvailable(true); }
    // A settings file of 986 bytes with the model text and its sum, spoilt by `spoil` when asked.
    void Settings(const std::u16string& model, int spoil = -1, size_t size = 986) {
        std::string data(986, '\0');
        for (size_t i = 0; i < model.size(); ++i) data[128 + 2 * i] = static_cast<char>(model[i]);
        unsigned sum = 0;
        for (int i = 0; i < 984; ++i) sum += static_cast<unsigned char>(data[i]);
        data[984] = static_cast<char>(sum & 0xFF);
        data[985] = static_cast<char>((sum >> 8) & 0xFF);
        if (spoil >= 0) data[static_cast<size_t>(spoil)] ^= 1;
        data.resize(size);
        root.WriteFile("NAND Flash/System/Setting.bin", data);
    }
};

TEST_F(UpgradePackageBoard, TheZ330ComesFromAValidSettingsFileTheRestFromTheBoard) {
    Settings(u"Z-330 plus");
    EXPECT_EQ(1, FindModuleInSettings());
    UpgradeTarget z = ReadUpgradeTarget();
    EXPECT_TRUE(z.board.z330);
    EXPECT_EQ(6, z.comPort);
    EXPECT_EQ(std::u16string(u"\\Hard Disk"), z.storeRoot);
    for (auto [spoil, size] : {std::pair<int, size_t>{10, 986}, {985, 986}, {-1, 985}}) {
        Settings(u"Z-330", spoil, size);
        EXPECT_EQ(0, FindModuleInSettings()) << spoil << " " << size;
    }
    Settings(u"Z-33");
    EXPECT_EQ(0, FindModuleInSettings());

    root.WriteFile(".platform/gpio", "19=1\n20=0\n");
    UpgradeTarget t = ReadUpgradeTarget();
    EXPECT_FALSE(t.board.z330);
    EXPECT_EQ(2, t.comPort);
    EXPECT_EQ(std::u16string(u"\\SD Card"), t.storeRoot);
    EXPECT_TRUE(t.revisionKnown);
    EXPECT_GT(t.board.revision, 1.0);
    // Without the GPIO library the PMC variant cannot be known: the upgrader must not guess.
    qrx::SetGpioAvailable(false);
    EXPECT_FALSE(ReadUpgradeTarget().revisionKnown);
}

}  // namespace
