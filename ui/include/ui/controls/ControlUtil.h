// Small pieces the control classes share.
#pragma once
#include <windows.h>

#include <memory>

#include "ui/UiCtrl.h"

inline BOOL BitmapHasSize(const CUiBitmap* bitmap) {
    return bitmap && bitmap->GetWidth() > 0 && bitmap->GetHeight() > 0;
}

// The named picture with the colour-key setting, or null when the name is empty or does not load.
std::unique_ptr<CUiBitmap> LoadControlBitmap(const WCHAR* name, BOOL transparent, COLORREF key);

// Whether a modal page above the control's own page holds the pen.
BOOL IsCtrlBlocked(const CUiCtrl* ctrl);

// The pen capture on the control's drawing window, so that the pen stays its own past the window's edge.
void CtrlTakeCapture(const CUiCtrl* ctrl);
void CtrlReleaseCapture(const CUiCtrl* ctrl);

// The extent of text in font (the system font when null); 0, 0 when it cannot be measured.
SIZE FontTextExtent(HFONT font, const WCHAR* text);
