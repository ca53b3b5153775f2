// A page whose control sections come from the input (any type and keys), built by the control
// factory on a host window, painted, tapped, dragged and ticked, then closed. Nothing may be read or
// drawn out of bounds, leak, or hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "BmpFile.h"
#include "qrx/atlwin.h"
#include "FuzzRoot.h"
#include "qrx/host.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/ZipArchive.h"
#include "ui/controls/AnimImage.h"

namespace fs = std::filesystem;

namespace {

// The page's host window: the manager sees every message first.
class Host : public CWindowImpl<Host> {
public:
    DECLARE_WND_CLASS(u"QRX_FUZZ_HOST")
    explicit Host(CShellManager* manager) : m_manager(manager) {}
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        BOOL handled = FALSE;
        LRESULT r = m_manager->PreTranslate(hWnd, uMsg, wParam, lParam, handled);
        if (handled) {
            lResult = r;
            return TRUE;
        }
        if (uMsg >= WM_USER) {
            // A sent column change is accepted every other time.
            lResult = ++m_answers & 1;
            return TRUE;
        }
        return FALSE;
    }

private:
    CShellManager* m_manager;
    unsigned m_answers = 0;
};

// One device root, manager and host window for the whole run.
class FuzzPage {
public:
    FuzzPage() : m_root("controls", {"Windows", "NAND Flash/Sub", "SD Card/Log", "Hard Disk"}) {
        Put("Windows/bg.bmp", SolidBmpFile(80, 48, 0x0000C8));
        Put("Windows/a.bmp", SolidBmpFile(12, 12, 0xC80000));
        Put("Windows/b.bmp", SolidBmpFile(20, 8, 0x00C800));
        for (int i = 0; i < 3; ++i)
            Put("Windows/f_" + std::to_string(i) + ".bmp", SolidBmpFile(16, 16, 0x101010u * (i + 1)));
        for (const char* file :
             {"SD Card/a.csv", "SD Card/B.TXT", "SD Card/noext", "SD Card/Log/l.csv", "NAND Flash/n.csv"})
            Put(file, "x");
        m_manager = std::make_unique<CShellManager>();
        m_host = std::make_unique<Host>(m_manager.get());
        RECT rc{0, 0, 800, 480};
        m_host->Create(nullptr, &rc, u"host", WS_POPUP | WS_VISIBLE, 0);
    }
    ~FuzzPage() {
        if (::IsWindow(m_host->m_hWnd)) ::DestroyWindow(m_host->m_hWnd);
        m_host.reset();
        m_manager.reset();
    }
    void Put(const std::string& relative, const std::string& bytes) const { m_root.Put(relative, bytes); }

    void Run(const std::string& sections) {
        std::string script = "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n" + sections;
        SetLayoutScript(script.data(), static_cast<DWORD>(script.size()));
        HWND host = m_host->m_hWnd;
        if (CShellPanel* page = m_manager->OpenShell(host, 0, nullptr, TRUE)) {
            ::InvalidateRect(host, nullptr, FALSE);
            ::UpdateWindow(host);
            // Taps and drags over the controls' usual places and past the screen's edges.
            const POINT points[] = {{15, 25}, {60, 60}, {110, 80}, {205, 135}, {400, 300}, {-20, 900}};
            for (const POINT& p : points) {
                ::SendMessageW(host, WM_LBUTTONDOWN, 0, MAKELPARAM(p.x, p.y));
                ::SendMessageW(host, WM_MOUSEMOVE, 0, MAKELPARAM(p.x + 30, p.y - 40));
                ::SendMessageW(host, WM_LBUTTONUP, 0, MAKELPARAM(p.x + 30, p.y - 40));
                if (m_manager->FindShell(0) != page) break;
            }
            if (m_manager->FindShell(0) == page) {
                for (int i = 0; i < page->GetCtrlCount(); ++i)
                    if (auto* anim = dynamic_cast<CAnimImageCtrl*>(page->GetCtrl(i)))
                        for (int k = 0; k < 4; ++k) anim->OnTimer(anim->GetFrameTimer(), 0);
                ::SendMessageW(host, WM_TIMER, 4096, 0);
                ::UpdateWindow(host);
            }
        }
        while (m_manager->CloseShell(-1) > 0) {
        }
        // Commands the controls posted are dropped, not run: they would open pages of their own.
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        SetLayoutScript(nullptr, 0);
    }

private:
    FuzzRoot m_root;
    std::unique_ptr<CShellManager> m_manager;
    std::unique_ptr<Host> m_host;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 16) return 0;
    static FuzzPage page;
    page.Run(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
