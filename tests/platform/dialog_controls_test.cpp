// Dialog templates with controls of registered classes, dialog units and keyboard navigation.
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/screen.h"

namespace {

// Writes a template as the dialog manager reads it.
class Tpl {
public:
    Tpl(DWORD style, short cx, short cy, const char16_t* face = nullptr, WORD points = 0) {
        Put(DLGTEMPLATE{style | (face ? static_cast<DWORD>(DS_SETFONT) : 0u), 0, 0, 0, 0, cx, cy});
        m_words.push_back(0);  // menu
        m_words.push_back(0);  // class
        Text(u"T");
        if (face) {
            m_words.push_back(points);
            Text(face);
        }
    }
    Tpl& Control(const char16_t* cls, WORD id, DWORD style, short x, short y, short cx, short cy) {
        if (m_words.size() % 2) m_words.push_back(0);
        Put(DLGITEMTEMPLATE{static_cast<DWORD>(style | WS_CHILD | WS_VISIBLE), 0, x, y, cx, cy, id});
        Text(cls);
        Text(u"");
        m_words.push_back(0);  // no creation data
        ++reinterpret_cast<DLGTEMPLATE*>(m_words.data())->cdit;
        return *this;
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

private:
    template <class T>
    void Put(const T& v) {
        size_t at = m_words.size();
        m_words.resize(at + sizeof v / 2);
        std::memcpy(&m_words[at], &v, sizeof v);
    }
    void Text(const char16_t* s) {
        for (; *s; ++s) m_words.push_back(*s);
        m_words.push_back(0);
    }
    std::vector<WORD> m_words;
};

std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> g_dlg;
std::vector<int> g_commands;

INT_PTR CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_COMMAND) g_commands.push_back(LOWORD(w));
    return g_dlg ? g_dlg(h, m, w, l) : 0;
}

LRESULT g_dlgCode = 0;
std::vector<WPARAM> g_keys;  // keys that reached a control

LRESULT CALLBACK ControlProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_GETDLGCODE) return g_dlgCode;
    if (m == WM_KEYDOWN) g_keys.push_back(w);
    return DefWindowProcW(h, m, w, l);
}

class DialogControlsTest : public DeviceRootTest {
protected:
    void SetUp() override {
        InitCommonControls();
        WNDCLASSW wc{};
        wc.lpfnWndProc = ControlProc;
        wc.lpszClassName = u"DlgTestControl";
        RegisterClassW(&wc);
        g_commands.clear();
        g_keys.clear();
        g_dlgCode = 0;
    }
    void TearDown() override { g_dlg = nullptr; }
};

TEST_F(DialogControlsTest, RegisteredClassControlsAreLaidOutInTheFontsDialogUnits) {
    Tpl tpl(WS_POPUP | DS_CENTER, 200, 100, u"MS Sans Serif", 8);
    tpl.Control(PROGRESS_CLASSW, 1, 0, 7, 7, 120, 18);
    bool checked = false;
    g_dlg = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m != WM_INITDIALOG) return 0;
        HWND bar = GetDlgItem(h, 1);
        EXPECT_NE(bar, nullptr);
        WCHAR cls[40];
        GetClassNameW(bar, cls, 40);
        EXPECT_EQ(std::u16string(cls), u"msctls_progress32");
        EXPECT_NE(SendMessageW(h, WM_GETFONT, 0, 0), 0);
        RECT units{7, 7, 127, 25}, pixels, dlg;
        EXPECT_TRUE(MapDialogRect(h, &units));
        GetWindowRect(bar, &pixels);
        GetWindowRect(h, &dlg);
        OffsetRect(&pixels, -dlg.left, -dlg.top);
        EXPECT_TRUE(EqualRect(&units, &pixels));
        // Centred on the screen.
        EXPECT_LE(std::abs((dlg.left + dlg.right) / 2 - 400), 1);
        EXPECT_LE(std::abs((dlg.top + dlg.bottom) / 2 - 240), 1);
        SendMessageW(bar, PBM_SETPOS, 40, 0);
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 40);
        checked = true;
        EndDialog(h, 5);
        return 1;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, tpl.Get(), nullptr, Proc, 0), 5);
    EXPECT_TRUE(checked);

    // A whole-screen template in units is larger than the screen: it starts at the corner.
    g_dlg = nullptr;
    Tpl screen(WS_POPUP | WS_VISIBLE | DS_CENTER, 800, 480, u"MS Sans Serif", 8);
    screen.Control(PROGRESS_CLASSW, 1, 0, 7, 7, 264, 18);
    HWND dlg = CreateDialogIndirectParamW(nullptr, screen.Get(), nullptr, Proc, 0);
    ASSERT_NE(dlg, nullptr);
    RECT r;
    GetWindowRect(dlg, &r);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_TRUE(IsWindowVisible(dlg));
    DestroyWindow(dlg);

    // A control of a class nobody registered fails the dialog before it starts, unless the
    // template says to go on without it.
    Tpl unknown(WS_POPUP, 100, 50);
    unknown.Control(PROGRESS_CLASSW, 1, 0, 0, 0, 10, 10).Control(u"NoSuchClass", 2, 0, 0, 20, 10, 10);
    bool started = false;
    g_dlg = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) {
            started = true;
            EXPECT_EQ(GetDlgItem(h, 2), nullptr);
            EndDialog(h, 3);
        }
        return 0;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, unknown.Get(), nullptr, Proc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_FALSE(started);
    Tpl lenient(WS_POPUP | DS_NOFAILCREATE, 100, 50);
    lenient.Control(u"NoSuchClass", 2, 0, 0, 20, 10, 10);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, lenient.Get(), nullptr, Proc, 0), 3);
    EXPECT_TRUE(started);
}

TEST_F(DialogControlsTest, IsDialogMessageMovesTheFocusAndTurnsKeysIntoCommands) {
    Tpl tpl(WS_POPUP | WS_VISIBLE, 200, 100);
    tpl.Control(u"DlgTestControl", 10, WS_TABSTOP, 0, 0, 20, 10)
        .Control(u"DlgTestControl", 11, 0, 0, 20, 20, 10)
        .Control(u"DlgTestControl", 12, WS_TABSTOP, 0, 40, 20, 10)
        .Control(u"DlgTestControl", 13, WS_TABSTOP | WS_DISABLED, 0, 60, 20, 10);
    g_dlg = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) return 1;
        if (m == WM_APP) {
            SetWindowLongPtrW(h, DWLP_MSGRESULT, 77);
            return 1;
        }
        return 0;
    };
    HWND dlg = CreateDialogIndirectParamW(nullptr, tpl.Get(), nullptr, Proc, 0);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(SendMessageW(dlg, WM_APP, 0, 0), 77);  // a handled message answers through DWLP_MSGRESULT
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 10));       // the first tab stop
    auto key = [&](WPARAM vk) {
        MSG m{GetFocus(), WM_KEYDOWN, vk, 1, 0, {0, 0}};
        return IsDialogMessageW(dlg, &m);
    };
    EXPECT_TRUE(key(VK_TAB));
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 12));
    EXPECT_TRUE(key(VK_TAB));  // past the disabled one, round to the first
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 10));
    EXPECT_TRUE(key(VK_RETURN));
    EXPECT_TRUE(key(VK_ESCAPE));
    SendMessageW(dlg, DM_SETDEFID, 12, 0);
    EXPECT_TRUE(key(VK_RETURN));
    EXPECT_EQ(g_commands, (std::vector<int>{IDOK, IDCANCEL, 12}));
    EXPECT_TRUE(g_keys.empty());
    g_dlgCode = DLGC_WANTALLKEYS;  // a control that takes every key gets them
    EXPECT_TRUE(key(VK_RETURN));
    EXPECT_EQ(g_keys, (std::vector<WPARAM>{VK_RETURN}));
    EXPECT_EQ(g_commands.size(), 3u);

    // Messages of other windows are the caller's; the focus comes back with the activation.
    SendMessageW(dlg, WM_NEXTDLGCTL, 0, 0);
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 12));
    HWND other = CreateWindowExW(0, u"DlgTestControl", u"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    MSG m{other, WM_KEYDOWN, VK_RETURN, 1, 0, {0, 0}};
    EXPECT_FALSE(IsDialogMessageW(dlg, &m));
    EXPECT_NE(GetFocus(), GetDlgItem(dlg, 12));
    SetActiveWindow(dlg);
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 12));
    DestroyWindow(other);
    DestroyWindow(dlg);

    // The modal loop navigates too: ESCAPE from the screen cancels.
    g_dlgCode = 0;
    g_dlg = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) PostMessageW(h, WM_APP, 0, 0);
        if (m == WM_APP) {
            qrx::screen::Key(VK_ESCAPE);
            PostMessageW(h, WM_APP + 1, 0, 0);
        }
        if (m == WM_APP + 1) EndDialog(h, 0);  // the key went nowhere
        if (m == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(h, 9);
        return m == WM_INITDIALOG;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, tpl.Get(), nullptr, Proc, 0), 9);
}

}  // namespace
