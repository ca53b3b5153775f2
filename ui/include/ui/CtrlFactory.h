// The control factory: builds the controls of a page from its [shellN-M] sections.
#pragma once
#include <windows.h>

#include "ui/LayoutScript.h"

class CShellPanel;
class CUiCtrl;

// Creates the controls of the panel's page in section order and appends them to the panel; the number
// of control sections read (0 without a script).
int CreateControls(CShellPanel* panel, CLayoutScript* script);

// The control object for one record (its extra keys read from script when given), or null for a type
// that has no class. Not yet created on the panel.
CUiCtrl* NewControl(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page, int control);
