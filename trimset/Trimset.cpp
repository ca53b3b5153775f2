// Trimset: the application runs the calibration dialog once and ends with it.
#include "CalDlg.h"

namespace {

class CTrimsetApp : public CKitApp {
public:
    BOOL InitInstance() override {
        CCalibrationDlg dlg;
        dlg.DoModal();
        dlg.HandBackPort();  // also when the dialog could not be made
        return FALSE;
    }
};

CTrimsetApp theApp;

}  // namespace

KIT_APP_MAIN(theApp)
