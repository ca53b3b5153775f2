// Common controls: InitCommonControls registers the progress bar "msctls_progress32" (a plain bar drawn
// in the highlight colour over the button face, proportional to its position in its range), the
// up-down control "msctls_updown32" and the dialog controls "BUTTON", "EDIT" and "STATIC".
#pragma once
#include "types.h"
#include "winuser.h"

#define PROGRESS_CLASSW u"msctls_progress32"
#define PBM_SETRANGE (0x0400 + 1)    // lParam: low word min, high word max; returns the old range
#define PBM_SETPOS (0x0400 + 2)      // returns the previous position
#define PBM_DELTAPOS (0x0400 + 3)
#define PBM_SETSTEP (0x0400 + 4)
#define PBM_STEPIT (0x0400 + 5)
#define PBM_SETRANGE32 (0x0400 + 6)  // wParam min, lParam max
#define PBM_GETRANGE (0x0400 + 7)    // wParam TRUE: the low limit, else the high
#define PBM_GETPOS (0x0400 + 8)

// Notices of common controls: WM_NOTIFY to the parent, wParam the control's id, lParam an NMHDR
// that the notice's own record begins with.
typedef struct tagNMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
} NMHDR, *LPNMHDR;

// Scroll codes of WM_HSCROLL and WM_VSCROLL.
#define SB_LINEUP 0
#define SB_LINEDOWN 1
#define SB_THUMBPOSITION 4
#define SB_ENDSCROLL 8

// The up-down control: two arrows (up and down, or left and right with UDS_HORZ). A press steps the
// position once, holding it repeats on the device clock with the increments of the acceleration
// table (by seconds held; default 0 s: 1, 2 s: 5, 5 s: 20). Each step is first offered to the parent
// as UDN_DELTAPOS (a non-zero answer refuses it; the delta is kept within the range, and at the end
// of the range without UDS_WRAP there is no step), then reported by WM_VSCROLL (WM_HSCROLL) with
// SB_THUMBPOSITION and the new position; lifting the pen sends SB_ENDSCROLL.
#define UPDOWN_CLASSW u"msctls_updown32"
#define UDS_WRAP 0x0001
#define UDS_SETBUDDYINT 0x0002  // the buddy window shows the position in decimal
#define UDS_ALIGNRIGHT 0x0004
#define UDS_ALIGNLEFT 0x0008
#define UDS_AUTOBUDDY 0x0010  // the buddy is the control made before it
#define UDS_ARROWKEYS 0x0020
#define UDS_HORZ 0x0040
#define UDS_NOTHOUSANDS 0x0080
#define UD_MAXVAL 0x7fff
#define UD_MINVAL (-UD_MAXVAL)
#define UDM_SETRANGE (0x0400 + 101)  // lParam: low word the maximum, high word the minimum (signed)
#define UDM_GETRANGE (0x0400 + 102)
#define UDM_SETPOS (0x0400 + 103)    // lParam low word; returns the previous position
#define UDM_GETPOS (0x0400 + 104)    // the position in the low word, 0 in the high word
#define UDM_SETBUDDY (0x0400 + 105)
#define UDM_GETBUDDY (0x0400 + 106)
#define UDM_SETACCEL (0x0400 + 107)  // wParam the count, lParam the UDACCEL entries by rising nSec
#define UDM_GETACCEL (0x0400 + 108)  // fills up to wParam entries; returns the count held
#define UDM_SETBASE (0x0400 + 109)
#define UDM_GETBASE (0x0400 + 110)
#define UDM_SETRANGE32 (0x0400 + 111)  // wParam the minimum, lParam the maximum
#define UDM_GETRANGE32 (0x0400 + 112)  // wParam, lParam: int* minimum and maximum
#define UDM_SETPOS32 (0x0400 + 113)
#define UDM_GETPOS32 (0x0400 + 114)
#define UDN_FIRST (0U - 721U)
#define UDN_DELTAPOS (UDN_FIRST - 1)
typedef struct {
    UINT nSec;
    UINT nInc;
} UDACCEL, *LPUDACCEL;
typedef struct {
    NMHDR hdr;
    int iPos;    // the position before the step
    int iDelta;  // the step proposed; the parent may change it
} NMUPDOWN, *LPNMUPDOWN;

void InitCommonControls(void);
