#include "ui/ShellManager.h"

#include <algorithm>
#include <new>

#include "ui/CtrlFactory.h"
#include "ui/FileUtil.h"
#include "ui/LayoutScript.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace {

constexpr DWORD kWatchPollMs = 500;
constexpr DWORD kWatchTimeMs = 1500;
// Key bindings are read up to the first missing number; the bound only stops a runaway script.
constexpr int kMaxKeyBindings = 1000;
// Rectangles of one "rgn" value.
constexpr int kMaxRegionRects = 256;
// sndPlaySoundW flags: SND_FILENAME | SND_NOSTOP | SND_ASYNC.
constexpr UINT kSoundFlags = 0x20011;
// Control timer ids start above every timer number the host windows use themselves.
constexpr UINT_PTR kFirstTimerId = 0x10000;
constexpr UINT_PTR kLastTimerId = 0x7FFFFFFF;

bool IsEmpty(const WCHAR* s) { return s == nullptr || s[0] == 0; }

bool SameText(const WCHAR* a, const WCHAR* b) {
    for (size_t i = 0;; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
}

BOOL PlaySoundFile(const WCHAR* path, UINT flags) { return sndPlaySoundW(path, flags); }

// "l,t,r,b" into a rectangle; false when a field is missing.
bool ParseRect(const WCHAR* begin, const WCHAR* end, RECT* rc) {
    LONG v[4] = {0, 0, 0, 0};
    int n = 0;
    const WCHAR* p = begin;
    while (n < 4) {
        WCHAR field[32];
        size_t len = 0;
        while (p < end && *p != u',') {
            if (len + 1 < sizeof field / sizeof field[0]) field[len++] = *p;
            ++p;
        }
        field[len] = 0;
        v[n++] = StrToLong(field);
        if (p >= end) break;
        ++p;  // the ","
    }
    if (n < 4) return false;
    *rc = RECT{v[0], v[1], v[2], v[3]};
    return true;
}

}  // namespace

CShellManager::CShellManager()
    : m_hBackBitmap(nullptr),
      m_hBackDC(nullptr),
      m_hOldBackBitmap(nullptr),
      m_backSize{0, 0},
      m_windowlessRoots(TRUE),
      m_launchBusy(false),
      m_watchStop(false),
      m_hWatchThread(nullptr),
      m_watchProcessId(0),
      m_layoutFile{},
      m_hNotifyWnd(nullptr),
      m_notifyName{} {}

CShellManager::~CShellManager() {
    m_watchStop.store(true);
    JoinWatcher();
    for (;;) {
        const int closed = CloseShell(-1);
        if (closed == 0 || closed == -1) break;
    }
    // Pages that were never shown belong to no shown group; they are still ours to free.
    while (!m_panels.empty()) RemoveAndDelete(static_cast<int>(m_panels.size()) - 1);
    if (m_hBackDC != nullptr) {
        if (m_hOldBackBitmap != nullptr) SelectObject(m_hBackDC, m_hOldBackBitmap);
        DeleteDC(m_hBackDC);
    }
    if (m_hBackBitmap != nullptr) DeleteObject(m_hBackBitmap);
}

CShellManager& CShellManager::Instance() {
    static CShellManager manager;
    return manager;
}

UINT_PTR CShellManager::AllocTimerId() {
    static std::atomic<UINT_PTR> count{0};
    return kFirstTimerId + count.fetch_add(1) % (kLastTimerId - kFirstTimerId + 1);
}

int CShellManager::IndexOf(const CShellPanel* panel) const {
    for (size_t i = 0; i < m_panels.size(); ++i) {
        if (m_panels[i] == panel) return static_cast<int>(i);
    }
    return -1;
}

CShellPanel* CShellManager::GetShellAt(int i) const {
    return (i >= 0 && i < static_cast<int>(m_panels.size())) ? m_panels[static_cast<size_t>(i)] : nullptr;
}

void CShellManager::RemoveAndDelete(int index) {
    if (index < 0 || index >= static_cast<int>(m_panels.size())) return;
    CShellPanel* panel = m_panels[static_cast<size_t>(index)];
    m_panels.erase(m_panels.begin() + index);
    delete panel;
}

CShellPanel* CShellManager::FindShell(int shell) const {
    if (shell < 0) return m_panels.empty() ? nullptr : m_panels.back();
    for (CShellPanel* p : m_panels) {
        if (p->GetShell() == shell) return p;
    }
    return nullptr;
}

CUiCtrl* CShellManager::GetShellCtrl(int shell, int i) const {
    CShellPanel* p = FindShell(shell);
    return p != nullptr ? p->GetCtrl(i) : nullptr;
}

BOOL CShellManager::IsBlockedByModal(const CShellPanel* panel) const {
    if (m_panels.empty()) return FALSE;
    const CShellPanel* top = m_panels.back();
    return (top != panel && (top->GetStyle() & SHELL_STYLE_MODAL)) ? TRUE : FALSE;
}

int CShellManager::GetOwnerShell(const CShellPanel* newPanel) const {
    const bool child = newPanel != nullptr && (newPanel->GetStyle() & SHELL_STYLE_CHILD);
    for (size_t i = m_panels.size(); i-- > 0;) {
        const CShellPanel* p = m_panels[i];
        if (p->IsShown()) return p->GetOwner();
        if (child) return p->GetShell();
    }
    return -1;
}

void CShellManager::ApplyRegion(CShellPanel* panel, const WCHAR* value) {
    HRGN region = nullptr;
    const WCHAR* p = value;
    for (int n = 0; n < kMaxRegionRects && p != nullptr && *p != 0; ++n) {
        const WCHAR* bar = p;
        while (*bar != 0 && *bar != u'|') ++bar;
        if (*bar == 0) break;  // text after the last "|" is not a rectangle
        RECT rc;
        if (ParseRect(p, bar, &rc)) {
            HRGN part = CreateRectRgn(rc.left, rc.top, rc.right, rc.bottom);
            if (region == nullptr) {
                region = part;
            } else if (part != nullptr) {
                CombineRgn(region, region, part, RGN_OR);
                DeleteObject(part);
            }
        }
        p = bar + 1;
    }
    HWND wnd = panel->GetHwnd();
    if (region != nullptr) {
        if (::IsWindow(wnd)) {
            SetWindowRgn(wnd, region, FALSE);
        } else {
            DeleteObject(region);
        }
    } else if (panel->GetOwnWnd() == nullptr && ::IsWindow(wnd)) {
        // A page drawn in the host must not inherit the region of the root page before it.
        SetWindowRgn(wnd, nullptr, FALSE);
    }
}

CShellPanel* CShellManager::OpenShell(HWND host, int shell, const WCHAR* layoutFile, BOOL show) {
    if (shell >= 0 && FindShell(shell) != nullptr) return ActivateShell(shell);

    if (IsEmpty(layoutFile)) {
        m_layoutFile[0] = 0;
    } else if (layoutFile != m_layoutFile) {
        size_t len = 0;
        while (layoutFile[len] != 0 && len < MAX_PATH) ++len;
        if (len >= MAX_PATH) return nullptr;
        for (size_t i = 0; i <= len; ++i) m_layoutFile[i] = layoutFile[i];
    }
    WCHAR path[MAX_PATH];
    for (size_t i = 0; i < MAX_PATH; ++i) {
        path[i] = m_layoutFile[i];
        if (path[i] == 0) break;
    }
    CLayoutScript script;
    if (script.Open(path, FALSE) != 0) return nullptr;

    // The number of the main page is resolved here, so a main page without images still opens under
    // its own number.
    LONG x = -1, y = -1, w = -1, h = -1, direction = 0;
    DWORD style = 0;
    const int resolved = script.ReadPanel(shell, &x, &y, &w, &h, &style, &direction);
    if (resolved < 0) return nullptr;

    WCHAR images[4][MAX_PATH] = {};
    WCHAR shimage[MAX_PATH] = {};
    LONG transparent = 0, key = 0;
    int page = script.ReadShellImage(resolved, images[0], images[1], images[2], images[3], shimage, &transparent, &key);
    if (page < 0) page = resolved;
    if (page != resolved) {
        if (FindShell(page) != nullptr) return ActivateShell(page);
        script.ReadPanel(page, &x, &y, &w, &h, &style, &direction);
    } else if (shell < 0 && FindShell(page) != nullptr) {
        return ActivateShell(page);
    }

    auto* panel = new (std::nothrow) CShellPanel(page, this);
    if (panel == nullptr) return nullptr;
    // The style goes in first so the owner search sees whether the page is a child window.
    panel->SetPanel(-1, x, y, w, h, style, direction);
    const BOOL parented = panel->SetPanel(GetOwnerShell(panel), x, y, w, h, style, direction);

    if (parented) {
        LONG kind = 0;
        WCHAR s1[MAX_PATH] = {}, s2[MAX_PATH] = {}, s3[MAX_PATH] = {};
        if (script.ReadCommandKey(page, -1, u"cmd", &kind, s1, s2, s3) >= 0) panel->SetCommand(kind, s1, s2, s3);
    }

    for (int n = 0; n < kMaxKeyBindings; ++n) {
        WCHAR name[16];
        swprintf(name, 16, u"key%d", n);
        LONG vkey = 0, scan = 0, when = 0, kind = 0;
        WCHAR s1[MAX_PATH] = {}, s2[MAX_PATH] = {}, s3[MAX_PATH] = {};
        if (script.ReadKeyBinding(page, name, &vkey, &scan, &when, &kind, s1, s2, s3) < 0) break;
        panel->AddKey(static_cast<DWORD>(vkey), static_cast<BYTE>(scan), when, kind, s1, s2, s3);
    }

    panel->SetImagesTransparent(transparent, static_cast<COLORREF>(key));
    panel->LoadImages(images[0], images[1], images[2], images[3]);
    if (shimage[0] != 0) panel->SetShImage(shimage);

    if (!panel->Create(host, show)) {
        delete panel;
        return nullptr;
    }

    WCHAR section[32];
    swprintf(section, 32, u"shell%d", page);
    WCHAR rgn[LAYOUT_VALUE_MAX] = {};
    script.ReadKey(section, u"rgn", rgn, LAYOUT_VALUE_MAX, FALSE, TRUE);
    ApplyRegion(panel, rgn);

    try {
        m_panels.push_back(panel);
    } catch (const std::bad_alloc&) {
        delete panel;
        return nullptr;
    }
    CreateControls(panel, &script);

    if (!show) return panel;
    if (panel->GetOwnWnd() == nullptr) panel->OnActivate(WA_ACTIVE, FALSE, nullptr);
    return ActivateShell(page);
}

CShellPanel* CShellManager::ActivateShell(int shell) {
    CShellPanel* target = FindShell(shell);
    if (target == nullptr) return nullptr;
    const int number = target->GetShell();
    // Hiding, showing and sliding run window handlers that may close pages, the target included.
    const std::weak_ptr<const int> life = target->GetLifeToken();
    for (;;) {
        if (life.expired()) return nullptr;
        const int at = IndexOf(target);
        if (at < 0) return nullptr;
        const std::vector<CShellPanel*> above(m_panels.begin() + at + 1, m_panels.end());
        CShellPanel* doomed = nullptr;
        for (size_t i = above.size(); i-- > 0;) {
            CShellPanel* p = above[i];
            if (IndexOf(p) < 0) continue;
            const DWORD style = p->GetStyle();
            if (!(style & SHELL_STYLE_TOPMOST)) {
                if (p->GetOwner() != number || (style & SHELL_STYLE_CLOSEONOWNER)) {
                    doomed = p;
                    break;
                }
            }
            if (style & SHELL_STYLE_HIDEONBELOW) p->Show(FALSE);
        }
        if (doomed == nullptr) break;
        RemoveAndDelete(IndexOf(doomed));
    }
    if (life.expired()) return nullptr;

    if (!target->IsParented()) {
        HWND wnd = target->GetHwnd();
        if (::IsWindow(wnd)) ::SetForegroundWindow(wnd);
        if (life.expired()) return nullptr;
        target->Show(TRUE);
    } else {
        target->SlideIn();
    }
    // A page closed while it came forward is not handed out.
    if (life.expired()) return nullptr;

    const int owner = target->GetOwner();
    const int at = IndexOf(target);
    const std::vector<CShellPanel*> below(m_panels.begin(), m_panels.begin() + std::max(at, 0));
    for (CShellPanel* p : below) {
        if (IndexOf(p) >= 0 && p->GetOwner() != owner) p->Show(FALSE);
    }
    return life.expired() ? nullptr : target;
}

int CShellManager::CloseShell(int shell) {
    int group;
    if (shell >= 0) {
        if (FindShell(shell) == nullptr) return 0;
        group = shell;
    } else {
        group = GetOwnerShell(nullptr);
        if (group < 0) return 0;
    }

    int count = 0;
    HWND lastCmd = nullptr;
    for (;;) {
        int found = -1;
        for (int i = static_cast<int>(m_panels.size()) - 1; i >= 0; --i) {
            const CShellPanel* p = m_panels[static_cast<size_t>(i)];
            // A page already sliding out for an outer close is left to it, so its command runs once.
            if (p->IsClosing()) continue;
            if (p->GetOwner() == group || (shell >= 0 && p->GetShell() == shell)) {
                found = i;
                break;
            }
        }
        if (found < 0) break;
        CShellPanel* p = m_panels[static_cast<size_t>(found)];
        // Read before the page goes: it is where the program's close is posted.
        lastCmd = p->GetCmdWnd();
        const std::weak_ptr<const int> life = p->GetLifeToken();
        if (p->GetOwner() != p->GetShell()) {
            p->SetClosing(TRUE);
            p->SlideClose();
            // The slide ran handlers that may have deleted the page already.
            if (!life.expired()) p->SetClosing(FALSE);
        }
        if (!life.expired()) RemoveAndDelete(IndexOf(p));
        ++count;
    }

    if (m_panels.empty()) {
        if (lastCmd != nullptr && ::IsWindow(lastCmd)) ::PostMessageW(lastCmd, WM_CLOSE, 0, 0);
        return -1;
    }
    return count;
}

void CShellManager::CloseAll() {
    while (!m_panels.empty()) {
        if (CloseShell(m_panels.back()->GetShell()) == 0) {
            // Nothing closed: free the rest at once rather than ask again forever.
            while (!m_panels.empty()) RemoveAndDelete(static_cast<int>(m_panels.size()) - 1);
        }
    }
}

std::vector<CShellManager::PanelRef> CShellManager::Snapshot() const {
    std::vector<PanelRef> refs;
    refs.reserve(m_panels.size());
    for (CShellPanel* p : m_panels) refs.push_back(PanelRef{p, p->GetLifeToken()});
    return refs;
}

void CShellManager::RaiseModalPanels() {
    for (const PanelRef& ref : Snapshot()) {
        if (ref.life.expired()) continue;
        CShellPanel* p = ref.panel;
        if (!(p->GetStyle() & SHELL_STYLE_MODAL)) continue;
        HWND wnd = p->GetHwnd();
        if (!::IsWindow(wnd)) continue;
        // This platform's handles are exact: the low bit that brings an owned window forward elsewhere
        // is not needed.
        ::SetForegroundWindow(wnd);
        ::ShowWindow(wnd, SW_SHOW);
    }
}

void CShellManager::PaintPanels(HWND hwnd) {
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(hwnd, &ps);
    if (dc == nullptr) {
        EndPaint(hwnd, &ps);
        return;
    }
    RECT wr{0, 0, 0, 0};
    ::GetWindowRect(hwnd, &wr);
    const SIZE size{wr.right - wr.left, wr.bottom - wr.top};
    // Root pages resize the host: the buffer follows the host's size.
    if (m_hBackDC != nullptr && (size.cx != m_backSize.cx || size.cy != m_backSize.cy)) {
        if (m_hOldBackBitmap != nullptr) SelectObject(m_hBackDC, m_hOldBackBitmap);
        DeleteDC(m_hBackDC);
        if (m_hBackBitmap != nullptr) DeleteObject(m_hBackBitmap);
        m_hBackDC = nullptr;
        m_hBackBitmap = nullptr;
        m_hOldBackBitmap = nullptr;
    }
    if (m_hBackDC == nullptr && size.cx > 0 && size.cy > 0) {
        m_hBackDC = CreateCompatibleDC(dc);
        m_hBackBitmap = m_hBackDC != nullptr ? CreateCompatibleBitmap(dc, size.cx, size.cy) : nullptr;
        if (m_hBackBitmap == nullptr) {
            if (m_hBackDC != nullptr) DeleteDC(m_hBackDC);
            m_hBackDC = nullptr;
        } else {
            m_hOldBackBitmap = SelectObject(m_hBackDC, m_hBackBitmap);
            m_backSize = size;
        }
    }
    // Only what was invalidated is drawn again: one control's repaint costs that control, not the page.
    const RECT& area = ps.rcPaint;
    if (m_hBackDC != nullptr && !IsRectEmpty(&area)) {
        for (size_t i = 0; i < m_panels.size(); ++i) {
            CShellPanel* p = m_panels[i];
            if (p->GetHwnd() == hwnd) p->DrawPanel(m_hBackDC, &area);
        }
        BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, m_hBackDC, area.left,
               area.top, SRCCOPY);
    }
    EndPaint(hwnd, &ps);
}

int CShellManager::RouteKey(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const std::vector<PanelRef> panels = Snapshot();
    for (size_t i = panels.size(); i-- > 0;) {
        if (panels[i].life.expired()) continue;
        CShellPanel* p = panels[i].panel;
        HWND wnd = p->GetHwnd();
        if (wnd != hwnd && ::GetParent(wnd) != hwnd) continue;
        if (!p->IsShown()) continue;
        if (p->OnKey(msg, static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)) > 0) return 1;
    }
    return 0;
}

int CShellManager::RoutePen(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const UINT pen = msg == WM_LBUTTONDBLCLK ? static_cast<UINT>(WM_LBUTTONDOWN) : msg;
    const std::vector<PanelRef> panels = Snapshot();
    for (size_t i = panels.size(); i-- > 0;) {
        if (panels[i].life.expired()) continue;
        CShellPanel* p = panels[i].panel;
        if (p->GetHwnd() != hwnd) continue;
        if (p->OnPen(pen, wParam, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)) > 0) return 1;
    }
    return 0;
}

LRESULT CShellManager::OnShellMessage(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    if (wParam != SHELL_NOTIFY_OPEN && wParam != SHELL_NOTIFY_CLOSE) return 0;
    const SHORT page = static_cast<SHORT>(LOWORD(lParam));
    if (page < 0) return 1;
    if (wParam == SHELL_NOTIFY_OPEN) {
        OpenShell(hwnd, page, m_layoutFile, TRUE);
    } else {
        CloseShell(page);
    }
    return 1;
}

LRESULT CShellManager::PreTranslate(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    handled = FALSE;
    switch (msg) {
        case WM_DESTROY:
            CloseAll();
            return 0;
        case WM_ACTIVATE:
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
        case WM_TIMER: {
            // Each page's handling may close pages, this one or the next.
            for (const PanelRef& ref : Snapshot()) {
                if (ref.life.expired()) continue;
                CShellPanel* p = ref.panel;
                if (p->GetHwnd() != hwnd) continue;
                if (msg == WM_ACTIVATE) {
                    p->OnActivate(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
                } else if (msg == WM_SETFOCUS) {
                    p->OnFocus(TRUE, nullptr);
                } else if (msg == WM_KILLFOCUS) {
                    p->OnFocus(FALSE, reinterpret_cast<HWND>(wParam));
                } else {
                    p->OnTimer(static_cast<UINT_PTR>(wParam), lParam);
                }
            }
            return 0;
        }
        case WM_PAINT:
            handled = TRUE;
            PaintPanels(hwnd);
            return 0;
        case WM_ERASEBKGND:
            handled = TRUE;
            return 1;
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYDOWN:
        case WM_SYSKEYUP:
            handled = RouteKey(hwnd, msg, wParam, lParam) ? TRUE : FALSE;
            return 0;
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            handled = TRUE;
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
            handled = RoutePen(hwnd, msg, wParam, lParam) ? TRUE : FALSE;
            return 0;
        case WM_SHELL_NOTIFY: {
            const LRESULT r = OnShellMessage(hwnd, wParam, lParam);
            handled = r != 0 ? TRUE : FALSE;
            return r;
        }
        default:
            return 0;
    }
}

void CShellManager::Notify(int kind, const WCHAR* name, LPARAM arg) {
    if (kind < 0 || IsEmpty(name)) return;
    if (kind > 0) {
        WCHAR path[MAX_PATH];
        if (ResolvePath(path, name) && FileExists(path)) PlaySoundFile(path, kSoundFlags);
        return;
    }
    // A cached window that has gone is looked up again, so a recreated window is found.
    if (m_hNotifyWnd == nullptr || !SameText(m_notifyName, name) || !::IsWindow(m_hNotifyWnd)) {
        size_t len = 0;
        while (name[len] != 0 && len < MAX_PATH) ++len;
        if (len >= MAX_PATH) return;
        m_hNotifyWnd = ::FindWindowW(name, nullptr);
        for (size_t i = 0; i <= len; ++i) m_notifyName[i] = name[i];
    }
    if (::IsWindow(m_hNotifyWnd)) ::PostMessageW(m_hNotifyWnd, WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK, arg);
}

int CShellManager::LaunchProgram(const WCHAR* path, const WCHAR* args) {
    if (IsEmpty(path) || m_launchBusy.load()) return 0;
    WCHAR image[MAX_PATH];
    if (!ResolvePath(image, path)) return 0;
    // The command line is handed over writable, as the platform call asks.
    std::vector<WCHAR> cmdLine;
    if (args != nullptr) {
        size_t len = 0;
        while (args[len] != 0) ++len;
        cmdLine.assign(args, args + len + 1);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(image, args != nullptr ? cmdLine.data() : nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi)) {
        return 0;
    }
    if (pi.hThread != nullptr) CloseHandle(pi.hThread);
    if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
    StartLaunchWatch(pi.dwProcessId);
    return 1;
}

void CShellManager::JoinWatcher() {
    if (m_hWatchThread == nullptr) return;
    WaitForSingleObject(m_hWatchThread, INFINITE);
    CloseHandle(m_hWatchThread);
    m_hWatchThread = nullptr;
}

void CShellManager::WaitLaunchWatch() { JoinWatcher(); }

BOOL CShellManager::StartLaunchWatch(DWORD processId) {
    if (processId == 0) return FALSE;
    // A watcher still running is asked to end and joined, never killed.
    m_watchStop.store(true);
    JoinWatcher();
    m_watchStop.store(false);
    m_watchProcessId = processId;
    m_launchBusy.store(true);
    m_hWatchThread = CreateThread(nullptr, 0, &CShellManager::LaunchWatchThread, this, 0, nullptr);
    if (m_hWatchThread == nullptr) {
        m_launchBusy.store(false);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI CShellManager::LaunchWatchThread(LPVOID param) {
    auto* self = static_cast<CShellManager*>(param);
    const DWORD target = self->m_watchProcessId;
    const DWORD start = GetTickCount();
    bool found = false;
    while (!found && !self->m_watchStop.load()) {
        // Short naps keep a stop request from waiting a whole poll period.
        for (DWORD slept = 0; slept < kWatchPollMs && !self->m_watchStop.load(); slept += 50) Sleep(50);
        for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h != nullptr; h = GetWindow(h, GW_HWNDNEXT)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == target) {
                found = true;
                break;
            }
        }
        if (GetTickCount() - start >= kWatchTimeMs) break;
    }
    self->m_launchBusy.store(false);
    return 0;
}
