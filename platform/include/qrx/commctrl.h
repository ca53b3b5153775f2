// Common controls: InitCommonControls registers the progress bar class "msctls_progress32", a plain bar
// drawn in the highlight colour over the button face, proportional to its position in its range.
#pragma once
#include "types.h"

#define PROGRESS_CLASSW u"msctls_progress32"
#define PBM_SETRANGE (0x0400 + 1)    // lParam: low word min, high word max; returns the old range
#define PBM_SETPOS (0x0400 + 2)      // returns the previous position
#define PBM_DELTAPOS (0x0400 + 3)
#define PBM_SETSTEP (0x0400 + 4)
#define PBM_STEPIT (0x0400 + 5)
#define PBM_SETRANGE32 (0x0400 + 6)  // wParam min, lParam max
#define PBM_GETRANGE (0x0400 + 7)    // wParam TRUE: the low limit, else the high
#define PBM_GETPOS (0x0400 + 8)

void InitCommonControls(void);
