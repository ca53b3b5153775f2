// The buzzer thread's patterns as the tone device records them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "app/MainFrame.h"
#include "qrx/boardapi.h"

namespace {

struct ToneStep {
    DWORD tick;
    DWORD frequency;
    bool on;
};

std::vector<ToneStep> ToneSteps() {
    std::vector<ToneStep> steps;
    for (const qrx::DeviceRecord& r : qrx::ReadDeviceRecords("PWM1")) {
        if (r.code != IOCTL_PWM_SET_TONE || r.bytes.size() < sizeof(PWM_TONE_RECORD)) continue;
        PWM_TONE_RECORD tone;
        std::memcpy(&tone, r.bytes.data(), sizeof tone);
        steps.push_back({r.tick, tone.frequency, tone.on != 0});
    }
    return steps;
}

class BuzzerTest : public DeviceRootTest {
protected:
    void SetUp() override {
        frame.m_bBuzzerStop = 0;
        thread = CreateThread(nullptr, 0, CMainFrame::BeepThread, &frame, 0, nullptr);
        ASSERT_NE(thread, nullptr);
    }
    void TearDown() override {
        frame.m_bBuzzerStop = 1;
        SetEvent(frame.m_hBeepEvent);
        EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    // Waits for the pattern to end in silence; the steps from the first tone on.
    std::vector<ToneStep> WaitForSilence(size_t atLeast) {
        std::vector<ToneStep> steps;
        bounded::WaitUntil([&] {
            steps = ToneSteps();
            return steps.size() >= atLeast && !steps.back().on;
        });
        return steps;
    }
    static void ExpectTones(const std::vector<ToneStep>& steps, const std::vector<DWORD>& tones, DWORD minGap) {
        ASSERT_EQ(steps.size(), tones.size() + 1);
        for (size_t i = 0; i < tones.size(); ++i) {
            EXPECT_TRUE(steps[i].on) << i;
            EXPECT_EQ(steps[i].frequency, tones[i]) << i;
            DWORD gap = steps[i + 1].tick - steps[i].tick;
            EXPECT_GE(gap, minGap) << i;
            EXPECT_LT(gap, minGap + 400) << i;
        }
        EXPECT_FALSE(steps.back().on);
    }

    CMainFrame frame;
    HANDLE thread = nullptr;
};

TEST_F(BuzzerTest, PatternsPlayTheirTonesThenFallSilent) {
    frame.Beep(3);
    std::vector<ToneStep> steps = WaitForSilence(3);
    ExpectTones(steps, {2637, 2093}, 85);

    frame.Beep(2);
    steps = WaitForSilence(3 + 7);
    steps.erase(steps.begin(), steps.begin() + 3);
    ExpectTones(steps, {2093, 2637, 3136, 2093, 2637, 3136}, 105);
}

TEST_F(BuzzerTest, ErrorAlarmIsThirtyOneAlternatingTones) {
    frame.Beep(1);
    std::vector<ToneStep> steps = WaitForSilence(32);
    std::vector<DWORD> tones;
    for (int i = 1; i <= 31; ++i) tones.push_back((i & 1) ? 2637 : 2093);
    ExpectTones(steps, tones, 85);
    DWORD total = steps.back().tick - steps.front().tick;
    EXPECT_GE(total, 31u * 90u - 90u);
}

TEST_F(BuzzerTest, StopSilencesAPatternAtOnce) {
    frame.Beep(1);
    ASSERT_TRUE(bounded::WaitUntil([&] { return ToneSteps().size() >= 3; }));
    frame.Beep(BEEP_STOP);
    std::vector<ToneStep> steps = WaitForSilence(4);
    ASSERT_FALSE(steps.back().on);
    size_t count = steps.size();
    Sleep(400);
    EXPECT_EQ(ToneSteps().size(), count) << "tones went on after the stop";
}

TEST_F(BuzzerTest, KeyClicksCloseTogetherSoundAsOneThatEndsAfterTheLast) {
    frame.Beep(BEEP_KEY_CLICK);
    Sleep(50);
    frame.Beep(BEEP_KEY_CLICK);
    std::vector<ToneStep> steps = WaitForSilence(3);
    ASSERT_GE(steps.size(), 2u);
    size_t offs = 0;
    for (const ToneStep& s : steps) offs += s.on ? 0 : 1;
    EXPECT_EQ(offs, 1u) << "the click stopped between the two presses";
    EXPECT_GE(steps.back().tick - steps[steps.size() - 2].tick, 95u);
}

}  // namespace
