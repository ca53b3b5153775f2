// Layout type 24: up to two pictures centred over the control's background, with an optional strip
// that shows the page behind instead.
#pragma once
#include <windows.h>

#include <memory>

#include "ui/UiCtrl.h"

class CLayoutScript;

class CPictureCtrl : public CUiCtrl {
public:
    CPictureCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CPictureCtrl() override;

    // Either name may be null or empty (no picture); the names are kept. Whether every named one loaded.
    BOOL SetPictures(const WCHAR* first, const WCHAR* second, BOOL redraw);
    const WCHAR* GetPicturePath(int i) const { return (i == 0 || i == 1) ? m_szPath[i] : u""; }
    // Control coordinates; null or all zero: none. Cut to the control when painted.
    void SetCopyRect(const RECT* rc);
    void SetDrawBackground(BOOL on) { m_bDrawBack = on ? 1 : 0; }

    void OnPaint(HDC dc) override;

private:
    std::unique_ptr<CUiBitmap> m_pictures[2];
    RECT m_rcCopy;
    WCHAR m_szPath[2][MAX_PATH];
    BOOL m_bDrawBack;
};

CUiCtrl* NewPicture(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                    int control);
