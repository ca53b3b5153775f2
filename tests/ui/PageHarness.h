// Page tests' common ground: a device root with images on disk, a layout script handed over in memory,
// a host window that offers every message to a shell manager first and records the rest, and helpers
// for the in-process screen.
#pragma once
#include <windows.h>
#include <qrx/atlwin.h>
#include <qrx/screen.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/ZipArchive.h"

namespace page_harness {

// A bottom-up 24-bit BMP of one colour, or of a colour per pixel.
inline std::string MakeBmp(int width, int height, COLORREF (*pixel)(int x, int y, COLORREF base), COLORREF base) {
    const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) / 4 * 4;
    const uint32_t off = 14 + 40;
    std::string f(off + stride * static_cast<uint32_t>(height), '\0');
    auto put = [&f](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    f[0] = 'B';
    f[1] = 'M';
    put(2, static_cast<uint32_t>(f.size()), 4);
    put(10, off, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(width), 4);
    put(22, static_cast<uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    for (int y = 0; y < height; ++y) {
        const size_t row = off + stride * static_cast<uint32_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const COLORREF c = pixel ? pixel(x, y, base) : base;
            f[row + static_cast<size_t>(x) * 3 + 0] = static_cast<char>(GetBValue(c));
            f[row + static_cast<size_t>(x) * 3 + 1] = static_cast<char>(GetGValue(c));
            f[row + static_cast<size_t>(x) * 3 + 2] = static_cast<char>(GetRValue(c));
        }
    }
    return f;
}

inline std::string SolidBmp(int width, int height, COLORREF colour) { return MakeBmp(width, height, nullptr, colour); }

// The screen's 0x00RRGGBB of a COLORREF.
inline uint32_t ScreenColour(COLORREF c) {
    return (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
}

// Hands a layout script over for the object's life and withdraws it after.
class ScopedLayoutScript {
public:
    explicit ScopedLayoutScript(std::string text) : m_text(std::move(text)) {
        SetLayoutScript(m_text.data(), static_cast<DWORD>(m_text.size()));
    }
    ~ScopedLayoutScript() { SetLayoutScript(nullptr, 0); }
    ScopedLayoutScript(const ScopedLayoutScript&) = delete;
    ScopedLayoutScript& operator=(const ScopedLayoutScript&) = delete;

private:
    std::string m_text;
};

struct Recorded {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// The program's host window as the main window builds it: PreTranslate first, then its own handling,
// which here records every message at or above WM_USER and every WM_CLOSE (the window stays).
class CTestHost : public CWindowImpl<CTestHost> {
public:
    DECLARE_WND_CLASS(u"QRX_TEST_HOST")

    explicit CTestHost(CShellManager* manager) : m_manager(manager) {}
    ~CTestHost() override {
        if (::IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
    }

    HWND Open() {
        RECT rc{0, 0, qrx::screen::kWidth, qrx::screen::kHeight};
        return CWindowImpl<CTestHost>::Create(nullptr, &rc, u"host", WS_POPUP | WS_VISIBLE, 0);
    }

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        if (m_manager != nullptr) {
            BOOL handled = FALSE;
            const LRESULT r = m_manager->PreTranslate(hWnd, uMsg, wParam, lParam, handled);
            if (handled) {
                lResult = r;
                return TRUE;
            }
        }
        if (once && once.first == uMsg) {
            // Taken out first: the reaction may send this window the same message again.
            auto react = std::move(once.second);
            once = {};
            react(wParam, lParam);
        }
        if (uMsg >= WM_USER || uMsg == WM_CLOSE) {
            log.push_back(Recorded{uMsg, wParam, lParam});
            lResult = 0;
            return TRUE;
        }
        return FALSE;
    }

    // How many recorded messages match; wParam and lParam match anything when negative.
    int Count(UINT msg, long long wParam = -1, long long lParam = -1) const {
        int n = 0;
        for (const Recorded& r : log) {
            if (r.msg != msg) continue;
            if (wParam >= 0 && r.wParam != static_cast<WPARAM>(wParam)) continue;
            if (lParam >= 0 && static_cast<DWORD>(r.lParam) != static_cast<DWORD>(lParam)) continue;
            ++n;
        }
        return n;
    }

    // Runs once, from inside the host's own handling of the next message of that number, as a program's
    // handler would (after the manager has seen it).
    void ReactOnce(UINT msg, std::function<void(WPARAM, LPARAM)> react) { once = {msg, std::move(react)}; }

    std::vector<Recorded> log;
    CShellManager* m_manager;
    struct Once {
        UINT first = 0;
        std::function<void(WPARAM, LPARAM)> second;
        explicit operator bool() const { return static_cast<bool>(second); }
    } once;
};

// Lets every window thread handle what is queued, painting included.
inline void Idle() { EXPECT_TRUE(qrx::screen::WaitIdle(static_cast<DWORD>(bounded::Scaled()))); }

inline uint32_t ScreenPixel(int x, int y) {
    std::vector<uint32_t> px;
    if (!qrx::screen::Compose(px) || px.size() < static_cast<size_t>(qrx::screen::kWidth * qrx::screen::kHeight)) {
        return 0xFFFFFFFFu;
    }
    return px[static_cast<size_t>(y) * qrx::screen::kWidth + static_cast<size_t>(x)];
}

// A device root, a manager and a host window, for one test. Images are written as files under
// \Windows and named in scripts by their device path ("\Windows\bg.bmp").
class PageTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = std::make_unique<CShellManager>();
        host = std::make_unique<CTestHost>(manager.get());
        ASSERT_NE(host->Open(), nullptr);
    }
    void TearDown() override {
        // The host's WM_DESTROY closes every page, as the program's does; the manager goes last.
        host.reset();
        manager.reset();
        script.reset();
        Idle();
    }

    void UseScript(const std::string& text) {
        script.reset();
        script = std::make_unique<ScopedLayoutScript>(text);
    }
    void WriteImage(const std::string& name, const std::string& bmp) { root.WriteFile("Windows/" + name, bmp); }
    HWND Host() const { return host->m_hWnd; }
    CShellPanel* Open(int shell, BOOL show = TRUE) { return manager->OpenShell(Host(), shell, nullptr, show); }

    TempDeviceRoot root;
    std::unique_ptr<ScopedLayoutScript> script;
    std::unique_ptr<CShellManager> manager;
    std::unique_ptr<CTestHost> host;
};

// Waits for a condition while the pages handle their messages; false once the bound of host time
// passed (whatever the device's time scale).
template <class Cond>
bool WaitFor(Cond cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded::Scaled());
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        qrx::screen::WaitIdle(200);
        Sleep(5);
    }
    return true;
}

}  // namespace page_harness
