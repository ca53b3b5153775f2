#include <windows.h>

#include <string>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"

using SoundTest = DeviceRootTest;

TEST_F(SoundTest, PlayedFilesAreRecordedAndMissingOnesRefused) {
    root.WriteFile("Windows/click.wav", "RIFF");
    EXPECT_TRUE(sndPlaySoundW(u"\\windows\\CLICK.wav", SND_ASYNC | SND_NODEFAULT));
    EXPECT_FALSE(sndPlaySoundW(u"\\Windows\\none.wav", SND_ASYNC));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(sndPlaySoundW(u"\\Windows", SND_ASYNC));  // a folder is no sound
    EXPECT_TRUE(sndPlaySoundW(nullptr, 0));

    auto records = qrx::ReadDeviceRecords("WAV");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, 1u);
    EXPECT_EQ(std::string(records[0].bytes.begin(), records[0].bytes.end()), "\\windows\\CLICK.wav");
    EXPECT_EQ(records[1].code, 0u);
}
