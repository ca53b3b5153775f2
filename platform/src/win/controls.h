// Shared pieces of the dialog controls (controls.cpp), the common controls (commctrl.cpp) and the
// dialog manager (dialog.cpp).
#pragma once
#include <vector>

#include "qrx/dialog.h"
#include "qrx/wingdi.h"
#include "qrx/winuser.h"

namespace qrx::win {

// Registers "BUTTON", "EDIT" and "STATIC" once; false when they cannot be.
bool RegisterDialogControls();
// The controls of ctl's group in z-order: from the WS_GROUP control at or before it up to the next.
std::vector<HWND> GroupOf(HWND ctl);
// A notice of a control to its parent by WM_COMMAND.
void NotifyParent(HWND ctl, WORD code);
// A filled disc and a filled triangle pointing up, down, left or right (dx, dy one of -1, 0, 1),
// drawn row by row.
void FillDisc(HDC dc, int cx, int cy, int r, HBRUSH brush);
void FillArrow(HDC dc, const RECT& box, int dx, int dy, HBRUSH brush);
// The raised face of a push control, pressed or not, with its black frame (the message box's look).
void DrawFace(HDC dc, const RECT& r, bool pressed);

}  // namespace qrx::win
