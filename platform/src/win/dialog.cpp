// The dialog manager: dialogs from in-memory templates (modal and modeless), their controls of any
// registered class, dialog units from the template's font, the default dialog procedure, keyboard
// navigation and the dialog item helpers. A dialog is a popup of the manager's class; its procedure
// gets the messages from its font on, and what it leaves unhandled goes to DefDlgProcW.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "qrx/dialog.h"
#include "qrx/wstr.h"
#include "win/win.h"

namespace qrx::win {
namespace {

const WCHAR kDialogClass[] = u"QrxDialog";
constexpr size_t kMaxTemplateText = 256;
constexpr int kPointsPerInch = 72;
constexpr int kPixelsPerInch = 96;

struct Dialog {
    INT_PTR result = 0;
    volatile bool ended = false;
    bool started = false;  // the procedure sees the messages from then on
    HFONT font = nullptr;  // the template's, owned; null: the system font
    SIZE base{8, 16};      // base units in pixels
    HWND focus = nullptr;  // the control that had the focus last
    WORD defId = 0;        // the default push button, 0 for none
    bool failed = false;   // a control could not be made
    ~Dialog() {
        if (font) DeleteObject(font);
    }
};

struct DialogTable {
    std::mutex lock;
    std::unordered_map<HWND, std::shared_ptr<Dialog>> byWindow;
};

DialogTable& Dialogs() {
    static auto* table = new DialogTable;
    return *table;
}

// The dialog being made on this thread, bound to its window at the window's first message.
thread_local std::shared_ptr<Dialog> t_creating;

std::shared_ptr<Dialog> DialogOf(HWND hwnd) {
    DialogTable& t = Dialogs();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byWindow.find(hwnd);
    if (it != t.byWindow.end()) return it->second;
    if (!t_creating) return nullptr;
    auto d = std::move(t_creating);
    t_creating = nullptr;
    t.byWindow[hwnd] = d;
    return d;
}

std::shared_ptr<Dialog> FindDialog(HWND hwnd) {
    DialogTable& t = Dialogs();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byWindow.find(hwnd);
    return it == t.byWindow.end() ? nullptr : it->second;
}

void Forget(HWND hwnd) {
    DialogTable& t = Dialogs();
    std::lock_guard<std::mutex> g(t.lock);
    t.byWindow.erase(hwnd);
}

// The extra bytes of a dialog, read and written without touching the caller's last error.
LONG_PTR ExtraOf(HWND hwnd, int index) {
    TreeLock g(T().lock);
    Window* w = Find(hwnd);
    LONG_PTR v = 0;
    if (w && static_cast<size_t>(index) + sizeof v <= w->extra.size()) std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
}

void SetExtra(HWND hwnd, int index, LONG_PTR v) {
    TreeLock g(T().lock);
    Window* w = Find(hwnd);
    if (w && static_cast<size_t>(index) + sizeof v <= w->extra.size()) std::memcpy(w->extra.data() + index, &v, sizeof v);
}

// Answers the procedure gives directly rather than through DWLP_MSGRESULT.
bool DirectAnswer(UINT msg) {
    return (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) || msg == WM_INITDIALOG;
}

// A child the focus can go to: visible and enabled.
bool Focusable(HWND dlg, HWND ctl) {
    return ctl && IsChild(dlg, ctl) && IsWindowVisible(ctl) && IsWindowEnabled(ctl);
}

// Gives the focus back to the control that had it, else to the first tab stop; false when there
// is none.
bool RestoreFocus(HWND dlg, Dialog* d) {
    HWND target = d && Focusable(dlg, d->focus) ? d->focus : GetNextDlgTabItem(dlg, nullptr, FALSE);
    if (!target || !Focusable(dlg, target)) return false;
    SetFocus(target);
    return true;
}

LRESULT CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto d = DialogOf(hwnd);
    DLGPROC proc = d && d->started ? reinterpret_cast<DLGPROC>(ExtraOf(hwnd, DWLP_DLGPROC)) : nullptr;
    if (d) {
        // Remembered here, so that activation brings the focus back to where it was.
        HWND focus = GetFocus();
        if (focus && focus != hwnd && IsChild(hwnd, focus)) d->focus = focus;
    }
    if (proc) {
        if (msg == WM_ERASEBKGND) {
            auto brush = reinterpret_cast<HBRUSH>(proc(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd)));
            if (!brush) brush = GetSysColorBrush(COLOR_BTNFACE);
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
            return 1;
        }
        // Nested messages keep the answer of the outer one.
        LONG_PTR saved = ExtraOf(hwnd, DWLP_MSGRESULT);
        SetExtra(hwnd, DWLP_MSGRESULT, 0);
        INT_PTR handled = proc(hwnd, msg, wParam, lParam);
        LONG_PTR answer = ExtraOf(hwnd, DWLP_MSGRESULT);
        SetExtra(hwnd, DWLP_MSGRESULT, saved);
        if (DirectAnswer(msg)) return handled;
        if (handled && msg != WM_DESTROY && msg != WM_NCDESTROY) return answer;
    }
    if (d && msg == WM_DESTROY) d->ended = true;  // destroyed without EndDialog: the modal loop ends all the same
    if (d && msg == WM_NCDESTROY) {
        d->ended = true;
        Forget(hwnd);
    }
    return DefDlgProcW(hwnd, msg, wParam, lParam);
}

bool RegisterDialogClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.style = CS_GLOBALCLASS;
        wc.lpfnWndProc = DialogProc;
        wc.cbWndExtra = DLGWINDOWEXTRA;
        wc.lpszClassName = kDialogClass;
        ok = RegisterClassW(&wc) != 0;
    });
    return ok;
}

// Walks a template. Items start on DWORD boundaries counted from the template's start.
class TemplateReader {
public:
    explicit TemplateReader(const void* start) : m_start(static_cast<const BYTE*>(start)), m_p(m_start) {}
    template <class T>
    T Read() {
        T v;
        std::memcpy(&v, m_p, sizeof v);
        m_p += sizeof v;
        return v;
    }
    void AlignDword() {
        size_t off = static_cast<size_t>(m_p - m_start);
        m_p += (4 - off % 4) % 4;
    }
    void Skip(size_t n) { m_p += n; }
    const BYTE* Here() const { return m_p; }
    // A zero-ended string whose first character is already read; false when it runs too long.
    bool ReadString(WORD first, std::u16string& out) {
        out.assign(1, static_cast<char16_t>(first));
        for (;;) {
            WORD c = Read<WORD>();
            if (c == 0) return true;
            if (out.size() >= kMaxTemplateText) return false;
            out.push_back(static_cast<char16_t>(c));
        }
    }
    // A name field: none, an ordinal, or a string.
    bool ReadName(bool& present, WORD& ordinal, std::u16string& text) {
        WORD first = Read<WORD>();
        present = first != 0;
        ordinal = 0;
        text.clear();
        if (first == 0) return true;
        if (first == 0xFFFF) {
            ordinal = Read<WORD>();
            return true;
        }
        return ReadString(first, text);
    }

private:
    const BYTE* m_start;
    const BYTE* m_p;
};

struct Item {
    DLGITEMTEMPLATE head{};
    std::u16string cls;
    std::u16string title;
    const void* data = nullptr;
};

struct ParsedTemplate {
    DLGTEMPLATE head{};
    std::u16string title;
    bool hasFont = false;
    WORD pointSize = 0;
    std::u16string face;
    std::vector<Item> items;
};

const char16_t* PredefinedClass(WORD atom) {
    switch (atom) {
        case 0x0080: return u"BUTTON";
        case 0x0081: return u"EDIT";
        case 0x0082: return u"STATIC";
        case 0x0083: return u"LISTBOX";
        case 0x0084: return u"SCROLLBAR";
        case 0x0085: return u"COMBOBOX";
        default: return nullptr;
    }
}

// ERROR_* code of a template that cannot be read, else 0.
DWORD Parse(LPCDLGTEMPLATEW tpl, ParsedTemplate& out) {
    TemplateReader r(tpl);
    // The extended form starts with a version 1 and 0xFFFF; only the plain form is read.
    WORD version = r.Read<WORD>(), signature = r.Read<WORD>();
    if (version == 1 && signature == 0xFFFF) return ERROR_CALL_NOT_IMPLEMENTED;
    r = TemplateReader(tpl);
    out.head = r.Read<DLGTEMPLATE>();
    bool present = false;
    WORD ordinal = 0;
    std::u16string text;
    if (!r.ReadName(present, ordinal, text)) return ERROR_INVALID_PARAMETER;
    if (present) return ERROR_CALL_NOT_IMPLEMENTED;  // menus
    if (!r.ReadName(present, ordinal, text)) return ERROR_INVALID_PARAMETER;
    if (present) return ERROR_CALL_NOT_IMPLEMENTED;  // dialog classes of their own
    if (!r.ReadName(present, ordinal, out.title)) return ERROR_INVALID_PARAMETER;
    if (out.head.style & DS_SETFONT) {
        out.hasFont = true;
        out.pointSize = r.Read<WORD>();
        WORD first = r.Read<WORD>();
        if (first && !r.ReadString(first, out.face)) return ERROR_INVALID_PARAMETER;
    }
    out.items.resize(out.head.cdit);
    for (Item& item : out.items) {
        r.AlignDword();
        item.head = r.Read<DLGITEMTEMPLATE>();
        if (!r.ReadName(present, ordinal, item.cls)) return ERROR_INVALID_PARAMETER;
        if (ordinal) {
            const char16_t* name = PredefinedClass(ordinal);
            if (!name) return ERROR_CANNOT_FIND_WND_CLASS;
            item.cls = name;
        }
        if (!present) return ERROR_CANNOT_FIND_WND_CLASS;
        if (!r.ReadName(present, ordinal, item.title)) return ERROR_INVALID_PARAMETER;
        const BYTE* data = r.Here();
        WORD size = r.Read<WORD>();
        if (size) {
            item.data = data;
            r.Skip(size > 2 ? size - 2u : 0u);
        }
    }
    return 0;
}

// Base units of a font: its average character width and its height.
SIZE BaseUnitsOf(HFONT font) {
    SIZE base{8, 16};
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return base;
    HGDIOBJ old = SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
    TEXTMETRICW tm{};
    if (GetTextMetricsW(dc, &tm) && tm.tmHeight > 0 && tm.tmAveCharWidth > 0) {
        base.cx = tm.tmAveCharWidth;
        base.cy = tm.tmHeight;
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    return base;
}

LONG ScaleUnits(long long v, LONG base, int per) { return ClampCoord(v * base / per); }

RECT ToPixels(const SIZE& base, short x, short y, short cx, short cy) {
    LONG left = ScaleUnits(x, base.cx, 4), top = ScaleUnits(y, base.cy, 8);
    return RECT{left, top, left + ScaleUnits(std::max<short>(cx, 0), base.cx, 4),
                top + ScaleUnits(std::max<short>(cy, 0), base.cy, 8)};
}

bool IsPushButton(const Item& item, DWORD type) {
    return FoldCase(item.cls) == u"button" && (item.head.style & BS_TYPEMASK) == type;
}

// Makes the dialog, its controls and sends WM_INITDIALOG; null when it could not be made.
HWND CreateFromTemplate(HINSTANCE instance, LPCDLGTEMPLATEW tpl, HWND parent, DLGPROC proc, LPARAM param,
                        const std::shared_ptr<Dialog>& dialog) {
    if (!tpl) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ParsedTemplate t;
    if (DWORD error = Parse(tpl, t)) {
        SetError(error);
        return nullptr;
    }
    if (!RegisterDialogClass()) return nullptr;
    if (t.hasFont) {
        LOGFONTW lf{};
        lf.lfHeight = -static_cast<LONG>((t.pointSize * kPixelsPerInch + kPointsPerInch / 2) / kPointsPerInch);
        lf.lfWeight = FW_NORMAL;
        size_t n = std::min<size_t>(t.face.size(), LF_FACESIZE - 1);
        std::copy_n(t.face.data(), n, lf.lfFaceName);
        dialog->font = CreateFontIndirectW(&lf);
    }
    dialog->base = BaseUnitsOf(dialog->font);

    RECT area{0, 0, qrx::gdi::kScreenWidth, qrx::gdi::kScreenHeight};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT r = ToPixels(dialog->base, t.head.x, t.head.y, t.head.cx, t.head.cy);
    LONG width = r.right - r.left, height = r.bottom - r.top;
    LONG x = r.left, y = r.top;
    RECT ownerRect{0, 0, 0, 0};
    if (!(t.head.style & DS_ABSALIGN) && parent && GetWindowRect(parent, &ownerRect)) {
        x += ownerRect.left;
        y += ownerRect.top;
    }
    if (t.head.style & DS_CENTER) {
        x = area.left + (area.right - area.left - width) / 2;
        y = area.top + (area.bottom - area.top - height) / 2;
    }
    // Kept on the screen: a dialog larger than the work area starts at its corner.
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));

    DWORD style = (t.head.style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
    t_creating = dialog;
    HWND dlg = CreateWindowExW(t.head.dwExtendedStyle, kDialogClass, t.title.c_str(), style, x, y, width, height,
                               parent, nullptr, instance, nullptr);
    t_creating = nullptr;
    if (!dlg) return nullptr;
    {
        // Bound here when creation sent the window no message of its own.
        DialogTable& table = Dialogs();
        std::lock_guard<std::mutex> g(table.lock);
        table.byWindow.emplace(dlg, dialog);
    }
    SetExtra(dlg, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    dialog->started = true;
    if (dialog->font) SendMessageW(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(dialog->font), FALSE);

    for (const Item& item : t.items) {
        RECT c = ToPixels(dialog->base, item.head.x, item.head.y, item.head.cx, item.head.cy);
        DWORD cstyle = (item.head.style & ~static_cast<DWORD>(WS_POPUP)) | WS_CHILD;
        HWND ctl = CreateWindowExW(item.head.dwExtendedStyle, item.cls.c_str(), item.title.c_str(), cstyle, c.left,
                                   c.top, c.right - c.left, c.bottom - c.top, dlg,
                                   reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.head.id)), instance,
                                   const_cast<void*>(item.data));
        if (!ctl) {
            if (t.head.style & DS_NOFAILCREATE) continue;
            DWORD error = GetLastError();
            dialog->failed = true;
            if (IsWindow(dlg)) DestroyWindow(dlg);
            SetError(error ? error : static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
            return nullptr;
        }
        if (dialog->font) SendMessageW(ctl, WM_SETFONT, reinterpret_cast<WPARAM>(dialog->font), FALSE);
        if (!dialog->defId && IsPushButton(item, BS_DEFPUSHBUTTON)) dialog->defId = item.head.id;
    }
    if (!IsWindow(dlg)) return nullptr;

    HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
    if (SendMessageW(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param) && Focusable(dlg, first))
        SetFocus(first);
    return IsWindow(dlg) ? dlg : nullptr;
}

// The next or previous child after `from` in z-order, going round; the first one for null.
HWND Around(HWND dlg, HWND from, bool previous) {
    HWND first = GetWindow(dlg, GW_CHILD);
    if (!first) return nullptr;
    if (!from || GetParent(from) != dlg) return previous ? GetWindow(first, GW_HWNDLAST) : first;
    HWND next = GetWindow(from, previous ? GW_HWNDPREV : GW_HWNDNEXT);
    if (next) return next;
    return previous ? GetWindow(first, GW_HWNDLAST) : first;
}

bool Usable(HWND h) { return IsWindowVisible(h) && IsWindowEnabled(h); }

LONG Style(HWND h) { return GetWindowLongW(h, GWL_STYLE); }

// Sends a click notice of control id as a push button would.
void Command(HWND dlg, int id) {
    HWND ctl = GetDlgItem(dlg, id);
    if (ctl && !IsWindowEnabled(ctl)) return;
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(ctl));
}

}  // namespace
}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto d = FindDialog(hDlg);
    switch (Msg) {
        case WM_CLOSE:
            // Closing a dialog is its cancel command; it ends only through EndDialog.
            PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return 0;
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(hDlg, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_GETFONT:
            return d ? reinterpret_cast<LRESULT>(d->font) : 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE && !RestoreFocus(hDlg, d.get())) SetFocus(hDlg);
            return 0;
        case WM_SETFOCUS:
            RestoreFocus(hDlg, d.get());
            return 0;
        case WM_NEXTDLGCTL: {
            HWND target = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                                         : GetNextDlgTabItem(hDlg, GetFocus(), wParam != 0);
            if (target && Focusable(hDlg, target)) {
                if (d) d->focus = target;
                SetFocus(target);
            }
            return 0;
        }
        case DM_GETDEFID:
            return d && d->defId ? MAKELONG(d->defId, DC_HASDEFID) : 0;
        case DM_SETDEFID:
            if (d) d->defId = static_cast<WORD>(wParam);
            return TRUE;
        default:
            return DefWindowProcW(hDlg, Msg, wParam, lParam);
    }
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    auto d = FindDialog(hDlg);
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

HWND CreateDialogIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    auto dialog = std::make_shared<Dialog>();
    HWND dlg = CreateFromTemplate(hInstance, lpTemplate, hWndParent, lpDialogFunc, dwInitParam, dialog);
    if (dlg && (lpTemplate->style & WS_VISIBLE)) ShowWindow(dlg, SW_SHOW);
    return dlg;
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    auto dialog = std::make_shared<Dialog>();
    HWND dlg = CreateFromTemplate(hInstance, hDialogTemplate, hWndParent, lpDialogFunc, dwInitParam, dialog);
    // Destroyed by its own procedure while starting: it ran and ended.
    if (!dlg) return dialog->started && !dialog->failed ? dialog->result : -1;
    HWND owner = GetWindow(dlg, GW_OWNER);
    // A modal dialog is shown whatever its template's style says.
    if (!dialog->ended && IsWindow(dlg)) {
        ShowWindow(dlg, SW_SHOW);
        UpdateWindow(dlg);
    }
    qrx::RunModalLoop(owner, &dialog->ended, dlg);
    if (IsWindow(dlg) && FindDialog(dlg) == dialog) DestroyWindow(dlg);
    if (owner && IsWindow(owner) && IsWindowVisible(owner)) SetActiveWindow(owner);
    return dialog->result;
}

BOOL IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
    if (!hDlg || !lpMsg || !lpMsg->hwnd) return FALSE;
    HWND h = lpMsg->hwnd;
    if (h != hDlg && !IsChild(hDlg, h)) return FALSE;
    if (lpMsg->message == WM_KEYDOWN &&
        (lpMsg->wParam == VK_TAB || lpMsg->wParam == VK_RETURN || lpMsg->wParam == VK_ESCAPE)) {
        LRESULT code = h != hDlg ? SendMessageW(h, WM_GETDLGCODE, lpMsg->wParam, reinterpret_cast<LPARAM>(lpMsg)) : 0;
        if (!(code & DLGC_WANTALLKEYS)) {
            switch (lpMsg->wParam) {
                case VK_TAB:
                    if (code & DLGC_WANTTAB) break;
                    SendMessageW(hDlg, WM_NEXTDLGCTL, 0, 0);
                    return TRUE;
                case VK_RETURN: {
                    int id = IDOK;
                    if (code & DLGC_DEFPUSHBUTTON || code & DLGC_UNDEFPUSHBUTTON) {
                        id = GetDlgCtrlID(h);
                    } else {
                        LRESULT def = SendMessageW(hDlg, DM_GETDEFID, 0, 0);
                        if (HIWORD(def) == DC_HASDEFID) id = LOWORD(def);
                    }
                    Command(hDlg, id);
                    return TRUE;
                }
                default:
                    Command(hDlg, IDCANCEL);
                    return TRUE;
            }
        }
    }
    TranslateMessage(lpMsg);
    DispatchMessageW(lpMsg);
    return TRUE;
}

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect) {
    auto d = FindDialog(hDlg);
    if (!d || !lpRect) {
        SetError(d ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto scale = [](LONG v, LONG base, int per) { return ScaleUnits(v, base, per); };
    *lpRect = RECT{scale(lpRect->left, d->base.cx, 4), scale(lpRect->top, d->base.cy, 8),
                   scale(lpRect->right, d->base.cx, 4), scale(lpRect->bottom, d->base.cy, 8)};
    return TRUE;
}

LONG GetDialogBaseUnits(void) {
    static const SIZE base = BaseUnitsOf(nullptr);
    return MAKELONG(base.cx, base.cy);
}

HWND GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    if (!IsWindow(hDlg)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HWND start = hCtl && GetParent(hCtl) == hDlg ? hCtl : nullptr;
    HWND h = Around(hDlg, start, bPrevious != FALSE);
    for (HWND first = h; h;) {
        if (h != start && (Style(h) & WS_TABSTOP) && Usable(h)) return h;
        h = Around(hDlg, h, bPrevious != FALSE);
        if (h == first) break;
    }
    return start;
}

HWND GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    if (!IsWindow(hDlg) || !hCtl || GetParent(hCtl) != hDlg) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // The group: from its WS_GROUP control up to the next one.
    HWND head = hCtl;
    while (!(Style(head) & WS_GROUP)) {
        HWND prev = GetWindow(head, GW_HWNDPREV);
        if (!prev) break;
        head = prev;
    }
    std::vector<HWND> group{head};
    for (HWND h = GetWindow(head, GW_HWNDNEXT); h && !(Style(h) & WS_GROUP); h = GetWindow(h, GW_HWNDNEXT))
        group.push_back(h);
    auto at = std::find(group.begin(), group.end(), hCtl);
    size_t n = group.size(), i = static_cast<size_t>(at - group.begin());
    for (size_t step = 1; step < n; ++step) {
        HWND h = group[bPrevious ? (i + n - step) % n : (i + step) % n];
        if (Usable(h)) return h;
    }
    return hCtl;
}

LRESULT SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND ctl = GetDlgItem(hDlg, nIDDlgItem);
    return ctl ? SendMessageW(ctl, Msg, wParam, lParam) : 0;
}

BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    HWND ctl = GetDlgItem(hDlg, nIDDlgItem);
    return ctl ? SetWindowTextW(ctl, lpString) : FALSE;
}

UINT GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
    if (lpString && cchMax > 0) lpString[0] = 0;
    HWND ctl = GetDlgItem(hDlg, nIDDlgItem);
    return ctl ? static_cast<UINT>(GetWindowTextW(ctl, lpString, cchMax)) : 0;
}

BOOL SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
    WCHAR text[16];
    if (bSigned)
        swprintf(text, 16, u"%d", static_cast<int>(uValue));
    else
        swprintf(text, 16, u"%u", uValue);
    return SetDlgItemTextW(hDlg, nIDDlgItem, text);
}

UINT GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
    if (lpTranslated) *lpTranslated = FALSE;
    WCHAR text[32];
    if (!GetDlgItemTextW(hDlg, nIDDlgItem, text, 32) && !text[0]) return 0;
    const WCHAR* p = text;
    while (*p == u' ') ++p;
    bool negative = bSigned && *p == u'-';
    if (negative || *p == u'+') ++p;
    if (*p < u'0' || *p > u'9') return 0;
    unsigned long long v = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        v = v * 10 + static_cast<unsigned>(*p - u'0');
        if (v > (bSigned ? 0x80000000ull : 0xFFFFFFFFull)) return 0;  // out of range: not translated
    }
    while (*p == u' ') ++p;
    if (*p) return 0;
    if (bSigned && !negative && v > 0x7FFFFFFFull) return 0;
    if (lpTranslated) *lpTranslated = TRUE;
    return negative ? static_cast<UINT>(-static_cast<long long>(v)) : static_cast<UINT>(v);
}

BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    HWND ctl = GetDlgItem(hDlg, nIDButton);
    if (!ctl) return FALSE;
    SendMessageW(ctl, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    if (!IsWindow(hDlg) || nIDFirstButton > nIDLastButton) {
        SetError(IsWindow(hDlg) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    for (int id = nIDFirstButton; id <= nIDLastButton; ++id) {
        HWND ctl = GetDlgItem(hDlg, id);
        if (ctl) SendMessageW(ctl, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    HWND ctl = GetDlgItem(hDlg, nIDButton);
    return ctl ? static_cast<UINT>(SendMessageW(ctl, BM_GETCHECK, 0, 0)) : 0;
}
