#include "ui/CtrlFactory.h"

#include <memory>

#include "ui/FileUtil.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/AnimImage.h"
#include "ui/controls/BarGraph.h"
#include "ui/controls/Button.h"
#include "ui/controls/Crosshair.h"
#include "ui/controls/FileBrowser.h"
#include "ui/controls/Gauge.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ListBox.h"
#include "ui/controls/Picture.h"
#include "ui/controls/ScrollBar.h"
#include "ui/controls/TimeZoneMap.h"

namespace {

// A control's index is 16 bits wide.
constexpr int kMaxControls = 0xFFFF;

void SectionName(WCHAR* out, int page, int control) { swprintf(out, 40, u"shell%d-%d", page, control); }

// "longkey" is a plain decimal number; anything after the digits is ignored.
int ParseDecimal(const WCHAR* text) {
    while (*text == u' ' || *text == u'\t') ++text;
    bool negative = *text == u'-';
    if (negative) ++text;
    long long value = 0;
    while (*text >= u'0' && *text <= u'9') {
        value = value * 10 + (*text - u'0');
        if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
        ++text;
    }
    return static_cast<int>(negative ? -value : value);
}

// "l,t,r,b|l,t,r,b|...": each rectangle closed by "|" joins the region; text after the last "|" is
// ignored. Null when no rectangle is closed.
HRGN ParseRegion(const WCHAR* value) {
    HRGN region = nullptr;
    const WCHAR* start = value;
    for (const WCHAR* bar = wcschr(start, u'|'); bar; bar = wcschr(start, u'|')) {
        WCHAR part[LAYOUT_VALUE_MAX];
        size_t length = static_cast<size_t>(bar - start);
        if (length >= LAYOUT_VALUE_MAX) length = LAYOUT_VALUE_MAX - 1;
        wcsncpy(part, start, length);
        part[length] = 0;
        WCHAR fields[4][MAX_PATH] = {};
        SplitString(part, 4, fields, u',');
        HRGN rect = CreateRectRgn(StrToLong(fields[0]), StrToLong(fields[1]), StrToLong(fields[2]), StrToLong(fields[3]));
        if (rect) {
            if (!region) {
                region = rect;
            } else {
                CombineRgn(region, region, rect, RGN_OR);
                DeleteObject(rect);
            }
        }
        start = bar + 1;
    }
    return region;
}

CUiCtrl* NewButton(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                   int control) {
    auto button = std::make_unique<CButtonCtrl>(record, panel);
    if (!script) return button.release();
    WCHAR section[40];
    SectionName(section, page, control);
    {
        auto names = std::make_unique<WCHAR[][MAX_PATH]>(4);
        if (script->ReadImageList(page, control, u"uncheck", 4, names.get(), -1) >= 0)
            button->SetUncheckImages(names[0], names[1], names[2], names[3]);
        if (script->ReadImageList(page, control, u"check", 4, names.get(), -1) >= 0)
            button->SetCheckImages(names[0], names[1], names[2], names[3]);
    }
    auto value = std::make_unique<WCHAR[]>(LAYOUT_VALUE_MAX);
    if (script->ReadKey(section, u"longkey", value.get(), LAYOUT_VALUE_MAX, FALSE, TRUE) == 0)
        button->SetLongKey(ParseDecimal(value.get()));
    DWORD style[2] = {0, 0};
    if (script->ReadNumbers(page, control, u"anibtnstyle", 2, style) == 0)
        button->SetAnimationStyle(static_cast<LONG>(style[0]), static_cast<LONG>(style[1]));
    // The region setter runs in any case: without the key the button has no region.
    value[0] = 0;
    script->ReadKey(section, u"rgn", value.get(), LAYOUT_VALUE_MAX, FALSE, TRUE);
    button->SetHitRegion(ParseRegion(value.get()));
    return button.release();
}

}  // namespace

CUiCtrl* NewControl(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                    int control) {
    if (!record) return nullptr;
    switch (record->type) {
    case 0: return new CUiCtrl(record, panel);
    case 1:
    case 15:
    case 16:
    case 22: return NewButton(record, panel, script, page, control);
    case 3: return NewListBox(record, panel, script, page, control);
    case 4:
    case 18: return NewScrollBar(record, panel, script, page, control);
    case 10: return NewFileBrowser(record, panel, script, page, control);
    case 17: return NewTimeZoneMap(record, panel, script, page, control);
    case 19: return NewBarGraph(record, panel, script, page, control);
    case 20: return NewProgressBar(record, panel, script, page, control);
    case 21: return NewCrosshair(record, panel, script, page, control);
    case 23: return NewGauge(record, panel, script, page, control);
    case 24: return NewPicture(record, panel, script, page, control);
    case 25: return NewGraph(record, panel, script, page, control);
    case 26: return NewAnimImage(record, panel, script, page, control);
    default: return nullptr;
    }
}

int CreateControls(CShellPanel* panel, CLayoutScript* script) {
    if (!panel || !script) return 0;
    const int page = panel->GetShell();
    auto record = std::make_unique<LayoutControlRecord>();
    int control = 0;
    for (; control < kMaxControls; ++control) {
        if (script->ReadControlSection(page, control, record.get()) != 0) break;
        CUiCtrl* ctrl = NewControl(record.get(), panel, script, page, control);
        if (!ctrl) continue;
        if (!ctrl->LoadImages(record->image[0], record->image[1], record->image[2], record->image[3]))
            panel->SetBackImages(ctrl);  // an image-less control shows the page behind it
        if (ctrl->Create(WS_CHILD | WS_VISIBLE, 0)) panel->AddCtrl(ctrl);
        else delete ctrl;
    }
    return control;
}
