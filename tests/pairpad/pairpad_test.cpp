// Pairpad's dialog in-process: keys, the typed and the stored address, saving.
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "PairpadDlg.h"
#include "qrx/host.h"

namespace {

// The dialog with its boxes recorded instead of shown, running a script once it is up.
class CScriptedDlg : public CBtAddressDlg {
public:
    explicit CScriptedDlg(std::function<void(CScriptedDlg&)> script) : m_script(std::move(script)) {}
    BOOL OnInitDialog() override {
        BOOL focus = CBtAddressDlg::OnInitDialog();
        PostMessage(WM_APP);
        return focus;
    }
    BEGIN_MSG_MAP(CScriptedDlg)
        MESSAGE_HANDLER(WM_APP, OnScript)
        CHAIN_MSG_MAP(CBtAddressDlg)
    END_MSG_MAP()

    void Press(const std::u16string& keys) {
        for (char16_t k : keys) {
            int id = k == u'0' ? IDC_KEY_0 : k >= u'A' ? IDC_KEY_A + (k - u'A') : IDC_KEY_1 + (k - u'1');
            if (k == u'<') id = IDC_BACKSPACE;
            if (k == u'S') id = IDC_SAVE;
            SendDlgItemMessage(id, BM_CLICK);
        }
    }
    std::u16string Typed() const { return GetDlgItemText(IDC_TYPED); }

    std::vector<std::u16string> boxes;  // "caption: text"

protected:
    int ShowBox(LPCWSTR text, LPCWSTR caption) override {
        boxes.push_back(std::u16string(caption) + u": " + text);
        return IDOK;
    }

private:
    LRESULT OnScript(UINT, WPARAM, LPARAM, BOOL&) {
        m_script(*this);
        EndDialog(IDOK);
        return 0;
    }
    std::function<void(CScriptedDlg&)> m_script;
};

class PairpadTest : public DeviceRootTest {
protected:
    void Run(std::function<void(CScriptedDlg&)> script) {
        CScriptedDlg dlg(std::move(script));
        ASSERT_EQ(dlg.DoModal(), IDOK);
    }
    std::string Stored() const { return root.ReadFile("NAND Flash/PeerAddr.dat"); }
    bool StoredExists() const { return std::ifstream(root.Host("NAND Flash/PeerAddr.dat")).good(); }
};

TEST_F(PairpadTest, KeysTypeTwelveDigitsAndSaveThemInOrder) {
    Run([&](CScriptedDlg& d) {
        EXPECT_EQ(d.GetDlgItemText(IDC_STORED), u"");  // no file yet
        d.Press(u"<");                                 // backspace on nothing
        EXPECT_EQ(d.Typed(), u"");
        d.Press(u"0017E9A0B1C");
        d.Press(u"S");
        EXPECT_EQ(d.boxes, std::vector<std::u16string>{u"Error: Please fill 12 numbers"});
        EXPECT_FALSE(StoredExists());
        d.Press(u"DF");  // the 13th key is ignored
        EXPECT_EQ(d.Typed(), u"0017E9A0B1CD");
        d.Press(u"<");
        EXPECT_EQ(d.Typed(), u"0017E9A0B1C");
        d.Press(u"9S");
        EXPECT_EQ(d.boxes.back(), u"Notice: Success");
        // Its timer makes the dialog topmost.
        DWORD start = GetTickCount();
        MSG m;
        while (!(GetWindowLongW(d, GWL_EXSTYLE) & WS_EX_TOPMOST) && GetTickCount() - start < 20000) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        }
        EXPECT_TRUE(GetWindowLongW(d, GWL_EXSTYLE) & WS_EX_TOPMOST);
    });
    EXPECT_EQ(Stored(), "0017E9A0B1C9");
    // The stored address is shown at the next start.
    Run([&](CScriptedDlg& d) { EXPECT_EQ(d.GetDlgItemText(IDC_STORED), u"0017E9A0B1C9"); });
}

TEST_F(PairpadTest, AFailedSaveSaysSoAndKeepsTheOldFile) {
    root.WriteFile("NAND Flash/PeerAddr.dat", "112233445566");
    Run([&](CScriptedDlg& d) {
        d.Press(u"AABBCCDDEEFF");
        ASSERT_TRUE(qrx::RemoveVolume("NAND Flash"));
        d.Press(u"S");
        ASSERT_TRUE(qrx::ArriveVolume("NAND Flash"));
        EXPECT_EQ(d.boxes, std::vector<std::u16string>{u"Error: Can't write file"});
    });
    EXPECT_EQ(Stored(), "112233445566");

    // A file longer than an address shows its first 12 bytes; a save cut before its rename is
    // finished at the next start.
    root.WriteFile("NAND Flash/PeerAddr.dat", "0123456789ABCDEF");
    Run([&](CScriptedDlg& d) { EXPECT_EQ(d.GetDlgItemText(IDC_STORED), u"0123456789AB"); });
    std::remove(root.Host("NAND Flash/PeerAddr.dat").c_str());
    root.WriteFile("NAND Flash/PeerAddr.dat.tmp", "A1B2C3D4E5F6");
    Run([&](CScriptedDlg& d) { EXPECT_EQ(d.GetDlgItemText(IDC_STORED), u"A1B2C3D4E5F6"); });
}

}  // namespace
