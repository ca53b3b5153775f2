// The dialog manager: DialogBoxIndirectParamW, EndDialog and the dialog window class. A dialog is
// a popup of the manager's class; its procedure gets the messages once WM_INITDIALOG is on its
// way, and what it leaves unhandled goes to DefDlgProcW.
#include <mutex>
#include <unordered_map>

#include "qrx/dialog.h"
#include "win/win.h"

namespace qrx::win {
namespace {

const WCHAR kDialogClass[] = u"QrxDialog";
// Dialog units to pixels: the system font's base units are 8 x 16, a dialog unit a quarter of
// the width and an eighth of the height.
constexpr int kUnitX = 2;
constexpr int kUnitY = 2;
constexpr size_t kMaxTemplateText = 256;

struct Dialog {
    DLGPROC proc = nullptr;
    INT_PTR result = 0;
    volatile bool ended = false;
    bool started = false;  // WM_INITDIALOG sent: the procedure sees the messages from then on
};

struct DialogTable {
    std::mutex lock;
    std::unordered_map<HWND, Dialog*> byWindow;
};

DialogTable& Dialogs() {
    static auto* table = new DialogTable;
    return *table;
}

// The dialog being made on this thread, bound to its window at the window's first message.
thread_local Dialog* t_creating = nullptr;

Dialog* DialogOf(HWND hwnd) {
    DialogTable& t = Dialogs();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byWindow.find(hwnd);
    if (it != t.byWindow.end()) return it->second;
    if (!t_creating) return nullptr;
    Dialog* d = t_creating;
    t_creating = nullptr;
    t.byWindow[hwnd] = d;
    return d;
}

void Forget(HWND hwnd) {
    DialogTable& t = Dialogs();
    std::lock_guard<std::mutex> g(t.lock);
    t.byWindow.erase(hwnd);
}

bool IsControlColour(UINT msg) { return msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC; }

LRESULT CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Dialog* d = DialogOf(hwnd);
    if (!d || !d->started || !d->proc) {
        if (d && msg == WM_DESTROY) {
            d->ended = true;
            Forget(hwnd);
        }
        return DefDlgProcW(hwnd, msg, wParam, lParam);
    }
    if (msg == WM_ERASEBKGND) {
        auto brush = reinterpret_cast<HBRUSH>(d->proc(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd)));
        if (!brush) brush = GetSysColorBrush(COLOR_BTNFACE);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
        return 1;
    }
    INT_PTR handled = d->proc(hwnd, msg, wParam, lParam);
    if (msg == WM_DESTROY) {
        // Destroyed without EndDialog (with its owner, say): the modal loop ends all the same.
        d->ended = true;
        Forget(hwnd);
        return 0;
    }
    if (IsControlColour(msg) || msg == WM_INITDIALOG) return handled;
    return handled ? 0 : DefDlgProcW(hwnd, msg, wParam, lParam);
}

bool RegisterDialogClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DialogProc;
        wc.lpszClassName = kDialogClass;
        ok = RegisterClassW(&wc) != 0;
    });
    return ok;
}

// One of the template's name fields: none, an ordinal, or a string. False when it runs too long.
bool ReadNameField(const BYTE*& p, bool& present, std::u16string* text) {
    WORD first;
    memcpy(&first, p, 2);
    p += 2;
    present = first != 0;
    if (first == 0) return true;
    if (first == 0xFFFF) {
        p += 2;
        return true;
    }
    std::u16string s(1, static_cast<char16_t>(first));
    for (;;) {
        WORD c;
        memcpy(&c, p, 2);
        p += 2;
        if (c == 0) break;
        if (s.size() >= kMaxTemplateText) return false;
        s.push_back(static_cast<char16_t>(c));
    }
    if (text) *text = std::move(s);
    return true;
}

}  // namespace
}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
        case WM_CLOSE:
            // Closing a dialog is its cancel command; it ends only through EndDialog.
            PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return 0;
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(hDlg, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        default:
            return DefWindowProcW(hDlg, Msg, wParam, lParam);
    }
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    Dialog* d = nullptr;
    {
        DialogTable& t = Dialogs();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.byWindow.find(hDlg);
        if (it != t.byWindow.end()) d = it->second;
    }
    if (!d) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!d->ended) d->result = nResult;
    d->ended = true;
    // Wakes the modal loop when another thread ends the dialog.
    PostMessageW(hDlg, WM_NULL, 0, 0);
    return TRUE;
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    if (!hDialogTemplate) {
        SetError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DLGTEMPLATE head;
    memcpy(&head, hDialogTemplate, sizeof head);
    const BYTE* p = reinterpret_cast<const BYTE*>(hDialogTemplate) + sizeof head;
    bool menu = false, cls = false, titled = false;
    std::u16string title;
    if (!ReadNameField(p, menu, nullptr) || !ReadNameField(p, cls, nullptr) || !ReadNameField(p, titled, &title)) {
        SetError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Controls, menus and classes of their own come with the programs that need them.
    if (head.cdit != 0 || menu || cls) {
        SetError(ERROR_CALL_NOT_IMPLEMENTED);
        return -1;
    }
    if (!RegisterDialogClass()) return -1;

    int width = std::max(0, head.cx * kUnitX), height = std::max(0, head.cy * kUnitY);
    int x = head.x * kUnitX, y = head.y * kUnitY;
    if (head.style & DS_CENTER) {
        x = (qrx::gdi::kScreenWidth - width) / 2;
        y = (qrx::gdi::kScreenHeight - height) / 2;
    }
    DWORD style = (head.style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
    Dialog dialog;
    dialog.proc = lpDialogFunc;
    t_creating = &dialog;
    HWND dlg = CreateWindowExW(head.dwExtendedStyle, kDialogClass, title.c_str(), style, x, y, width, height,
                               hWndParent, nullptr, hInstance, nullptr);
    t_creating = nullptr;
    if (!dlg) return -1;
    {
        // Bound here when creation sent the window no message of its own.
        DialogTable& t = Dialogs();
        std::lock_guard<std::mutex> g(t.lock);
        t.byWindow.emplace(dlg, &dialog);
    }
    HWND owner = GetWindow(dlg, GW_OWNER);

    dialog.started = true;
    SendMessageW(dlg, WM_INITDIALOG, 0, dwInitParam);
    // A modal dialog is shown whatever its template's style says.
    if (!dialog.ended && IsWindow(dlg)) {
        ShowWindow(dlg, SW_SHOW);
        UpdateWindow(dlg);
    }
    qrx::RunModalLoop(owner, &dialog.ended);
    if (IsWindow(dlg) && DialogOf(dlg) == &dialog) {
        DestroyWindow(dlg);
        Forget(dlg);
    }
    if (owner && IsWindow(owner) && IsWindowVisible(owner)) SetActiveWindow(owner);
    return dialog.result;
}
