// The tone device keeps a whole buzzer pattern with its device ticks; the other devices keep 32.
#include <cstring>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"
#include "windows.h"

namespace {

using ToneHistory = DeviceRootTest;

BOOL Tone(HANDLE h, DWORD frequency, DWORD on) {
    PWM_TONE_RECORD record{frequency, 50, on};
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_PWM_SET_TONE, &record, sizeof record, nullptr, 0, &returned, nullptr);
}

TEST_F(ToneHistory, KeepsTheLast128TonesWithTheirTicks) {
    HANDLE tone = CreateFileW(u"PWM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, tone);
    for (DWORD i = 0; i < 140; ++i) ASSERT_TRUE(Tone(tone, 2000 + i, i % 2)) << i;
    CloseHandle(tone);

    auto records = qrx::ReadDeviceRecords("PWM1");
    ASSERT_EQ(128u, records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        PWM_TONE_RECORD r;
        ASSERT_EQ(sizeof r, records[i].bytes.size());
        std::memcpy(&r, records[i].bytes.data(), sizeof r);
        EXPECT_EQ(2000u + 12 + i, r.frequency) << i;  // the oldest 12 are gone
        if (i > 0) {
            EXPECT_LE(records[i - 1].tick, records[i].tick);
        }
    }

    // Ticks are device time: a pause shows in them whatever the host's load.
    root.WriteFile(".platform/devices/PWM1", "");
    tone = CreateFileW(u"PWM1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(Tone(tone, 1000, 1));
    Sleep(40);
    ASSERT_TRUE(Tone(tone, 1000, 0));
    CloseHandle(tone);
    records = qrx::ReadDeviceRecords("PWM1");
    ASSERT_EQ(2u, records.size());
    EXPECT_GE(records[1].tick - records[0].tick, 40u);

    // The touch panel keeps its 32.
    HANDLE touch = CreateFileW(u"TCH1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0, mode = 1;
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(DeviceIoControl(touch, 0x100, &mode, 4, nullptr, 0, &returned, nullptr));
    CloseHandle(touch);
    EXPECT_EQ(32u, qrx::ReadDeviceRecords("TCH1").size());
}

}  // namespace
