// Stand-in program for the control types no shipped page uses: opens page 0 of the layout script file
// named on its command line (a device path) on a full-screen window of its own through the page
// manager, and appends every command 1025 it gets to "controls.log" in the device root as
// "WPARAM LOW HIGH" (lParam's two halves). A sent command is answered 1. Bar graphs get 4 columns of
// 10 levels, which no layout key gives.
#include <fcntl.h>
#include <qrx/atlwin.h>
#include <unistd.h>
#include <windows.h>

#include <string>

#include "qrx/host.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/controls/BarGraph.h"

namespace {

void Record(WPARAM wParam, LPARAM lParam) {
    const std::string path = qrx::DeviceRoot() + "/controls.log";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const DWORD l = static_cast<DWORD>(lParam);
    std::string line = std::to_string(wParam) + " " + std::to_string(l & 0xFFFF) + " " + std::to_string(l >> 16) + "\n";
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

class CStandinHost : public CWindowImpl<CStandinHost> {
public:
    DECLARE_WND_CLASS(u"QRX_CONTROLS_STANDIN")
    explicit CStandinHost(CShellManager* manager) : m_manager(manager) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        BOOL handled = FALSE;
        const LRESULT r = m_manager->PreTranslate(hWnd, uMsg, wParam, lParam, handled);
        if (handled) {
            lResult = r;
            return TRUE;
        }
        if (uMsg == 1025) {
            Record(wParam, lParam);
            lResult = 1;
            return TRUE;
        }
        if (uMsg == WM_DESTROY) {
            PostQuitMessage(0);
            lResult = 0;
            return TRUE;
        }
        return FALSE;
    }

private:
    CShellManager* m_manager;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    if (!lpCmdLine || !lpCmdLine[0]) return 2;
    WCHAR layout[MAX_PATH];
    QrxStrCopy(layout, MAX_PATH, lpCmdLine);
    CShellManager manager;
    CStandinHost host(&manager);
    RECT rc{0, 0, 800, 480};
    if (!host.Create(nullptr, &rc, u"controls", WS_POPUP | WS_VISIBLE, 0)) return 3;
    CShellPanel* page = manager.OpenShell(host.m_hWnd, 0, layout, TRUE);
    if (!page) return 4;
    for (int i = 0; i < page->GetCtrlCount(); ++i)
        if (auto* graph = dynamic_cast<CBarGraphCtrl*>(page->GetCtrl(i))) graph->SetColumns(4, 10);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
