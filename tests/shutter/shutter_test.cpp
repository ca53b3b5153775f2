// The screen lock's logic: the key grid, the taps, the command line and the pattern file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "shutter/LockLogic.h"

namespace {

const WCHAR kPatternFile[] = u"\\NAND Flash\\LockDat.dat";

class ShutterTest : public DeviceRootTest {};

// A full tap (down and up) at the point; whether it added to the pattern.
bool Tap(CLockTaps& taps, int x, int y) {
    bool added = false;
    taps.PenDown(x, y);
    taps.PenUp(x, y, added);
    return added;
}

TEST_F(ShutterTest, GridLinesAndPointsOffTheScreenHitNoKey) {
    for (int x : {0, 266, 267, 533, 534, 800, -5, 900}) EXPECT_EQ(LockKeyAt(x, 100), LOCK_NO_KEY) << x;
    for (int y : {0, 240, 480, -1, 5000}) EXPECT_EQ(LockKeyAt(100, y), LOCK_NO_KEY) << y;
    EXPECT_EQ(LockKeyAt(1, 1), 0);
    EXPECT_EQ(LockKeyAt(268, 239), 1);
    EXPECT_EQ(LockKeyAt(799, 1), 2);
    EXPECT_EQ(LockKeyAt(1, 241), 3);
    EXPECT_EQ(LockKeyAt(532, 479), 4);
    EXPECT_EQ(LockKeyAt(535, 241), 5);
}

TEST_F(ShutterTest, TapsSlideOffAndFullPatterns) {
    CLockTaps taps;
    bool added = true;
    // Slid off its key (edges still count as on it): released, nothing added.
    EXPECT_EQ(taps.PenDown(100, 100), 0);
    EXPECT_EQ(taps.PenMove(266, 240), LOCK_NO_KEY);
    EXPECT_EQ(taps.PenMove(267, 100), 0);
    EXPECT_EQ(taps.Pressed(), LOCK_NO_KEY);
    EXPECT_EQ(taps.PenUp(300, 100, added), LOCK_NO_KEY);
    EXPECT_FALSE(added);
    // Released on another key without a move, or on the edge of its own: nothing.
    taps.PenDown(100, 100);
    EXPECT_EQ(taps.PenUp(300, 100, added), 0);
    EXPECT_FALSE(added);
    taps.PenDown(100, 100);
    taps.PenUp(266, 100, added);
    EXPECT_FALSE(added);
    EXPECT_EQ(taps.Count(), 0);
    // Six equal taps make a pattern; a seventh adds nothing.
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(Tap(taps, 400, 300));
    EXPECT_TRUE(taps.Full());
    EXPECT_FALSE(Tap(taps, 400, 300));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(taps.Pattern()), 6), std::string(6, '\x04'));
    // A fresh try needs all six again.
    taps.Clear();
    for (int i = 0; i < 5; ++i) Tap(taps, 100, 300);
    EXPECT_FALSE(taps.Full());
    Tap(taps, 700, 100);
    EXPECT_TRUE(taps.Full());
    EXPECT_EQ(taps.Pattern()[5], 2);
}

TEST_F(ShutterTest, CommandLines) {
    struct Case {
        const char16_t* line;
        int language, mode;
    } cases[] = {{u"3,1", 3, 1},  {u"1,0", 1, 0},  {u"-1,1", 0, 1}, {u"12,1", 0, 1},
                 {u"1234567890123,1", 0, 1},      {u"1", 0, 1},    {u"", 0, 0},
                 {u"a,b", 0, 0},  {u"2,2", 2, 2},  {u"9,0", 9, 0},  {u"5,1234567890123", 5, 123456789}};
    for (const auto& c : cases) {
        LockCommand got = ParseLockCommand(c.line);
        EXPECT_EQ(got.language, c.language) << QrxToUtf8(c.line);
        EXPECT_EQ(got.mode, c.mode) << QrxToUtf8(c.line);
    }
    EXPECT_EQ(ParseLockCommand(nullptr).mode, 0);
}

TEST_F(ShutterTest, PatternFilesAndTheirVerdicts) {
    const BYTE taps[6] = {0, 1, 2, 3, 4, 5};
    BYTE read[6];
    // Missing, short or holding a non-key: no pattern, so no lock to keep.
    EXPECT_FALSE(ReadLockPattern(kPatternFile, read));
    EXPECT_TRUE(LockPatternMatches(kPatternFile, taps));
    root.WriteFile("NAND Flash/LockDat.dat", std::string("\x00\x01\x02\x03\x04", 5));
    EXPECT_FALSE(ReadLockPattern(kPatternFile, read));
    EXPECT_TRUE(LockPatternMatches(kPatternFile, taps));
    root.WriteFile("NAND Flash/LockDat.dat", std::string("\x00\x01\x07\x03\x04\x05", 6));
    EXPECT_FALSE(ReadLockPattern(kPatternFile, read));
    // 16 bytes with a valid head: the head is the pattern.
    root.WriteFile("NAND Flash/LockDat.dat", std::string("\x05\x04\x03\x02\x01\x00", 6) + std::string(10, '\x09'));
    ASSERT_TRUE(ReadLockPattern(kPatternFile, read));
    EXPECT_EQ(read[0], 5);
    EXPECT_FALSE(LockPatternMatches(kPatternFile, taps));
    const BYTE reversed[6] = {5, 4, 3, 2, 1, 0};
    EXPECT_TRUE(LockPatternMatches(kPatternFile, reversed));
}

TEST_F(ShutterTest, WritesWholeOrKeepsTheOldPattern) {
    const BYTE taps[6] = {1, 1, 2, 2, 3, 3};
    ASSERT_TRUE(WriteLockPattern(kPatternFile, taps));
    EXPECT_EQ(root.ReadFile("NAND Flash/LockDat.dat"), std::string("\x01\x01\x02\x02\x03\x03", 6));
    EXPECT_FALSE(std::filesystem::exists(root.Host("NAND Flash/LockDat.dat.tmp")));
    // The flash taken out: the write fails and the kept volume still holds the old pattern.
    ASSERT_TRUE(qrx::RemoveVolume("NAND Flash"));
    const BYTE other[6] = {0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(WriteLockPattern(kPatternFile, other));
    ASSERT_TRUE(qrx::ArriveVolume("NAND Flash"));
    EXPECT_EQ(root.ReadFile("NAND Flash/LockDat.dat"), std::string("\x01\x01\x02\x02\x03\x03", 6));
    // A temporary file that cannot be made (a folder in its place) keeps it too.
    std::filesystem::create_directory(root.Host("NAND Flash/LockDat.dat.tmp"));
    EXPECT_FALSE(WriteLockPattern(kPatternFile, other));
    EXPECT_EQ(root.ReadFile("NAND Flash/LockDat.dat"), std::string("\x01\x01\x02\x02\x03\x03", 6));
}

}  // namespace
