// The dialog manager, bitmap resources and the modules a program was linked with.
#include <windows.h>

#include <dlfcn.h>

#include <cstring>
#include <functional>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/screen.h"

namespace {

std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> g_dlg;
std::vector<UINT> g_seen;

INT_PTR CALLBACK TestDlgProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    g_seen.push_back(m);
    return g_dlg ? g_dlg(h, m, w, l) : 0;
}

// A template without controls: the head, no menu, no class, the title.
std::vector<WORD> Template(DWORD style, short cx, short cy, WORD controls = 0) {
    std::vector<WORD> t(9, 0);
    DLGTEMPLATE head{style, 0, controls, 0, 0, cx, cy};
    std::memcpy(t.data(), &head, sizeof head);
    t.push_back(0);
    t.push_back(0);
    for (char16_t c : std::u16string(u"POPUP_DIALOG")) t.push_back(c);
    t.push_back(0);
    t.resize(t.size() + 16, 0);  // room for the controls a wrong count would read
    return t;
}

const DLGTEMPLATE* Head(const std::vector<WORD>& t) { return reinterpret_cast<const DLGTEMPLATE*>(t.data()); }

LRESULT CALLBACK OwnerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_ERASEBKGND) {
        RECT r;
        GetClientRect(h, &r);
        HBRUSH b = CreateSolidBrush(RGB(0, 0, 200));
        FillRect(reinterpret_cast<HDC>(w), &r, b);
        DeleteObject(b);
        return 1;
    }
    return DefWindowProcW(h, m, w, l);
}

class DialogTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = OwnerProc;
        wc.lpszClassName = u"DialogTestOwner";
        RegisterClassW(&wc);
        owner = CreateWindowExW(0, u"DialogTestOwner", u"", WS_POPUP | WS_VISIBLE, 0, 0, 800, 480, nullptr, nullptr,
                                nullptr, nullptr);
        g_seen.clear();
    }
    void TearDown() override {
        g_dlg = nullptr;
        if (IsWindow(owner)) DestroyWindow(owner);
    }
    uint32_t ScreenPixel(int x, int y) {
        std::vector<uint32_t> px;
        qrx::screen::WaitIdle(5000);
        qrx::screen::Compose(px);
        return px[static_cast<size_t>(y) * qrx::screen::kWidth + x];
    }
    HWND owner = nullptr;
};

TEST_F(DialogTest, ModalDialogInitialisesDrawsAndEndsWithItsResult) {
    auto tpl = Template(WS_POPUP, 50, 40);
    BOOL ownerEnabledInside = TRUE;
    uint32_t underHollow = 0;
    HWND dialog = nullptr;
    g_dlg = [&](HWND h, UINT m, WPARAM, LPARAM l) -> INT_PTR {
        switch (m) {
            case WM_INITDIALOG:
                dialog = h;
                EXPECT_EQ(l, 1234);
                // Moved and sized by its procedure, as the keypad does.
                MoveWindow(h, 100, 50, 200, 100, FALSE);
                PostMessageW(h, WM_APP, 0, 0);
                return 1;
            case WM_CTLCOLORDLG:
                return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
            case WM_APP:
                ownerEnabledInside = IsWindowEnabled(owner);
                underHollow = ScreenPixel(150, 80);
                EXPECT_TRUE(EndDialog(h, 42));
                return 1;
            default:
                return 0;
        }
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, Head(tpl), owner, TestDlgProc, 1234), 42);
    EXPECT_FALSE(ownerEnabledInside);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindow(dialog));
    // The hollow brush leaves the dialog's surface unerased; without it the dialog face is filled.
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    const uint32_t faceOnScreen = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
    EXPECT_NE(underHollow, faceOnScreen);
    ASSERT_FALSE(g_seen.empty());
    EXPECT_EQ(g_seen.front(), static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(std::count(g_seen.begin(), g_seen.end(), static_cast<UINT>(WM_DESTROY)), 1);

    // Without a colour of its own the dialog is filled; WM_CLOSE becomes a cancel command.
    g_dlg = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) {
            MoveWindow(h, 100, 50, 200, 100, FALSE);
            PostMessageW(h, WM_APP, 0, 0);
            return 1;
        }
        if (m == WM_APP) {
            underHollow = ScreenPixel(150, 80);
            PostMessageW(h, WM_CLOSE, 0, 0);
            return 1;
        }
        if (m == WM_COMMAND && LOWORD(w) == IDCANCEL) return EndDialog(h, 7);
        return 0;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, Head(tpl), owner, TestDlgProc, 0), 7);
    EXPECT_EQ(underHollow, faceOnScreen);
    EXPECT_FALSE(EndDialog(owner, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(DialogTest, DialogDiesWithItsOwnerAndControlsAreRefused) {
    auto tpl = Template(WS_POPUP, 10, 10);
    g_dlg = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_INITDIALOG) PostMessageW(h, WM_APP, 0, 0);
        if (m == WM_APP) DestroyWindow(owner);
        return 0;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, Head(tpl), owner, TestDlgProc, 0), 0);
    EXPECT_FALSE(IsWindow(owner));

    // A control without a class is refused before the procedure sees anything.
    auto withControls = Template(WS_POPUP, 10, 10, 1);
    g_seen.clear();
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, Head(withControls), nullptr, TestDlgProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_TRUE(g_seen.empty());
}

TEST_F(DialogTest, BitmapResourceLoadsInTheDisplayFormat) {
    HBITMAP b = LoadBitmapW(nullptr, MAKEINTRESOURCEW(3));
    ASSERT_NE(b, nullptr);
    BITMAP bm{};
    ASSERT_TRUE(GetObjectW(b, sizeof bm, &bm));
    EXPECT_EQ(bm.bmWidth, 2);
    EXPECT_EQ(bm.bmHeight, 2);
    EXPECT_EQ(bm.bmBitsPixel, 32);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, b);
    // Bottom-up rows: the file's last row is the top.
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 1, 0), RGB(255, 255, 255));
    EXPECT_EQ(GetPixel(dc, 0, 1), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 1, 1), RGB(0, 255, 0));
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(b);
    EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(4)), nullptr);
    EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(5)), nullptr);  // fewer pixels than its header says
    EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(1)), nullptr);  // only RCDATA has id 1
}

TEST_F(DialogTest, ModuleHandleFindsALibraryLinkedAtLoadTime) {
    Dl_info info{};
    ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&CreateEventW), &info));
    EXPECT_EQ(GetModuleHandleW(u"libqrx_platform.so"), static_cast<HMODULE>(info.dli_fbase));
    EXPECT_EQ(GetModuleHandleW(u"\\Windows\\LIBQRX_PLATFORM.SO"), static_cast<HMODULE>(info.dli_fbase));
    EXPECT_EQ(GetModuleHandleW(u"libqrx_platform"), nullptr);  // ".dll" is assumed
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
