// Trimset's dialog in-process: the keypad into the focused field, the boxes of the replies, the
// values shown, and the port handed back to the main program once.
#include <functional>
#include <string>
#include <vector>

#include "Bounded.h"
#include "CalDlg.h"
#include "DeviceRoot.h"
#include "sim/McuSim.h"

namespace {

class CScriptedCalDlg : public CCalibrationDlg {
public:
    explicit CScriptedCalDlg(std::function<void(CScriptedCalDlg&)> script) : m_script(std::move(script)) {}
    BOOL OnInitDialog() override {
        BOOL focus = CCalibrationDlg::OnInitDialog();
        PostMessage(WM_APP);
        return focus;
    }
    BEGIN_MSG_MAP(CScriptedCalDlg)
        MESSAGE_HANDLER(WM_APP, OnScript)
        CHAIN_MSG_MAP(CCalibrationDlg)
    END_MSG_MAP()

    void Press(const std::u16string& keys) {
        for (char16_t k : keys) {
            int id = k == u'0' ? IDC_CAL_KEY0 : k == u'.' ? IDC_CAL_POINT : k == u'C' ? IDC_CAL_CLR : IDC_CAL_KEY1 + (k - u'1');
            SendDlgItemMessage(id, BM_CLICK);
        }
    }
    // Runs the dialog's messages until cond holds.
    bool Until(const std::function<bool()>& cond) {
        return bounded::WaitUntil([&] {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            return cond();
        });
    }
    bool Boxed(const std::u16string& text) const {
        for (const auto& b : boxes)
            if (b == text) return true;
        return false;
    }
    std::vector<std::u16string> boxes;

protected:
    int ShowBox(LPCWSTR text, UINT) override {
        boxes.push_back(text);
        return IDYES;
    }
    double BoardRevision() override { return 2.3; }

private:
    LRESULT OnScript(UINT, WPARAM, LPARAM, BOOL&) {
        m_script(*this);
        SendDlgItemMessage(IDC_CAL_EXIT, BM_CLICK);
        return 0;
    }
    std::function<void(CScriptedCalDlg&)> m_script;
};

// The main program's window, counting 1324.
int g_reopens = 0;
LRESULT CALLBACK MainProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_MCU_PORT_REOPEN) ++g_reopens;
    return DefWindowProcW(h, msg, w, l);
}

class TrimsetDialogTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        InitCommonControls();  // the up-down class, as the application object does
        wc.lpfnWndProc = MainProc;
        wc.lpszClassName = u"QRX_APPLICATION";
        RegisterClassW(&wc);
        main = CreateWindowExW(0, u"QRX_APPLICATION", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        g_reopens = 0;
    }
    void TearDown() override { DestroyWindow(main); }
    void Run(std::function<void(CScriptedCalDlg&)> script) {
        CScriptedCalDlg dlg(std::move(script));
        EXPECT_EQ(dlg.DoModal(), IDOK);
        EXPECT_TRUE(dlg.PortHandedBack());
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        EXPECT_EQ(g_reopens, 1);
    }
    HWND main = nullptr;
};

TEST_F(TrimsetDialogTest, KeypadBoxesValuesAndThePortHandedBackOnce) {
    sim::McuSimConfig c;
    c.port = 2;
    sim::McuSim mcu(c);
    ASSERT_TRUE(mcu.Start()) << mcu.Error();
    Run([&](CScriptedCalDlg& d) {
        EXPECT_FALSE(d.IsDlgButtonChecked(IDC_CAL_RADIO_CHARGE));
        EXPECT_FALSE(::IsWindowEnabled(d.GetDlgItem(IDC_CAL_APPLY)));
        ::SetFocus(d.GetDlgItem(IDC_CAL_VOLT_EDIT));
        d.Press(u"C.014.4.5");
        EXPECT_EQ(d.GetDlgItemText(IDC_CAL_VOLT_EDIT), u"14.45");
        EXPECT_EQ(d.SendDlgItemMessage(IDC_CAL_VOLT_SPIN, UDM_GETPOS32), 1445);
        EXPECT_EQ(d.GetDlgItemText(IDC_CAL_AMP_EDIT), u"100.0");  // not focused
        d.SendDlgItemMessage(IDC_CAL_SAVE, BM_CLICK);
        EXPECT_TRUE(d.Until([&] { return d.Boxed(u"EEPROM Write completed"); }));
        d.SendDlgItemMessage(IDC_CAL_OFFSET_V, BM_CLICK);
        EXPECT_TRUE(d.Until([&] { return d.Boxed(u"Volt Offset is calibrated"); }));
        // The 500 ms poll reads the values into the statics.
        EXPECT_TRUE(d.Until([&] { return d.GetDlgItemText(IDC_CAL_VOLT_TEXT).rfind(u"Volt Offset : 0, ScaleF : 1.000000", 0) == 0; }));
        EXPECT_EQ(d.GetDlgItemText(IDC_CAL_AMP_TEXT), u"Amp Offset : 0, ScaleF : 1.00");
        ::SetFocus(d.GetDlgItem(IDC_CAL_AMP_EDIT));
        d.Press(u"C7");
        d.SendDlgItemMessage(IDC_CAL_CHARGE, BM_CLICK);
        EXPECT_TRUE(d.Tool().Running());
    });
    // EXIT during the run switched the output off before the port went back.
    EXPECT_EQ(mcu.Snapshot().set.output, 0);
    std::vector<std::vector<BYTE>> sent;
    for (const auto& e : mcu.Log())
        if (!e.request.empty()) sent.push_back(e.request);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], (std::vector<BYTE>{1, 2, 0x15, 1}));
    EXPECT_EQ(sent.back(), (std::vector<BYTE>{1, 2, 0x15, 0}));
}

TEST_F(TrimsetDialogTest, APortThatDoesNotOpenIsNamedAndStillHandedBack) {
    Run([&](CScriptedCalDlg& d) {
        EXPECT_TRUE(d.Until([&] { return d.Boxed(u"Can't open COM2:"); }));
        ::SetFocus(d.GetDlgItem(IDC_CAL_VOLT_EDIT));
        d.Press(u"C800");
        d.SendDlgItemMessage(IDC_CAL_REF_V, BM_CLICK);
        EXPECT_TRUE(d.Boxed(u"Enter a value from 0 to 655.35"));
    });
}

}  // namespace
