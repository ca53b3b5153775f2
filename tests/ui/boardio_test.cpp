#include "ui/BoardIo.h"

#include <cstring>
#include <string>

#include "DeviceRoot.h"
#include "qrx/boardapi.h"

namespace {

class BoardIo : public DeviceRootTest {
protected:
    ~BoardIo() override {
        CloseTonePwm();
        qrx::SetGpioAvailable(true);
    }
    void Pins(const std::string& text) { root.WriteFile(".platform/gpio", text); }
    std::string DebugLog() { return root.DebugMessages(); }
    static PWM_TONE_RECORD LastTone() {
        auto records = qrx::ReadDeviceRecords("PWM1");
        PWM_TONE_RECORD r{0, 0, 0xFFFF};
        if (!records.empty() && records.back().bytes.size() == sizeof r)
            std::memcpy(&r, records.back().bytes.data(), sizeof r);
        return r;
    }
};

TEST_F(BoardIo, RevisionsFromPins) {
    struct {
        const char* pins;
        double revision;
    } screens[] = {{"19=0\n20=0\n", 1.0},
                   {"20=1\n", 2.0},
                   {"19=1\n20=0\n", 2.2},
                   {"19=1\n20=1\n", 2.3},
                   {"19=0x80000\n20=0xFFFFFFFF\n", 2.3}};
    for (const auto& c : screens) {
        Pins(c.pins);
        double revision = -1;
        BYTE kind = 0;
        ReadScreenRevision(&revision, &kind);
        EXPECT_DOUBLE_EQ(c.revision, revision) << c.pins;
        EXPECT_EQ(3, kind) << c.pins;          // pin 65 reads back what was driven
        EXPECT_EQ(0u, qrx::GpioPinLevel(65));  // and is left low
    }
    EXPECT_NE(std::string::npos, DebugLog().find("SCR_REV0 : 1\nSCR_REV1 : 1\n"));
    Pins("19=1\n65=0 fixed\n");
    BYTE kind = 0;
    ReadScreenRevision(nullptr, &kind);
    EXPECT_EQ(1, kind);

    struct {
        const char* pins;
        const char16_t* text;
    } displays[] = {
        {"", u"3.0"}, {"53=1\n57=1\n", u"4.1"}, {"53=1\n54=1\n55=1\n", u"3.7"}, {"54=0x400\n57=0x8000\n", u"4.2"}};
    for (const auto& c : displays) {
        Pins(c.pins);
        WCHAR text[16] = u"junk";
        ReadDisplayBoardRevision(text, 16);
        EXPECT_EQ(std::u16string(c.text), text) << c.pins;
    }
    EXPECT_NE(std::string::npos, DebugLog().find("DP B'd PCB Rev : 4.1, 0x9\n"));
    WCHAR small[2];
    ReadDisplayBoardRevision(small, 2);
    EXPECT_EQ(std::u16string(u"4"), small);
    WCHAR bsp[8];
    GetBspVersion(bsp, 8);
    EXPECT_EQ(std::u16string(u"3.0.0.0"), bsp);
}

TEST_F(BoardIo, WithoutGpioLibraryOutputsAreDefined) {
    Pins("19=1\n20=1\nabsent\n");
    double revision = 9.9;
    BYTE kind = 7;
    ReadScreenRevision(&revision, &kind);
    EXPECT_DOUBLE_EQ(0.0, revision);
    EXPECT_EQ(1, kind);
    WCHAR text[16] = u"junk";
    ReadDisplayBoardRevision(text, 16);
    EXPECT_EQ(std::u16string(u"unknown"), text);
    EXPECT_NE(std::string::npos, DebugLog().find("Failed allocate GPIO Handler\nFailed allocate GPIO Handler\n"));
}

TEST_F(BoardIo, ToneGoesToTheOpenDeviceOnly) {
    EXPECT_FALSE(Tone(2000, 1));  // not open: nothing sent
    ASSERT_TRUE(OpenTonePwm());
    EXPECT_TRUE(OpenTonePwm());  // kept, not refused by its own exclusive open
    EXPECT_TRUE(Tone(2000, 1));
    PWM_TONE_RECORD r = LastTone();
    EXPECT_EQ(2000u, r.frequency);
    EXPECT_EQ(50u, r.duty);
    EXPECT_EQ(1u, r.on);
    EXPECT_TRUE(Tone(2000, 0));
    r = LastTone();
    EXPECT_EQ(2000u, r.frequency);
    EXPECT_EQ(50u, r.duty);
    EXPECT_EQ(0u, r.on);
    EXPECT_TRUE(TonePwmControl(440, 30, 1));
    EXPECT_EQ(30u, LastTone().duty);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(u"PWM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    CloseTonePwm();
    EXPECT_FALSE(Tone(1000, 1));
    EXPECT_EQ(3u, qrx::ReadDeviceRecords("PWM1").size());

    HANDLE holder = CreateFileW(u"PWM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(OpenTonePwm());
    EXPECT_NE(std::string::npos, DebugLog().find("Invalid Handle, 0x20\n"));
    CloseHandle(holder);
}

TEST_F(BoardIo, BacklightSendsTheInverseOfScreenOff) {
    SetBacklight(1);
    auto records = qrx::ReadDeviceRecords("PWM2");
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(IOCTL_PWM_SET_BACKLIGHT, records[0].code);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0}), records[0].bytes);
    SetBacklight(0);
    EXPECT_EQ(1, qrx::BacklightState());
    SetBacklight(5);
    EXPECT_EQ(0, qrx::BacklightState());
    HANDLE h = CreateFileW(u"PWM2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);  // each call closed the device again
    SetBacklight(0);
    EXPECT_EQ(0, qrx::BacklightState());
    CloseHandle(h);
}

}  // namespace
