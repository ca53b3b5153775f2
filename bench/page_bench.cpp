// Opening and painting a page of the layout script, and repainting one button of it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <windows.h>
#include <qrx/atlwin.h>
#include <qrx/host.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/ZipArchive.h"

namespace {

constexpr int kControls = 40;

std::string Bmp(int width, int height, unsigned char r, unsigned char g, unsigned char b) {
    const unsigned stride = (static_cast<unsigned>(width) * 3 + 3) / 4 * 4;
    const unsigned off = 54;
    std::string f(off + stride * static_cast<unsigned>(height), '\0');
    auto put = [&f](size_t at, unsigned v, int bytes) {
        for (int i = 0; i < bytes; ++i) f[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    f[0] = 'B';
    f[1] = 'M';
    put(2, static_cast<unsigned>(f.size()), 4);
    put(10, off, 4);
    put(14, 40, 4);
    put(18, static_cast<unsigned>(width), 4);
    put(22, static_cast<unsigned>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t at = off + stride * static_cast<unsigned>(y) + static_cast<size_t>(x) * 3;
            f[at] = static_cast<char>(b);
            f[at + 1] = static_cast<char>(g);
            f[at + 2] = static_cast<char>((r + x) & 0xFF);
        }
    }
    return f;
}

// Page 0: a full-screen background, 20 labels and 20 buttons with images and text.
std::string Script() {
    std::string s = "[shell]\r\nmain=0\r\n[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\bg.bmp\r\n";
    for (int c = 0; c < kControls; ++c) {
        const std::string n = std::to_string(c);
        const int x = 10 + (c % 8) * 98, y = 20 + (c / 8) * 90;
        s += "[shell0-" + n + "]\r\n";
        if (c % 2 == 0) {
            s += "type=0,1,0xFF00FF,0,0\r\nimage=\\Windows\\label.bmp,,,\r\n";
        } else {
            s += "type=1,1,0xFF00FF,0,0\r\nimage=\\Windows\\btn_nor.bmp,\\Windows\\btn_pre.bmp,,\r\n";
            s += "cmd=0,1025,0," + n + "\r\n";
        }
        s += "pos=" + std::to_string(x) + "," + std::to_string(y) + ",90,60\r\n";
        s += "text=1,0,0xFFFFFF,0x000000,Item " + n + "\r\nfont=,20,0,0,0\r\n";
    }
    return s;
}

class CBenchHost : public CWindowImpl<CBenchHost> {
public:
    DECLARE_WND_CLASS(u"QRX_BENCH_HOST")
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        BOOL handled = FALSE;
        const LRESULT r = manager.PreTranslate(hWnd, uMsg, wParam, lParam, handled);
        if (handled) {
            lResult = r;
            return TRUE;
        }
        // The last page closing asks the program to end; the bench goes on.
        if (uMsg == WM_CLOSE) return TRUE;
        return FALSE;
    }
    CShellManager manager;
};

// The device root, images, script and host window, made once for every benchmark of this file.
struct PageBench {
    PageBench() {
        char pattern[] = "/tmp/qrx-page-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        root = pattern;
        std::filesystem::create_directories(root + "/Windows");
        auto write = [this](const char* name, const std::string& bytes) {
            std::ofstream(root + "/Windows/" + name, std::ios::binary) << bytes;
        };
        write("bg.bmp", Bmp(800, 480, 20, 40, 60));
        write("label.bmp", Bmp(90, 60, 90, 90, 200));
        write("btn_nor.bmp", Bmp(90, 60, 200, 120, 20));
        write("btn_pre.bmp", Bmp(90, 60, 250, 200, 20));
        setenv("QRX_DEVICE_ROOT", root.c_str(), 1);
        qrx::ReloadHostConfig();
        script = Script();
        SetLayoutScript(script.data(), static_cast<DWORD>(script.size()));
        RECT rc{0, 0, 800, 480};
        host.Create(nullptr, &rc, u"bench", WS_POPUP | WS_VISIBLE, 0);
    }
    ~PageBench() {
        if (::IsWindow(host.m_hWnd)) host.DestroyWindow();
        SetLayoutScript(nullptr, 0);
        std::error_code ec;
        if (!root.empty()) std::filesystem::remove_all(root, ec);
    }
    CShellPanel* OpenAndPaint() {
        CShellPanel* page = host.manager.OpenShell(host.m_hWnd, 0, nullptr, TRUE);
        if (page != nullptr) UpdateWindow(host.m_hWnd);
        return page;
    }

    std::string root;
    std::string script;
    CBenchHost host;
};

PageBench& Bench() {
    static PageBench bench;
    return bench;
}

void BM_OpenPage40Controls(benchmark::State& state) {
    PageBench& bench = Bench();
    for (auto _ : state) {
        CShellPanel* page = bench.OpenAndPaint();
        if (page == nullptr || page->GetCtrlCount() != kControls) {
            state.SkipWithError("the page did not open with its controls");
            break;
        }
        state.PauseTiming();
        bench.host.manager.CloseShell(0);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OpenPage40Controls)->Unit(benchmark::kMillisecond);

void BM_RepaintButton(benchmark::State& state) {
    PageBench& bench = Bench();
    CShellPanel* page = bench.OpenAndPaint();
    CUiCtrl* button = page != nullptr ? page->GetCtrl(1) : nullptr;
    if (button == nullptr) {
        state.SkipWithError("the page did not open with its controls");
        return;
    }
    for (auto _ : state) button->Invalidate(nullptr, FALSE);
    bench.host.manager.CloseShell(0);
}
BENCHMARK(BM_RepaintButton)->Unit(benchmark::kMicrosecond);

}  // namespace
