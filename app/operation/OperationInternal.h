// Shared by the operation page's sources only.
#pragma once
#include <windows.h>

#include "app/OperationWnd.h"

// Work the other threads hand to the UI thread through the page's message window.
#define WM_OPWND_SCALE (WM_APP + 1)   // wParam reset, lParam force
#define WM_OPWND_IDLE (WM_APP + 2)    // buttons and top bar of the idle page
#define WM_OPWND_NOTICE (WM_APP + 3)  // close the idle over-voltage notice
#define WM_OPWND_MASK (WM_APP + 4)    // wParam: the button mask
#define WM_OPWND_HELD (WM_APP + 20)   // a resumed run waits: wParam its button mask

class CShellPanel;
// The language text [shell] key on the panel's control, in the UI font.
void SetLangCtrlText(CShellPanel* panel, int control, int shell, int key);

// Holds the operation thread between its rounds while a run's set values or steps are written, so that
// no round reads a record half written. Nothing to hold while idle; a thread that does not stop in time
// is not waited for.
class CRoundPause {
public:
    CRoundPause(COperationWnd& page, BOOL needed) : m_page(page), m_bParked(needed && !page.IsIdle() && page.ParkOperationThread()) {}
    ~CRoundPause() {
        if (m_bParked) m_page.UnparkOperationThread();
    }
    CRoundPause(const CRoundPause&) = delete;
    CRoundPause& operator=(const CRoundPause&) = delete;

private:
    COperationWnd& m_page;
    BOOL m_bParked;
};

// The process-wide section of the tick reference and the run's seconds.
CRITICAL_SECTION& OperationSection();

// The attached unit's time: hours x 100 + minutes.
inline DWORD UnitTime(DWORD seconds) { return seconds / 3600 * 100 + seconds % 3600 / 60; }
// Display boards from revision 2.2 report the transformer and heat-sink temperatures.
BOOL BoardFrom22();
// A discharge never starts on a battery at this voltage or more.
const double kMaxDischargeStartVolts = 130.0;
