// The dialog kit of the service tools, over the dialog manager and the window library (atlwin.h):
// - CKitApp: the application object. A program defines one, and KIT_APP_MAIN(theApp) gives it its
//   WinMain; InitInstance typically runs one modal dialog and answers FALSE, which ends the program.
// - CKitDialog: a modal dialog made from a KitTemplate (a C++ table in dialog units), with a message
//   map (BEGIN_MSG_MAP ... END_MSG_MAP) by message, by control id and notice (COMMAND_*), and by
//   WM_NOTIFY notice (NOTIFY_*); timers and user messages go through MESSAGE_HANDLER.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "atlwin.h"
#include "commctrl.h"
#include "dialog.h"
#include "processapi.h"

// Class names of template controls.
#define WC_BUTTONW u"BUTTON"
#define WC_EDITW u"EDIT"
#define WC_STATICW u"STATIC"

// One control of a template: its class, text, id, style (WS_CHILD and WS_VISIBLE are added) and
// place in dialog units.
struct KitItem {
    const WCHAR* cls;
    const WCHAR* text;
    WORD id;
    DWORD style;
    short x, y, cx, cy;
    DWORD exStyle = 0;
};

// A dialog: caption, size in dialog units, font (null: the system font) and controls in tab order.
struct KitTemplate {
    const WCHAR* title;
    short cx, cy;
    const WCHAR* face;
    WORD points;
    std::vector<KitItem> items;
    DWORD style = WS_POPUP | DS_MODALFRAME | DS_CENTER;
    DWORD exStyle = 0;
};

// The in-memory template of a table, as DialogBoxIndirectParamW reads it.
inline std::vector<WORD> BuildDialogTemplate(const KitTemplate& t) {
    std::vector<WORD> words;
    auto put = [&words](const void* data, size_t bytes) {
        size_t at = words.size();
        words.resize(at + bytes / 2);
        std::memcpy(&words[at], data, bytes);
    };
    auto text = [&words](const WCHAR* s) {
        for (; s && *s; ++s) words.push_back(static_cast<WORD>(*s));
        words.push_back(0);
    };
    DWORD style = t.style | (t.face ? static_cast<DWORD>(DS_SETFONT) : 0u);
    DLGTEMPLATE head{style, t.exStyle, static_cast<WORD>(t.items.size()), 0, 0, t.cx, t.cy};
    put(&head, sizeof head);
    words.push_back(0);  // no menu
    words.push_back(0);  // the dialog manager's class
    text(t.title);
    if (t.face) {
        words.push_back(t.points);
        text(t.face);
    }
    for (const KitItem& item : t.items) {
        if (words.size() % 2) words.push_back(0);  // DWORD aligned
        DLGITEMTEMPLATE it{static_cast<DWORD>(item.style | WS_CHILD | WS_VISIBLE), item.exStyle, item.x, item.y,
                           item.cx, item.cy, item.id};
        put(&it, sizeof it);
        text(item.cls);
        text(item.text);
        words.push_back(0);  // no creation data
    }
    return words;
}

// Message map entries of a dialog. Handlers:
//   LRESULT OnCommand(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
//   LRESULT OnNotify(int idCtrl, LPNMHDR pnmh, BOOL& bHandled);
// A notify handler's answer is the message's (for UDN_DELTAPOS: non-zero refuses the step).
#define COMMAND_HANDLER(id, code, func)                                                                  \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) {                     \
        bHandled = TRUE;                                                                                 \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);       \
        if (bHandled) return TRUE;                                                                       \
    }
#define COMMAND_ID_HANDLER(id, func)                                                                     \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                                                  \
        bHandled = TRUE;                                                                                 \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);       \
        if (bHandled) return TRUE;                                                                       \
    }
#define COMMAND_CODE_HANDLER(code, func)                                                                 \
    if (uMsg == WM_COMMAND && HIWORD(wParam) == (code)) {                                                \
        bHandled = TRUE;                                                                                 \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);       \
        if (bHandled) return TRUE;                                                                       \
    }
#define COMMAND_RANGE_CODE_HANDLER(idFirst, idLast, code, func)                                          \
    if (uMsg == WM_COMMAND && LOWORD(wParam) >= (idFirst) && LOWORD(wParam) <= (idLast) &&               \
        HIWORD(wParam) == (code)) {                                                                      \
        bHandled = TRUE;                                                                                 \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);       \
        if (bHandled) return TRUE;                                                                       \
    }
#define NOTIFY_HANDLER(id, cd, func)                                                                     \
    if (uMsg == WM_NOTIFY && lParam && reinterpret_cast<LPNMHDR>(lParam)->idFrom == (id) &&              \
        reinterpret_cast<LPNMHDR>(lParam)->code == (cd)) {                                               \
        bHandled = TRUE;                                                                                 \
        lResult = func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled);          \
        if (bHandled) return TRUE;                                                                       \
    }
#define NOTIFY_CODE_HANDLER(cd, func)                                                                    \
    if (uMsg == WM_NOTIFY && lParam && reinterpret_cast<LPNMHDR>(lParam)->code == (cd)) {                \
        bHandled = TRUE;                                                                                 \
        lResult = func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled);          \
        if (bHandled) return TRUE;                                                                       \
    }

// A modal dialog object. Derive, list handlers in a message map and override OnInitDialog. The
// object sees the dialog's messages from its font (WM_SETFONT) on; m_hWnd is null again once the
// window is gone.
class CKitDialog : public CWindowImplRoot {
public:
    explicit CKitDialog(const KitTemplate& tpl) : m_template(BuildDialogTemplate(tpl)) {}

    // Runs the dialog until EndDialog: its result; -1 when it could not be made.
    INT_PTR DoModal(HWND owner = nullptr, HINSTANCE instance = nullptr) {
        if (m_hWnd) return -1;
        Creating() = this;
        INT_PTR result = ::DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(m_template.data()),
                                                   owner, DialogProc, reinterpret_cast<LPARAM>(this));
        Creating() = nullptr;
        return result;
    }
    BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }

    // WM_INITDIALOG when the message map leaves it: TRUE gives the focus to the first tab stop.
    virtual BOOL OnInitDialog() { return TRUE; }
    // IDOK (RETURN) and IDCANCEL (ESCAPE, closing) when the message map leaves them: the dialog ends.
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    BOOL SetDlgItemText(int id, LPCWSTR text) { return ::SetDlgItemTextW(m_hWnd, id, text); }
    UINT GetDlgItemText(int id, LPWSTR text, int count) const { return ::GetDlgItemTextW(m_hWnd, id, text, count); }
    std::u16string GetDlgItemText(int id) const {
        HWND ctl = GetDlgItem(id);
        std::u16string text(static_cast<size_t>(ctl ? ::GetWindowTextLengthW(ctl) : 0) + 1, u'\0');
        text.resize(::GetDlgItemTextW(m_hWnd, id, text.data(), static_cast<int>(text.size())));
        return text;
    }
    BOOL CheckRadioButton(int first, int last, int check) { return ::CheckRadioButton(m_hWnd, first, last, check); }
    UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
    BOOL EnableDlgItem(int id, BOOL enable = TRUE) { return ::EnableWindow(GetDlgItem(id), enable); }
    LRESULT SendDlgItemMessage(int id, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendDlgItemMessageW(m_hWnd, id, msg, wParam, lParam);
    }
    int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK) {
        return ::MessageBoxW(m_hWnd, text, caption, type);
    }

private:
    static CKitDialog*& Creating() {
        static thread_local CKitDialog* creating = nullptr;
        return creating;
    }
    static bool DirectAnswer(UINT msg) {
        return msg == WM_INITDIALOG || (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC);
    }
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CKitDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!self) {
            self = Creating();
            if (!self) return FALSE;
            Creating() = nullptr;
            self->m_hWnd = hwnd;
            ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        }
        LRESULT result = 0;
        BOOL handled = self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
        if (msg == WM_INITDIALOG && !handled) {
            result = self->OnInitDialog();
            handled = TRUE;
        }
        if (msg == WM_COMMAND && !handled && HIWORD(wParam) == BN_CLICKED &&
            (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            if (LOWORD(wParam) == IDOK)
                self->OnOK();
            else
                self->OnCancel();
            handled = TRUE;
        }
        if (msg == WM_NCDESTROY) {
            ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            self->m_hWnd = nullptr;
            self->OnFinalMessage(hwnd);
            return FALSE;
        }
        if (!handled) return FALSE;
        if (DirectAnswer(msg)) return static_cast<INT_PTR>(result);
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }

    std::vector<WORD> m_template;
};

// The application object: one per program. Run registers the common controls, calls InitInstance,
// and runs a message loop only when InitInstance answered TRUE; the result is ExitInstance's.
class CKitApp {
public:
    CKitApp() { Current() = this; }
    virtual ~CKitApp() {
        if (Current() == this) Current() = nullptr;
    }
    CKitApp(const CKitApp&) = delete;
    CKitApp& operator=(const CKitApp&) = delete;

    virtual BOOL InitInstance() = 0;
    virtual int ExitInstance() { return m_exitCode; }

    int Run(HINSTANCE instance, LPWSTR commandLine) {
        m_hInstance = instance;
        m_lpCmdLine = commandLine;
        ::InitCommonControls();
        if (!InitInstance()) return ExitInstance();
        MSG m{};
        while (::GetMessageW(&m, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&m);
            ::DispatchMessageW(&m);
        }
        m_exitCode = static_cast<int>(m.wParam);
        return ExitInstance();
    }
    static CKitApp*& Current() {
        static CKitApp* app = nullptr;
        return app;
    }

    HINSTANCE m_hInstance = nullptr;
    LPWSTR m_lpCmdLine = nullptr;
    int m_exitCode = 0;
};

// The WinMain of a program made of one application object.
#define KIT_APP_MAIN(theApp)                                                        \
    int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {    \
        return (theApp).Run(hInstance, lpCmdLine);                                  \
    }
