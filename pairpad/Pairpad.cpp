// Pairpad: the application runs the address dialog once and ends with it.
#include "PairpadDlg.h"

namespace {

class CPairpadApp : public CKitApp {
public:
    BOOL InitInstance() override {
        CBtAddressDlg dlg;
        dlg.DoModal();
        return FALSE;
    }
};

CPairpadApp theApp;

}  // namespace

KIT_APP_MAIN(theApp)
