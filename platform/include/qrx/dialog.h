// The dialog manager: dialogs made from an in-memory template, modal (a nested message loop of the
// calling thread with the owner disabled) or modeless, their controls of any registered class
// ("BUTTON", "EDIT", "STATIC", the common controls), dialog units, keyboard navigation and the
// dialog item helpers. One manager for every program.
#pragma once
#include "types.h"
#include "winuser.h"

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

// Dialog styles.
#define DS_ABSALIGN 0x01L
#define DS_SYSMODAL 0x02L
#define DS_3DLOOK 0x04L
#define DS_FIXEDSYS 0x08L
#define DS_NOFAILCREATE 0x10L
#define DS_LOCALEDIT 0x20L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_NOIDLEMSG 0x100L
#define DS_SETFOREGROUND 0x200L
#define DS_CONTROL 0x0400L
#define DS_CENTER 0x0800L

// The template head: DWORD aligned, followed by the menu, class and title (each 0x0000 for none,
// 0xFFFF and an ordinal, or a zero-ended UTF-16 string), the font (a point size WORD and a face
// name) when DS_SETFONT is set, and then cdit controls. Position and size are in dialog units.
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
// A control: DWORD aligned, followed by its class (0xFFFF and 0x0080 button, 0x0081 edit, 0x0082
// static, 0x0083 list box, 0x0084 scroll bar, 0x0085 combo box; or a class name), its title (a
// string, or 0xFFFF and a resource ordinal) and its creation data (a WORD count of bytes, the count
// word included, 0 for none); the data reaches WM_CREATE as lpCreateParams.
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    short x;
    short y;
    short cx;
    short cy;
    WORD id;
} DLGITEMTEMPLATE, *LPDLGITEMTEMPLATEW;
#pragma pack(pop)
typedef const DLGTEMPLATE* LPCDLGTEMPLATEW;
typedef LPCDLGTEMPLATEW LPCDLGTEMPLATE;
static_assert(sizeof(DLGTEMPLATE) == 18);
static_assert(sizeof(DLGITEMTEMPLATE) == 18);

// Window extra bytes of a dialog: the result of a handled message, the dialog procedure, the user's.
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC 8
#define DWLP_USER 16
#define DWL_MSGRESULT DWLP_MSGRESULT
#define DLGWINDOWEXTRA 24

// Messages of dialogs and controls.
#define WM_NEXTDLGCTL 0x0028
#define WM_SETFONT 0x0030  // wParam the font (null: the system font), lParam redraw
#define WM_GETFONT 0x0031
#define WM_GETDLGCODE 0x0087
#define DM_GETDEFID (WM_USER + 0)
#define DM_SETDEFID (WM_USER + 1)
#define DC_HASDEFID 0x534B

// WM_GETDLGCODE answers.
#define DLGC_WANTARROWS 0x0001
#define DLGC_WANTTAB 0x0002
#define DLGC_WANTALLKEYS 0x0004
#define DLGC_WANTMESSAGE 0x0004
#define DLGC_HASSETSEL 0x0008
#define DLGC_DEFPUSHBUTTON 0x0010
#define DLGC_UNDEFPUSHBUTTON 0x0020
#define DLGC_RADIOBUTTON 0x0040
#define DLGC_WANTCHARS 0x0080
#define DLGC_STATIC 0x0100
#define DLGC_BUTTON 0x2000

// "BUTTON": styles, notices (WM_COMMAND to the parent) and messages.
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_3STATE 0x00000005L
#define BS_AUTO3STATE 0x00000006L
#define BS_GROUPBOX 0x00000007L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_OWNERDRAW 0x0000000BL
#define BS_TYPEMASK 0x0000000FL
#define BS_LEFTTEXT 0x00000020L
#define BS_LEFT 0x00000100L
#define BS_RIGHT 0x00000200L
#define BS_CENTER 0x00000300L
#define BS_TOP 0x00000400L
#define BS_BOTTOM 0x00000800L
#define BS_VCENTER 0x00000C00L
#define BS_PUSHLIKE 0x00001000L
#define BS_MULTILINE 0x00002000L
#define BS_NOTIFY 0x00004000L
#define BS_FLAT 0x00008000L
#define BN_CLICKED 0
#define BN_SETFOCUS 6
#define BN_KILLFOCUS 7
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_GETSTATE 0x00F2
#define BM_SETSTATE 0x00F3
#define BM_SETSTYLE 0x00F4
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002
#define BST_PUSHED 0x0004
#define BST_FOCUS 0x0008

// "EDIT": styles, notices and messages.
#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_RIGHT 0x0002L
#define ES_MULTILINE 0x0004L
#define ES_UPPERCASE 0x0008L
#define ES_LOWERCASE 0x0010L
#define ES_PASSWORD 0x0020L
#define ES_AUTOVSCROLL 0x0040L
#define ES_AUTOHSCROLL 0x0080L
#define ES_NOHIDESEL 0x0100L
#define ES_READONLY 0x0800L
#define ES_WANTRETURN 0x1000L
#define ES_NUMBER 0x2000L
#define EN_SETFOCUS 0x0100
#define EN_KILLFOCUS 0x0200
#define EN_CHANGE 0x0300
#define EN_UPDATE 0x0400
#define EM_GETSEL 0x00B0
#define EM_SETSEL 0x00B1
#define EM_SETREADONLY 0x00CF
#define EM_LIMITTEXT 0x00C5
#define EM_SETLIMITTEXT EM_LIMITTEXT
#define EM_GETLIMITTEXT 0x00D5

// "STATIC": styles and notices.
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_RIGHT 0x00000002L
#define SS_ICON 0x00000003L
#define SS_BLACKRECT 0x00000004L
#define SS_LEFTNOWORDWRAP 0x0000000CL
#define SS_BITMAP 0x0000000EL
#define SS_TYPEMASK 0x0000001FL
#define SS_NOPREFIX 0x00000080L
#define SS_NOTIFY 0x00000100L
#define SS_CENTERIMAGE 0x00000200L
#define STN_CLICKED 0

// Runs the dialog until EndDialog (its result), until the dialog is destroyed (with its owner:
// the result given to EndDialog, else 0) or WM_QUIT; -1 when it could not be made: a control of a
// class nobody registered fails the dialog (ERROR_CANNOT_FIND_WND_CLASS) unless DS_NOFAILCREATE.
// The modal loop runs timers and posted messages and navigates by keys as IsDialogMessageW.
INT_PTR DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define DialogBoxIndirectW(inst, tpl, parent, proc) DialogBoxIndirectParamW(inst, tpl, parent, proc, 0)
// A modeless dialog: shown when its template says WS_VISIBLE; it ends with DestroyWindow.
HWND CreateDialogIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define CreateDialogIndirectW(inst, tpl, parent, proc) CreateDialogIndirectParamW(inst, tpl, parent, proc, 0)
BOOL EndDialog(HWND hDlg, INT_PTR nResult);
LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);
// Handles a message meant for the dialog or one of its controls (TAB moves the focus, RETURN is
// the default button, ESCAPE is IDCANCEL; the rest is translated and dispatched): TRUE then, and
// the caller must not dispatch it again. FALSE for messages of other windows.
BOOL IsDialogMessageW(HWND hDlg, LPMSG lpMsg);

// Dialog units: a quarter of the font's average character width across, an eighth of its height
// down. GetDialogBaseUnits gives the system font's (width low word, height high word).
BOOL MapDialogRect(HWND hDlg, LPRECT lpRect);
LONG GetDialogBaseUnits(void);

// Dialog items.
LRESULT SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString);
UINT GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax);
BOOL SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned);
UINT GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned);
BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck);
BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton);
UINT IsDlgButtonChecked(HWND hDlg, int nIDButton);
HWND GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious);
HWND GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious);

// Bitmap resources (RT_BITMAP) as bitmaps of the display's format.
HBITMAP LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName);

#define DialogBoxIndirectParam DialogBoxIndirectParamW
#define DialogBoxIndirect DialogBoxIndirectW
#define CreateDialogIndirectParam CreateDialogIndirectParamW
#define CreateDialogIndirect CreateDialogIndirectW
#define DefDlgProc DefDlgProcW
#define IsDialogMessage IsDialogMessageW
#define SendDlgItemMessage SendDlgItemMessageW
#define SetDlgItemText SetDlgItemTextW
#define GetDlgItemText GetDlgItemTextW
#define LoadBitmap LoadBitmapW
