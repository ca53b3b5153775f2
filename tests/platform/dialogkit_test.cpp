// The dialog kit: templates from tables, the controls under the pen, the up-down control's
// acceleration and the modal loop.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/dialogkit.h"
#include "qrx/host.h"
#include "qrx/screen.h"

namespace {

using Script = std::function<void(class CTestDlg&)>;

// A dialog that records its notices and runs its steps one after the other once it is up; a step
// runs after the input queued by the one before is handled.
class CTestDlg : public CKitDialog {
public:
    CTestDlg(const KitTemplate& t, std::vector<Script> steps) : CKitDialog(t), m_steps(std::move(steps)) {}
    BOOL OnInitDialog() override {
        PostMessage(WM_APP, 0);
        return TRUE;
    }
    BEGIN_MSG_MAP(CTestDlg)
        MESSAGE_HANDLER(WM_APP, OnStep)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        COMMAND_CODE_HANDLER(BN_CLICKED, OnNotice)
        COMMAND_CODE_HANDLER(EN_SETFOCUS, OnNotice)
        NOTIFY_HANDLER(50, UDN_DELTAPOS, OnDelta)
    END_MSG_MAP()

    LRESULT OnStep(UINT, WPARAM step, LPARAM, BOOL&) {
        if (step < m_steps.size()) m_steps[step](*this);
        if (step + 1 < m_steps.size() && IsWindow()) PostMessage(WM_APP, step + 1);
        return 0;
    }
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
        if (onTimer) onTimer();
        return 0;
    }
    LRESULT OnNotice(WORD code, WORD id, HWND, BOOL&) {
        notices.push_back((code << 16) | id);
        return 0;
    }
    LRESULT OnDelta(int, LPNMHDR hdr, BOOL&) {
        auto* nm = reinterpret_cast<NMUPDOWN*>(hdr);
        steps.push_back({GetTickCount() - pressTick, nm->iDelta});
        return onDelta ? onDelta(*nm) : 0;
    }
    void Tap(int id) {
        RECT r;
        ::GetWindowRect(GetDlgItem(id), &r);
        qrx::screen::Tap((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    }

    std::vector<int> notices;
    std::vector<std::pair<DWORD, int>> steps;  // device ms since the press, delta
    DWORD pressTick = 0;
    std::function<void()> onTimer;
    std::function<LRESULT(const NMUPDOWN&)> onDelta;

private:
    std::vector<Script> m_steps;
};

int Notice(WORD code, WORD id) { return (code << 16) | id; }

class DialogKitTest : public DeviceRootTest {
protected:
    void SetUp() override { InitCommonControls(); }
    void TearDown() override {
        unsetenv("QRX_TIME_SCALE");
        qrx::ReloadHostConfig();
    }
};

TEST_F(DialogKitTest, ToolTemplatesFitTheScreenCentredAndDoModalAnswersEndDialog) {
    struct Case {
        const WCHAR* face;
        WORD points;
        short cx, cy;
    } cases[] = {{u"Tahoma", 9, 399, 226}, {u"System", 10, 414, 211}};
    for (const Case& c : cases) {
        KitTemplate t{u"", c.cx, c.cy, c.face, c.points,
                      {{WC_BUTTONW, u"EXIT", 1, BS_PUSHBUTTON, short(c.cx - 60), short(c.cy - 30), 55, 25}}};
        RECT r{}, exit{};
        CTestDlg dlg(t, {[&](CTestDlg& d) {
                         ::GetWindowRect(d, &r);
                         ::GetWindowRect(d.GetDlgItem(1), &exit);
                         d.EndDialog(1234);
                     }});
        EXPECT_EQ(dlg.DoModal(), 1234);
        EXPECT_FALSE(dlg.IsWindow());
        EXPECT_GE(r.left, 0);
        EXPECT_GE(r.top, 0);
        EXPECT_LE(r.right, 800);
        EXPECT_LE(r.bottom, 480);
        EXPECT_LE(std::abs(r.left + r.right - 800), 1);
        EXPECT_LE(std::abs(r.top + r.bottom - 480), 1);
        EXPECT_GT(r.right - r.left, 500);  // the screen is used, not a corner of it
        EXPECT_LE(exit.right, r.right);    // the whole template is on the dialog
        EXPECT_LE(exit.bottom, r.bottom);
    }
}

TEST_F(DialogKitTest, PenClicksButtonsRadioGroupsAndFocusesEdits) {
    KitTemplate t{u"Kit", 300, 200, u"Tahoma", 9,
                  {{WC_EDITW, u"1", 10, WS_BORDER | WS_TABSTOP, 5, 5, 60, 20},
                   {WC_EDITW, u"2", 11, WS_BORDER | WS_TABSTOP, 70, 5, 60, 20},
                   {WC_BUTTONW, u"Go", 20, BS_PUSHBUTTON | WS_TABSTOP, 5, 30, 50, 20},
                   {WC_BUTTONW, u"Off", 21, BS_PUSHBUTTON | WS_DISABLED, 60, 30, 50, 20},
                   {WC_BUTTONW, u"A", 30, BS_AUTORADIOBUTTON | WS_GROUP, 5, 60, 50, 14},
                   {WC_BUTTONW, u"B", 31, BS_AUTORADIOBUTTON, 5, 75, 50, 14},
                   {WC_BUTTONW, u"C", 32, BS_AUTORADIOBUTTON, 5, 90, 50, 14},
                   {WC_BUTTONW, u"X", 40, BS_AUTORADIOBUTTON | WS_GROUP, 80, 60, 50, 14},
                   {WC_BUTTONW, u"Y", 41, BS_AUTORADIOBUTTON, 80, 75, 50, 14},
                   {WC_STATICW, u"one\r\ntwo", 60, SS_LEFT | WS_GROUP, 150, 60, 80, 30}}};
    CTestDlg dlg(t, {[](CTestDlg& d) {
                         d.CheckRadioButton(40, 41, 41);
                         EXPECT_EQ(d.GetDlgItemText(60), u"one\r\ntwo");
                         EXPECT_EQ(::GetFocus(), d.GetDlgItem(10));  // the first tab stop
                         d.notices.clear();
                         for (int id : {11, 20, 21, 31, 32}) d.Tap(id);
                     },
                     [](CTestDlg& d) {
                         d.EnableDlgItem(20, FALSE);
                         d.Tap(20);
                     },
                     [](CTestDlg& d) {
                         EXPECT_EQ(d.notices, (std::vector<int>{Notice(EN_SETFOCUS, 11), Notice(BN_CLICKED, 20),
                                                                Notice(BN_CLICKED, 31), Notice(BN_CLICKED, 32)}));
                         EXPECT_EQ(::GetFocus(), d.GetDlgItem(32));  // a clicked button takes the focus
                         EXPECT_EQ(d.IsDlgButtonChecked(30), BST_UNCHECKED);
                         EXPECT_EQ(d.IsDlgButtonChecked(31), BST_UNCHECKED);
                         EXPECT_EQ(d.IsDlgButtonChecked(32), BST_CHECKED);
                         EXPECT_EQ(d.IsDlgButtonChecked(41), BST_CHECKED);  // another group keeps its choice
                         d.CheckRadioButton(30, 32, 30);
                         EXPECT_EQ(d.IsDlgButtonChecked(30), BST_CHECKED);
                         EXPECT_EQ(d.IsDlgButtonChecked(32), BST_UNCHECKED);
                         d.EndDialog(7);
                     }});
    EXPECT_EQ(dlg.DoModal(), 7);
}

TEST_F(DialogKitTest, ModalLoopRunsTimersUnderAMessageBox) {
    KitTemplate t{u"Box", 200, 100, nullptr, 0, {}};
    int answer = 0, ticks = 0;
    CTestDlg dlg(t, {[&](CTestDlg& d) {
        d.onTimer = [&] {
            // The dialog's timer goes on under the box; the box takes the key.
            if (++ticks == 3) qrx::screen::Key(VK_RETURN);
        };
        d.SetTimer(1, 10);
        answer = d.MessageBox(u"Sure?", u"Notice", MB_YESNO);
        d.KillTimer(1);
        d.EndDialog(answer);
    }});
    EXPECT_EQ(dlg.DoModal(), IDYES);
    EXPECT_GE(ticks, 3);
}

TEST_F(DialogKitTest, HeldSpinAcceleratesOnTheDeviceClock) {
    setenv("QRX_TIME_SCALE", "20", 1);
    qrx::ReloadHostConfig();
    KitTemplate t{u"Spin", 200, 100, u"System", 10,
                  {{WC_EDITW, u"", 49, WS_BORDER, 5, 5, 60, 20}, {UPDOWN_CLASSW, u"", 50, 0, 70, 5, 12, 30}}};
    int scrolled = 0;
    CTestDlg dlg(t, {[&](CTestDlg& d) {
                         d.SendDlgItemMessage(50, UDM_SETRANGE32, 0, 1000000);
                         UDACCEL accel[] = {{0, 1}, {3, 100}, {10, 300}};
                         d.SendDlgItemMessage(50, UDM_SETACCEL, 3, reinterpret_cast<LPARAM>(accel));
                         d.onDelta = [&](const NMUPDOWN& nm) -> LRESULT {
                             if (nm.iDelta == 300) {
                                 scrolled = static_cast<int>(d.SendDlgItemMessage(50, UDM_GETPOS32, 0, 0));
                                 qrx::screen::Release(0, 0);
                                 d.EndDialog(1);
                             }
                             return 0;
                         };
                         RECT r;
                         ::GetWindowRect(d.GetDlgItem(50), &r);
                         d.pressTick = GetTickCount();
                         qrx::screen::Press(r.left + 2, r.top + 2);  // the upper arrow, held
                     }});
    ASSERT_EQ(dlg.DoModal(), 1);
    ASSERT_FALSE(dlg.steps.empty());
    EXPECT_EQ(dlg.steps.front().second, 1);  // the press itself
    int last = 0, sum = 0;
    for (auto [at, delta] : dlg.steps) {
        EXPECT_GE(delta, last);  // increments only grow while held
        EXPECT_GE(at, delta == 300 ? 10000u : delta == 100 ? 3000u : 0u);
        EXPECT_TRUE(delta == 1 || delta == 100 || delta == 300) << delta;
        last = delta;
        sum += delta;
    }
    EXPECT_EQ(dlg.steps.back().second, 300);
    EXPECT_EQ(scrolled, sum - 300);  // each step taken before the next is offered
}

}  // namespace
