#include "ui/controls/AnimImage.h"

#include <string>

#include "ui/FileUtil.h"
#include "ui/LayoutScript.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/controls/ControlUtil.h"

CAnimImageCtrl::CAnimImageCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel),
      m_timerId(0),
      m_timer(0),
      m_hTimerWnd(nullptr),
      m_nPeriod(0),
      m_nFlag(0),
      m_nCurrent(0),
      m_nShown(0) {}

CAnimImageCtrl::~CAnimImageCtrl() { CAnimImageCtrl::Destroy(); }

void CAnimImageCtrl::Stop() {
    if (m_timer && m_hTimerWnd && ::IsWindow(m_hTimerWnd)) ::KillTimer(m_hTimerWnd, m_timer);
    m_timer = 0;
    m_hTimerWnd = nullptr;
    m_frames.clear();
    m_nCurrent = 0;
    m_nShown = 0;
}

void CAnimImageCtrl::Destroy() {
    Stop();
    CUiCtrl::Destroy();
}

BOOL CAnimImageCtrl::LoadFrames(const WCHAR* name, int count, int period, int flag) {
    Stop();
    m_nPeriod = period;
    m_nFlag = flag;
    const size_t length = name ? wcslen(name) : 0;
    // The number goes before the extension's four characters: a shorter name has no room for them.
    if (length < 5 || count < 1 || count > kMaxFrames || period < kMinPeriod) return 0;
    std::u16string base(name, length);
    std::vector<std::unique_ptr<CUiBitmap>> frames;
    for (int i = 0; i < count; ++i) {
        std::u16string frame = base.substr(0, length - 4) + u"_";
        for (char c : std::to_string(i)) frame += static_cast<char16_t>(c);
        frame += base.substr(length - 4);
        if (frame.size() >= MAX_PATH) return 0;
        auto bitmap = LoadControlBitmap(frame.c_str(), m_bTransparent, m_crKey);
        if (!bitmap) return 0;
        frames.push_back(std::move(bitmap));
    }
    m_frames = std::move(frames);
    // Frame 0 shows at once: the first tick brings the next one.
    m_nShown = 0;
    m_nCurrent = 1;
    HWND wnd = GetWnd();
    if (!m_timerId) m_timerId = CShellManager::AllocTimerId();
    if (wnd && ::SetTimer(wnd, m_timerId, static_cast<UINT>(period), nullptr)) {
        m_timer = m_timerId;
        m_hTimerWnd = wnd;
    }
    if (IsShown()) Invalidate(nullptr, FALSE);
    return 1;
}

void CAnimImageCtrl::OnCreate() {
    CUiCtrl::OnCreate();
    // Frames loaded before a window of its own existed run their timer on the page's window: it moves.
    HWND wnd = GetWnd();
    if (m_timer && wnd != m_hTimerWnd && wnd && ::SetTimer(wnd, m_timer, static_cast<UINT>(m_nPeriod), nullptr)) {
        if (m_hTimerWnd && ::IsWindow(m_hTimerWnd)) ::KillTimer(m_hTimerWnd, m_timer);
        m_hTimerWnd = wnd;
    }
}

BOOL CAnimImageCtrl::IsShown() const { return IsVisible() && (!m_pPanel || m_pPanel->IsShown()); }

int CAnimImageCtrl::OnTimer(UINT_PTR id, LPARAM lParam) {
    if (!m_timer || id != m_timer) return CUiCtrl::OnTimer(id, lParam);
    if (m_frames.empty()) return 1;
    if (m_nCurrent >= static_cast<int>(m_frames.size())) m_nCurrent = 0;
    m_nShown = m_nCurrent++;
    // The frames run on while the page is hidden; only a shown control puts one on the screen, so a
    // hidden page never draws over the one shown.
    if (IsShown()) Invalidate(nullptr, FALSE);
    return 1;
}

void CAnimImageCtrl::OnPaint(HDC dc) {
    if (m_frames.empty()) {
        CUiCtrl::OnPaint(dc);
        return;
    }
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    const RECT own = {0, 0, m_nBackW, m_nBackH};
    m_frames[static_cast<size_t>(m_nShown)]->DrawClipped(back, 0, 0, own);
    EndBackPaint(target, release);
}

CUiCtrl* NewAnimImage(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control) {
    auto anim = std::make_unique<CAnimImageCtrl>(record, panel);
    if (!script) return anim.release();
    auto fields = std::make_unique<WCHAR[][MAX_PATH]>(4);
    // Only the name is an image: the folder rule would turn the numbers into paths.
    if (script->ReadImageList(page, control, u"imgs", 4, fields.get(), 1) >= 0)
        anim->LoadFrames(fields[0], StrToLong(fields[1]), StrToLong(fields[2]), StrToLong(fields[3]));
    return anim.release();
}
