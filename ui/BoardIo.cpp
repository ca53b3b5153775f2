#include "ui/BoardIo.h"

#include <qrx/boardapi.h>

#include <mutex>

namespace {

const double kScreenRevisions[4] = {1.0, 2.0, 2.2, 2.3};

// The tone handle is opened by the buzzer thread and used and closed from others.
std::mutex g_toneLock;
HANDLE g_tonePwm = INVALID_HANDLE_VALUE;

// Any non-zero level the board reports is high: the tables take 0 or 1 only.
int ReadPin(HANDLE gpio, DWORD pin) { return GPIO_GetBit(gpio, pin) != 0 ? 1 : 0; }

void DebugLine(const WCHAR* format, ...) {
    WCHAR line[160];
    va_list args;
    va_start(args, format);
    vswprintf(line, sizeof line / sizeof line[0], format, args);
    va_end(args);
    OutputDebugStringW(line);
}

HANDLE OpenStreamDevice(const WCHAR* name) {
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) DebugLine(u"Invalid Handle, 0x%X\r\n", GetLastError());
    return h;
}

}  // namespace

void ReadScreenRevision(double* revision, BYTE* kind) {
    if (revision) *revision = 0.0;
    if (kind) *kind = 1;
    HANDLE gpio = GPIO_Open();
    if (!gpio) {
        OutputDebugStringW(u"Failed allocate GPIO Handler\r\n");
        return;
    }
    GPIO_SetMode(gpio, 19, GPIO_MODE_INPUT);
    GPIO_SetMode(gpio, 20, GPIO_MODE_INPUT);
    GPIO_SetMode(gpio, 65, GPIO_MODE_INPUT);
    int rev0 = ReadPin(gpio, 19);
    DebugLine(u"SCR_REV0 : %d\r\n", rev0);
    int rev1 = ReadPin(gpio, 20);
    DebugLine(u"SCR_REV1 : %d\r\n", rev1);
    if (revision) *revision = kScreenRevisions[2 * rev0 + rev1];

    GPIO_SetBit(gpio, 65);
    Sleep(5);
    if (kind) *kind = ReadPin(gpio, 65) ? 3 : 1;
    GPIO_SetMode(gpio, 65, GPIO_MODE_OUTPUT);
    GPIO_ClrBit(gpio, 65);
    GPIO_Close(gpio);
}

void ReadDisplayBoardRevision(WCHAR* text, size_t capacity) {
    HANDLE gpio = GPIO_Open();
    if (!gpio) {
        OutputDebugStringW(u"Failed allocate GPIO Handler\r\n");
        if (text) QrxStrCopy(text, capacity, u"unknown");
        return;
    }
    const DWORD pins[4] = {53, 54, 55, 57};
    int code = 0;
    for (int bit = 0; bit < 4; ++bit) {
        GPIO_SetMode(gpio, pins[bit], GPIO_MODE_INPUT);
        code |= ReadPin(gpio, pins[bit]) << bit;
    }
    WCHAR revision[8];
    swprintf(revision, 8, u"%d.%d", code < 8 ? 3 : 4, code % 8);
    if (text) QrxStrCopy(text, capacity, revision);
    DebugLine(u"DP B'd PCB Rev : %s, 0x%X\r\n", revision, code);
    GPIO_Close(gpio);
}

void GetBspVersion(WCHAR* text, size_t capacity) {
    if (text) QrxStrCopy(text, capacity, u"3.0.0.0");
}

BOOL OpenTonePwm() {
    std::lock_guard<std::mutex> g(g_toneLock);
    // A second open would be refused by the exclusive device and lose the handle in use.
    if (g_tonePwm != INVALID_HANDLE_VALUE) return TRUE;
    g_tonePwm = OpenStreamDevice(u"PWM1:");
    return g_tonePwm != INVALID_HANDLE_VALUE ? TRUE : FALSE;
}

void CloseTonePwm() {
    std::lock_guard<std::mutex> g(g_toneLock);
    if (g_tonePwm == INVALID_HANDLE_VALUE) return;
    CloseHandle(g_tonePwm);
    g_tonePwm = INVALID_HANDLE_VALUE;
}

BOOL TonePwmControl(DWORD frequency, DWORD duty, DWORD on) {
    std::lock_guard<std::mutex> g(g_toneLock);
    if (g_tonePwm == INVALID_HANDLE_VALUE) return FALSE;
    PWM_TONE_RECORD record{frequency, duty, on};
    DWORD returned = 0;
    return DeviceIoControl(g_tonePwm, IOCTL_PWM_SET_TONE, &record, sizeof record, nullptr, 0, &returned, nullptr);
}

BOOL Tone(DWORD frequency, BOOL on) { return TonePwmControl(frequency, 50, on ? 1 : 0); }

void SetBacklight(BOOL screenOff) {
    HANDLE h = OpenStreamDevice(u"PWM2:");
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD value = screenOff ? 0 : 1;
    DWORD returned = 0;
    DeviceIoControl(h, IOCTL_PWM_SET_BACKLIGHT, &value, sizeof value, nullptr, 0, &returned, nullptr);
    CloseHandle(h);
}
