// The dialog manager: modal dialogs made from an in-memory template, run in a nested message loop
// of the calling thread with the owner disabled. One manager for every program; it grows with the
// controls its templates may hold.
#pragma once
#include "types.h"
#include "winuser.h"

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

// Dialog styles.
#define DS_ABSALIGN 0x01L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CENTER 0x0800L

// The template head: WORD aligned, followed by the menu, class and title (each 0x0000 for none,
// 0xFFFF and an ordinal, or a zero-ended UTF-16 string), the font when DS_SETFONT is set, and the
// controls. Position and size are in dialog units.
#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE, *LPDLGTEMPLATEW;
#pragma pack(pop)
typedef const DLGTEMPLATE* LPCDLGTEMPLATEW;
typedef LPCDLGTEMPLATEW LPCDLGTEMPLATE;
static_assert(sizeof(DLGTEMPLATE) == 18);

// Runs the dialog until EndDialog (its result), until the dialog is destroyed (with its owner:
// the result given to EndDialog, else 0) or WM_QUIT; -1 when it could not be made. A template with
// controls fails with ERROR_CALL_NOT_IMPLEMENTED.
INT_PTR DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define DialogBoxIndirectW(inst, tpl, parent, proc) DialogBoxIndirectParamW(inst, tpl, parent, proc, 0)
BOOL EndDialog(HWND hDlg, INT_PTR nResult);
LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);

// Bitmap resources (RT_BITMAP) as bitmaps of the display's format.
HBITMAP LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName);

#define DialogBoxIndirectParam DialogBoxIndirectParamW
#define DialogBoxIndirect DialogBoxIndirectW
#define DefDlgProc DefDlgProcW
#define LoadBitmap LoadBitmapW
