#include "ui/controls/ControlUtil.h"

#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"

std::unique_ptr<CUiBitmap> LoadControlBitmap(const WCHAR* name, BOOL transparent, COLORREF key) {
    if (!name || !name[0]) return nullptr;
    auto bitmap = std::make_unique<CUiBitmap>();
    if (bitmap->Load(name) < 0 || !BitmapHasSize(bitmap.get())) return nullptr;
    bitmap->SetTransparent(transparent, key);
    return bitmap;
}

BOOL IsCtrlBlocked(const CUiCtrl* ctrl) {
    CShellPanel* panel = ctrl ? ctrl->GetPanel() : nullptr;
    return panel && panel->GetManager() && panel->GetManager()->IsBlockedByModal(panel);
}

void CtrlTakeCapture(const CUiCtrl* ctrl) {
    if (HWND wnd = ctrl->GetWnd()) ::SetCapture(wnd);
}

void CtrlReleaseCapture(const CUiCtrl* ctrl) {
    HWND wnd = ctrl->GetWnd();
    if (wnd && ::GetCapture() == wnd) ::ReleaseCapture();
}

SIZE FontTextExtent(HFONT font, const WCHAR* text) {
    SIZE size{0, 0};
    if (HDC dc = CreateCompatibleDC(nullptr)) {
        HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
        GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
        if (old) SelectObject(dc, old);
        DeleteDC(dc);
    }
    return size;
}
