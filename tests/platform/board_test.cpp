#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"
#include "windows.h"

namespace {

class Board : public DeviceRootTest {
protected:
    ~Board() override { qrx::SetGpioAvailable(true); }
};

HANDLE Open(const char16_t* name, DWORD share = 0) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL Control(HANDLE h, DWORD code, const void* in, DWORD size) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), size, nullptr, 0, &returned, nullptr);
}

TEST_F(Board, GpioReadsTheLevelFileAndRecordsDrives) {
    root.WriteFile(".platform/gpio", "# pins\n19=1\n20=0x100\nabc=1\n5=zz\n7=99999999999\n2000=1\n8=1 sticky\n");
    HANDLE gpio = GPIO_Open();
    ASSERT_NE(nullptr, gpio);
    EXPECT_EQ(1u, GPIO_GetBit(gpio, 19));
    EXPECT_EQ(0x100u, GPIO_GetBit(gpio, 20));  // as the board reports it
    for (DWORD pin : {5u, 7u, 8u, 99u}) EXPECT_EQ(0u, GPIO_GetBit(gpio, pin)) << pin;

    EXPECT_TRUE(GPIO_SetBit(gpio, 65));
    EXPECT_EQ(1u, GPIO_GetBit(gpio, 65));
    EXPECT_NE(std::string::npos, root.ReadFile(".platform/gpio").find("# pins\n19=1\n20=0x100\n"));
    EXPECT_TRUE(GPIO_ClrBit(gpio, 65));
    EXPECT_EQ(0u, qrx::GpioPinLevel(65));
    ASSERT_TRUE(qrx::SetGpioPinLevel(66, 0, true));  // held by the board
    EXPECT_TRUE(GPIO_SetBit(gpio, 66));
    EXPECT_EQ(0u, GPIO_GetBit(gpio, 66));

    EXPECT_FALSE(GPIO_SetMode(gpio, 19, 2));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(GPIO_SetBit(gpio, GPIO_MAX_PIN + 1));
    EXPECT_TRUE(GPIO_Close(gpio));
    EXPECT_FALSE(GPIO_SetBit(gpio, 19));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    // Drives from several threads land together.
    gpio = GPIO_Open();
    std::vector<std::thread> threads;
    for (DWORD t = 0; t < 4; ++t)
        threads.emplace_back([gpio, t] {
            for (DWORD pin = 100 + t * 10; pin < 110 + t * 10; ++pin) GPIO_SetBit(gpio, pin);
        });
    for (auto& t : threads) t.join();
    for (DWORD pin = 100; pin < 140; ++pin) EXPECT_EQ(1u, GPIO_GetBit(gpio, pin)) << pin;
    GPIO_Close(gpio);

    root.WriteFile(".platform/gpio", "19=1\nabsent\n");
    EXPECT_EQ(nullptr, GPIO_Open());
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
    root.WriteFile(".platform/gpio", "19=1\n");
    qrx::SetGpioAvailable(false);
    EXPECT_EQ(nullptr, GPIO_Open());
}

TEST_F(Board, DevicesTakeTheirRecordsAndKeepAHistory) {
    HANDLE tone = Open(u"PWM1:");
    ASSERT_NE(INVALID_HANDLE_VALUE, tone);
    PWM_TONE_RECORD record{2000, 50, 1};
    EXPECT_TRUE(Control(tone, IOCTL_PWM_SET_TONE, &record, sizeof record));
    for (auto [code, size] : {std::pair<DWORD, DWORD>{IOCTL_PWM_SET_TONE, 8},
                              {IOCTL_PWM_SET_TONE, 16},
                              {IOCTL_PWM_SET_BACKLIGHT, 4},
                              {0x220838, 12}}) {
        EXPECT_FALSE(Control(tone, code, &record, size)) << std::hex << code << ' ' << size;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
    EXPECT_FALSE(Control(tone, IOCTL_PWM_SET_TONE, nullptr, 12));
    CloseHandle(tone);
    auto records = qrx::ReadDeviceRecords("PWM1");
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(IOCTL_PWM_SET_TONE, records[0].code);
    EXPECT_EQ((std::vector<BYTE>{0xD0, 0x07, 0, 0, 50, 0, 0, 0, 1, 0, 0, 0}), records[0].bytes);

    EXPECT_EQ(-1, qrx::BacklightState());
    HANDLE backlight = Open(u"\\pwm2:");
    DWORD on = 0;
    EXPECT_TRUE(Control(backlight, IOCTL_PWM_SET_BACKLIGHT, &on, sizeof on));
    EXPECT_FALSE(Control(backlight, IOCTL_PWM_SET_BACKLIGHT, &on, 2));
    EXPECT_EQ(0, qrx::BacklightState());
    CloseHandle(backlight);
    EXPECT_NE(std::string::npos, root.ReadFile(".platform/devices/PWM2").find(" 0x00220830 4 00000000\n"));

    // The touch panel takes any control; the last 32 stay, damaged lines are dropped.
    HANDLE touch = Open(u"TCH1:");
    std::vector<BYTE> big(100, 0xAB);
    for (DWORD i = 0; i < 40; ++i) {
        DWORD size = i == 39 ? 100 : i % 3;
        ASSERT_TRUE(Control(touch, 0x1000 + i, size ? big.data() : nullptr, size)) << i;
        if (i == 20)
            root.WriteFile(".platform/devices/TCH1", root.ReadFile(".platform/devices/TCH1") + "1 0xZZ 4 01\nx\n");
    }
    CloseHandle(touch);
    records = qrx::ReadDeviceRecords("TCH1");
    ASSERT_EQ(32u, records.size());
    EXPECT_EQ(0x1008u, records.front().code);
    EXPECT_EQ(2u, records.front().bytes.size());
    EXPECT_EQ(100u, records.back().size);
    EXPECT_EQ(64u, records.back().bytes.size());
    EXPECT_TRUE(qrx::ReadDeviceRecords("../gpio").empty());
}

TEST_F(Board, DevicesOpenByNameAndExclusively) {
    for (const char16_t* missing : {u"PWM3:", u"PWM0:", u"TCH2:"}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(missing));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    }
    HANDLE first = Open(u"PWM1:");
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"PWM1:"));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"PWM1:", FILE_SHARE_READ | FILE_SHARE_WRITE));
    HANDLE other = Open(u"PWM2:");
    EXPECT_NE(INVALID_HANDLE_VALUE, other);
    CloseHandle(other);

    // Another program of the device is refused while this one holds the device, and not after.
    auto otherProgram = [] {
        pid_t pid = fork();
        if (pid == 0) _exit(Open(u"PWM1:") == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(static_cast<int>(ERROR_SHARING_VIOLATION), otherProgram());
    CloseHandle(first);
    EXPECT_EQ(0, otherProgram());

    HANDLE a = Open(u"PWM1:", FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE b = Open(u"PWM1:", FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(INVALID_HANDLE_VALUE, b);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"PWM1:"));
    CloseHandle(a);
    CloseHandle(b);
    HANDLE again = Open(u"PWM1:");
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

}  // namespace
