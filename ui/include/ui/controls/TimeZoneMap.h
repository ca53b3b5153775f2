// Layout type 17: a world map (the control's own image) with a marker at each of 75 time zones; the
// current zone's marker differs, and a tap on a marker selects that zone.
#pragma once
#include <windows.h>

#include <memory>

#include "ui/UiCtrl.h"

class CLayoutScript;

struct TimeZoneMapRow {
    int x, y;           // the marker's centre on the 320 x 145 reference map
    const WCHAR* name;  // the zone's key name
};

constexpr int kTimeZoneMapRows = 75;
extern const TimeZoneMapRow g_timeZoneMap[kTimeZoneMapRows];

class CTimeZoneMapCtrl : public CUiCtrl {
public:
    CTimeZoneMapCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CTimeZoneMapCtrl() override;

    using CUiCtrl::SetImages;
    // The selected zone's marker and every other zone's; whether the first loaded.
    BOOL SetImages(const WCHAR* selected, const WCHAR* other);
    int GetSelected() const { return m_nSelected; }
    // Row i's marker in pen coordinates (the selected marker's size); FALSE without a marker or row.
    BOOL GetMarkerRect(int i, RECT* rc) const;

    void OnCreate() override;
    void Destroy() override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;

private:
    float m_sx, m_sy;
    int m_nSelected;
    std::unique_ptr<CUiBitmap> m_selected, m_other;
};

CUiCtrl* NewTimeZoneMap(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control);
