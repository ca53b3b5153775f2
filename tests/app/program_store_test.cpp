#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "DeviceRoot.h"
#include "app/ProgramStore.h"

namespace {

constexpr char kStorePath[] = "NAND Flash/pgmset.dat";

template <class T>
void Put(std::string& bytes, size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof(T));
}

template <class T>
T At(const std::string& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

unsigned char Sum(const std::string& bytes, size_t from, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += static_cast<unsigned char>(bytes[from + i]);
    return static_cast<unsigned char>(sum);
}

// A step at offset of a file image, at the documented field offsets.
void PutStep(std::string& bytes, size_t at, double volts, double amps, uint32_t seconds, uint32_t discharge,
             uint8_t kind, bool withCapacity) {
    Put<uint32_t>(bytes, at, 1);
    Put(bytes, at + 8, volts);
    Put(bytes, at + 16, amps);
    Put<uint32_t>(bytes, at + 24, seconds);
    Put<uint32_t>(bytes, at + 28, discharge);
    Put<uint8_t>(bytes, at + 32, kind);
    if (withCapacity) Put<uint16_t>(bytes, at + 34, 120);
}

// Five slots; slot k step i holds volts 10k + i.
std::string StoreImage() {
    std::string bytes(1465, '\0');
    for (size_t k = 0; k < 5; ++k) {
        for (size_t i = 0; i < 6; ++i)
            PutStep(bytes, k * 293 + i * 48, 10.0 * k + i, 1.5, 3600, i % 2, static_cast<uint8_t>(1 + i), true);
        Put<uint32_t>(bytes, k * 293 + 288, 1);
        bytes[k * 293 + 292] = static_cast<char>(Sum(bytes, k * 293, 48));
    }
    return bytes;
}

std::string OldStoreImage() {
    std::string bytes(1225, '\0');
    for (size_t k = 0; k < 5; ++k) {
        for (size_t i = 0; i < 6; ++i)
            PutStep(bytes, k * 245 + i * 40, 20.0 + k, 2.5, 7200, 1, static_cast<uint8_t>(2 + i), false);
        Put<uint32_t>(bytes, k * 245 + 240, 1);
        bytes[k * 245 + 244] = static_cast<char>(Sum(bytes, k * 245, 40));
    }
    return bytes;
}

// The slots are packed as in the file: fields are compared as values (+x), never bound by reference.
class ProgramStoreTest : public DeviceRootTest {
protected:
    ProgramSlot slots[PGM_SLOT_COUNT];
    BOOL Load() { return LoadPgmFile(kPgmStoreFile, slots); }
};

TEST_F(ProgramStoreTest, TheSumCoversOnlyTheFirstStepAndABadSlotStaysLoadable) {
    std::string image = StoreImage();
    Put(image, 2 * 293 + 8, 99.0);       // slot 3, step 1 voltage
    Put(image, 1 * 293 + 48 + 8, 77.0);  // slot 2, step 2 voltage
    root.WriteFile(kStorePath, image);
    EXPECT_TRUE(Load());
    EXPECT_EQ(+slots[2].dwValid, 0u);
    EXPECT_EQ(+slots[2].steps[0].dVoltage, 99.0);
    EXPECT_EQ(+slots[1].dwValid, 1u);
    EXPECT_EQ(+slots[1].steps[1].dVoltage, 77.0);
    EXPECT_EQ(+slots[4].steps[5].wCapacity, 120);
    EXPECT_EQ(root.ReadFile(kStorePath), image);  // the current form is not rewritten
}

TEST_F(ProgramStoreTest, SavedSlotsComeBackAndCarryTheirSums) {
    root.WriteFile(kStorePath, StoreImage());
    ASSERT_TRUE(Load());
    slots[4].steps[2].dVoltage = 55.5;
    slots[4].steps[2].byKind = 9;
    slots[4].steps[2].wCapacity = 300;
    slots[4].steps[0].dCurrent = 42.0;
    ASSERT_TRUE(SavePgmFile(kPgmStoreFile, slots));
    ProgramSlot saved[PGM_SLOT_COUNT];
    std::memcpy(saved, slots, sizeof(saved));
    ASSERT_TRUE(Load());
    EXPECT_EQ(std::memcmp(slots, saved, sizeof(saved)), 0);
    EXPECT_EQ(+slots[4].dwValid, 1u);
    std::string file = root.ReadFile(kStorePath);
    EXPECT_EQ(static_cast<unsigned char>(file[4 * 293 + 292]), Sum(file, 4 * 293, 48));
}

TEST_F(ProgramStoreTest, TheOlderFormIsConvertedAndWrittenBack) {
    std::string old = OldStoreImage();
    Put(old, 3 * 245 + 8, 1.0);  // slot 4's first step no longer matches its sum
    root.WriteFile(kStorePath, old);
    EXPECT_FALSE(Load());
    for (int k = 0; k < 5; ++k) {
        for (int i = 0; i < 6; ++i) {
            const ProgramStep& step = slots[k].steps[i];
            EXPECT_EQ(+step.dwEnable, 1u);
            EXPECT_EQ(+step.dVoltage, k == 3 && i == 0 ? 1.0 : 20.0 + k);
            EXPECT_EQ(+step.dCurrent, 2.5);
            EXPECT_EQ(+step.dwTime, 7200u);
            EXPECT_EQ(+step.dwDirection, 1u);
            EXPECT_EQ(+step.byKind, 2 + i);
            EXPECT_EQ(+step.wCapacity, 0);
        }
    }
    EXPECT_EQ(+slots[3].dwValid, 0u);
    EXPECT_EQ(+slots[0].dwValid, 1u);
    std::string file = root.ReadFile(kStorePath);
    ASSERT_EQ(file.size(), 1465u);
    EXPECT_EQ(At<double>(file, 2 * 293 + 48 + 8), 22.0);
    EXPECT_TRUE(Load());
}

TEST_F(ProgramStoreTest, OtherSizesGiveEmptySlotsAndANewStore) {
    for (size_t size : {0, 1, 1224, 1226, 1464, 1466, 4000}) {
        root.WriteFile(kStorePath, StoreImage().append(4000, 'x').substr(0, size));
        EXPECT_FALSE(Load()) << size;
        for (const ProgramSlot& slot : slots) EXPECT_EQ(+slot.steps[0].dVoltage, 0.0) << size;
        EXPECT_EQ(root.ReadFile(kStorePath).size(), 1465u) << size;
    }
    std::filesystem::remove(root.Host(kStorePath));
    EXPECT_FALSE(Load());
    EXPECT_EQ(root.ReadFile(kStorePath).size(), 1465u);
}

TEST_F(ProgramStoreTest, DamagedStepsAreCleanedOnLoad) {
    std::string image = StoreImage();
    Put(image, 0 + 8, std::numeric_limits<double>::quiet_NaN());
    Put(image, 0 + 16, std::numeric_limits<double>::infinity());
    Put<uint8_t>(image, 48 + 32, 0);
    Put<uint8_t>(image, 293 + 96 + 32, 10);
    root.WriteFile(kStorePath, image);
    Load();
    EXPECT_EQ(+slots[0].steps[0].dVoltage, 0.0);
    EXPECT_EQ(+slots[0].steps[0].dCurrent, 0.0);
    EXPECT_EQ(+slots[0].steps[0].dwEnable, 1u);
    EXPECT_EQ(+slots[0].steps[1].dwEnable, 0u);
    EXPECT_EQ(+slots[1].steps[2].dwEnable, 0u);
    EXPECT_EQ(+slots[1].steps[3].dwEnable, 1u);
}

TEST_F(ProgramStoreTest, AFailedSaveSaysSo) {
    Load();
    std::filesystem::remove_all(root.Host("NAND Flash"));
    EXPECT_FALSE(SavePgmFile(kPgmStoreFile, slots));
}

}  // namespace
