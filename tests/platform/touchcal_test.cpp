// The touch calibration the platform module exports as the device's core library: five taps store their
// readings, Escape or a minute without a tap store nothing.
#include <gtest/gtest.h>

#include <windows.h>
#include <qrx/host.h>
#include <qrx/screen.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "DeviceRoot.h"

namespace {

typedef int (*PFN_CALIBRATE)();

std::u16string StoredCalibration() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, KEY_READ, &key) != ERROR_SUCCESS) return u"";
    WCHAR text[128] = {};
    DWORD type = 0, size = sizeof text - sizeof(WCHAR);
    const LONG got = RegQueryValueExW(key, u"CalibrationData", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return got == ERROR_SUCCESS ? std::u16string(text) : u"";
}

// Runs the calibration on this thread while another one acts on its screen.
template <class Act>
int Calibrate(Act act) {
    HMODULE core = LoadLibraryW(u"coredll.dll");
    EXPECT_NE(core, nullptr);
    auto calibrate = reinterpret_cast<PFN_CALIBRATE>(GetProcAddress(core, "TouchCalibrate"));
    EXPECT_NE(calibrate, nullptr);
    if (!calibrate) return -1;
    std::thread driver([&] {
        if (qrx::screen::WaitForWindow(u"QrxTouchCalibrate", 10000)) act();
    });
    const int result = calibrate();
    driver.join();
    EXPECT_TRUE(FreeLibrary(core));
    return result;
}

class TouchCalibrateTest : public DeviceRootTest {};

}  // namespace

TEST_F(TouchCalibrateTest, StoresFiveTapsOrNothing) {
    const DWORD start = GetTickCount();
    EXPECT_EQ(Calibrate([] { qrx::screen::Key(VK_ESCAPE); }), 0);
    EXPECT_LT(GetTickCount() - start, 30000u) << "Escape ends it at once";
    EXPECT_EQ(StoredCalibration(), u"");

    EXPECT_EQ(Calibrate([] {
                  const POINT targets[5] = {{400, 240}, {100, 60}, {100, 420}, {700, 420}, {700, 60}};
                  for (const POINT& p : targets) qrx::screen::Tap(p.x, p.y);
              }),
              1);
    EXPECT_EQ(StoredCalibration(), u"2048,2048 512,512 512,3584 3584,3584 3584,512 ");
    EXPECT_EQ(FindWindowW(u"QrxTouchCalibrate", nullptr), nullptr);

    // Four taps and then a minute of silence: nothing new is stored.
    setenv("QRX_TIME_SCALE", "30", 1);  // the minute is 2 s: time enough for the taps to arrive
    qrx::ReloadHostConfig();
    EXPECT_EQ(Calibrate([] {
                  for (int i = 0; i < 4; ++i) qrx::screen::Tap(30 + i, 40);
              }),
              0);
    unsetenv("QRX_TIME_SCALE");
    qrx::ReloadHostConfig();
    EXPECT_EQ(StoredCalibration(), u"2048,2048 512,512 512,3584 3584,3584 3584,512 ");
}
