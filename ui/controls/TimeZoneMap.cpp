#include "ui/controls/TimeZoneMap.h"

#include "ui/LayoutScript.h"
#include "ui/TimeZones.h"
#include "ui/controls/ControlUtil.h"

namespace {

constexpr float kReferenceWidth = 320.0f;
constexpr float kReferenceHeight = 145.0f;

}  // namespace

const TimeZoneMapRow g_timeZoneMap[kTimeZoneMapRows] = {
    {163, 51, u"Dateline Standard Time"},
    {169, 83, u"Samoa Standard Time"},
    {188, 68, u"Hawaiian Standard Time"},
    {195, 38, u"Alaskan Standard Time"},
    {221, 68, u"Pacific Standard Time"},
    {223, 65, u"US Mountain Standard Time"},
    {229, 72, u"Mexico Standard Time 2"},
    {249, 63, u"Mountain Standard Time"},
    {251, 87, u"Central America Standard Time"},
    {229, 55, u"Central Standard Time"},
    {233, 78, u"Mexico Standard Time"},
    {230, 48, u"Canada Central Standard Time"},
    {251, 92, u"SA Pacific Standard Time"},
    {254, 54, u"Eastern Standard Time"},
    {245, 59, u"US Eastern Standard Time"},
    {280, 51, u"Atlantic Standard Time"},
    {257, 86, u"SA Western Standard Time"},
    {256, 116, u"Pacific SA Standard Time"},
    {267, 52, u"Newfoundland Standard Time"},
    {272, 104, u"E. South America Standard Time"},
    {263, 124, u"SA Eastern Standard Time"},
    {293, 15, u"Greenland Standard Time"},
    {269, 68, u"Mid-Atlantic Standard Time"},
    {23, 63, u"Azores Standard Time"},
    {14, 78, u"Cape Verde Standard Time"},
    {25, 68, u"Greenwich Standard Time"},
    {27, 49, u"GMT Standard Time"},
    {37, 49, u"W. Europe Standard Time"},
    {41, 53, u"Central Europe Standard Time"},
    {30, 53, u"Romance Standard Time"},
    {44, 49, u"Central European Standard Time"},
    {40, 94, u"W. Central Africa Standard Time"},
    {49, 65, u"GTB Standard Time"},
    {54, 55, u"E. Europe Standard Time"},
    {55, 69, u"Egypt Standard Time"},
    {56, 111, u"South Africa Standard Time"},
    {51, 40, u"FLE Standard Time"},
    {58, 68, u"Jerusalem Standard Time"},
    {64, 67, u"Arabic Standard Time"},
    {67, 70, u"Arab Standard Time"},
    {61, 45, u"Russian Standard Time"},
    {60, 98, u"E. Africa Standard Time"},
    {73, 67, u"Iran Standard Time"},
    {76, 72, u"Arabian Standard Time"},
    {63, 60, u"Caucasus Standard Time"},
    {84, 66, u"Afghanistan Standard Time"},
    {101, 38, u"Ekaterinburg Standard Time"},
    {92, 70, u"West Asia Standard Time"},
    {93, 80, u"India Standard Time"},
    {95, 71, u"Nepal Standard Time"},
    {89, 62, u"N. Central Asia Standard Time"},
    {90, 51, u"Central Asia Standard Time"},
    {94, 87, u"Sri Lanka Standard Time"},
    {105, 77, u"Myanmar Standard Time"},
    {113, 81, u"SE Asia Standard Time"},
    {104, 48, u"North Asia Standard Time"},
    {124, 69, u"China Standard Time"},
    {117, 52, u"North Asia East Standard Time"},
    {113, 91, u"Malay Peninsula Standard Time"},
    {121, 120, u"W. Australia Standard Time"},
    {126, 74, u"Taipei Standard Time"},
    {138, 66, u"Tokyo Standard Time"},
    {131, 64, u"Korea Standard Time"},
    {135, 38, u"Yakutsk Standard Time"},
    {136, 121, u"Cen. Australia Standard Time"},
    {133, 104, u"AUS Central Standard Time"},
    {149, 116, u"E. Australia Standard Time"},
    {145, 124, u"AUS Eastern Standard Time"},
    {138, 81, u"West Pacific Standard Time"},
    {144, 129, u"Tasmania Standard Time"},
    {135, 57, u"Vladivostok Standard Time"},
    {146, 40, u"Central Pacific Standard Time"},
    {165, 125, u"New Zealand Standard Time"},
    {164, 106, u"Fiji Standard Time"},
    {183, 100, u"Tonga Standard Time"},
};

CTimeZoneMapCtrl::CTimeZoneMapCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel), m_sx(1.0f), m_sy(1.0f), m_nSelected(0) {}

CTimeZoneMapCtrl::~CTimeZoneMapCtrl() { CTimeZoneMapCtrl::Destroy(); }

void CTimeZoneMapCtrl::Destroy() {
    m_selected.reset();
    m_other.reset();
    CUiCtrl::Destroy();
}

BOOL CTimeZoneMapCtrl::SetImages(const WCHAR* selected, const WCHAR* other) {
    m_selected = LoadControlBitmap(selected, m_bTransparent, m_crKey);
    m_other = LoadControlBitmap(other, m_bTransparent, m_crKey);
    return m_selected != nullptr;
}

void CTimeZoneMapCtrl::OnCreate() {
    m_sx = static_cast<float>(m_w) / kReferenceWidth;
    m_sy = static_cast<float>(m_h) / kReferenceHeight;
    CUiCtrl::OnCreate();
    WCHAR zone[MAX_PATH];
    if (!FindCurrentTimeZone(zone, MAX_PATH, nullptr)) return;
    for (int i = 0; i < kTimeZoneMapRows; ++i) {
        if (wcscmp(zone, g_timeZoneMap[i].name) != 0) continue;
        m_nSelected = i;
        ExecCommand(i, -2);
        return;
    }
}

BOOL CTimeZoneMapCtrl::GetMarkerRect(int i, RECT* rc) const {
    if (!rc || !m_selected || i < 0 || i >= kTimeZoneMapRows) return FALSE;
    RECT own;
    GetRect(&own, FALSE);
    int w = m_selected->GetWidth(), h = m_selected->GetHeight();
    int left = own.left + static_cast<int>(static_cast<float>(g_timeZoneMap[i].x - w / 2 + 1) * m_sx);
    int top = own.top + static_cast<int>(static_cast<float>(g_timeZoneMap[i].y - h / 2 + 1) * m_sy);
    SetRect(rc, left, top, left + w, top + h);
    return TRUE;
}

void CTimeZoneMapCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    if (CUiBitmap* image = ChooseImage()) DrawAligned(back, image);
    RECT own;
    GetRect(&own, FALSE);
    const RECT clip = {0, 0, m_nBackW, m_nBackH};
    for (int i = 0; i < kTimeZoneMapRows; ++i) {
        CUiBitmap* marker = i == m_nSelected ? m_selected.get() : m_other.get();
        RECT rc;
        if (!marker || !GetMarkerRect(i, &rc)) continue;
        marker->DrawClipped(back, rc.left - own.left, rc.top - own.top, clip);
    }
    DrawText(back, 0, 0);
    EndBackPaint(target, release);
}

int CTimeZoneMapCtrl::OnMouse(int msg, WPARAM, int x, int y) {
    if ((msg != 513 && msg != 515) || !m_selected || !IsVisible() || IsCtrlBlocked(this)) return 0;
    POINT pt{x, y};
    for (int i = 0; i < kTimeZoneMapRows; ++i) {
        RECT rc;
        if (!GetMarkerRect(i, &rc) || !PtInRect(&rc, pt)) continue;
        RECT old;
        GetMarkerRect(m_nSelected, &old);
        m_nSelected = i;
        Invalidate(&old, FALSE);
        Invalidate(&rc, FALSE);
        ExecCommand(i, 0);
        return 1;
    }
    return 0;
}

CUiCtrl* NewTimeZoneMap(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control) {
    auto map = std::make_unique<CTimeZoneMapCtrl>(record, panel);
    if (!script) return map.release();
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(2);
    if (script->ReadImageList(page, control, u"indicator", 2, names.get(), -1) >= 0) map->SetImages(names[0], names[1]);
    return map.release();
}
