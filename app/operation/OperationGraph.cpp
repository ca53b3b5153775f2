// The graph thread: zoom, paging and redraws of the time graph, and the scroll bar that follows it.
#include <algorithm>
#include <cmath>

#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ScrollBar.h"

#include "OperationInternal.h"

void COperationWnd::RequestGraph(int kind) {
    m_nGraphRequest = kind;
    if (m_hGraphEvent) SetEvent(m_hGraphEvent);
}

DWORD WINAPI COperationWnd::GraphThread(LPVOID param) {
    auto* page = static_cast<COperationWnd*>(param);
    page->m_bGraphAlive = 1;
    for (;;) {
        WaitForSingleObject(page->m_hGraphEvent, INFINITE);
        if (!page->m_bLoop.load()) break;
        page->m_bGraphBusy = 1;
        page->HandleGraphRequest(page->m_nGraphRequest.load());
        page->m_bGraphBusy = 0;
    }
    page->m_bGraphAlive = 0;
    return 0;
}

void COperationWnd::ShowGraphPage(int page, BOOL clearFurthest) {
    if (clearFurthest) m_pGraph->SetFurthestPage(0);
    m_pGraph->SetPage(page);
}

void COperationWnd::HandleGraphRequest(int kind) {
    if (!m_pGraph) return;
    if (kind == GRAPH_REQ_SCROLL) {
        const int page = m_nScrollPage.load();
        if (page == m_pGraph->GetPage()) return;
        m_pGraph->Freeze();
        ShowGraphPage(page, FALSE);
        m_pGraph->Unfreeze();
        return;
    }
    m_pGraph->Freeze();
    switch (kind) {
        case GRAPH_REQ_ZOOM:
        case GRAPH_REQ_REAPPLY: {
            SetGraphScale(TRUE, FALSE);
            const int mode = kind == GRAPH_REQ_ZOOM ? (m_nZoom.load() + 1) % 3 : m_nZoom.load();
            m_nZoom = m_pGraph->SetZoom(FALSE, mode);
            m_pGraph->ComputeScales();
            ShowGraphPage(0, TRUE);
            SetGraphScale(FALSE, TRUE);
            break;
        }
        case GRAPH_REQ_NEWPAGE:
            ShowGraphPage(m_nScrollPage.load(), TRUE);
            break;
        case GRAPH_REQ_REDRAW:
            ShowGraphPage(m_pGraph->GetPage(), FALSE);
            break;
        default:
            break;
    }
    m_pGraph->Unfreeze();
}

void COperationWnd::SetGraphScale(BOOL reset, BOOL force) {
    if (!m_pScroll) return;
    // The scroll bar belongs to the UI thread; other threads hand the update over in order.
    if (!OnUiThread()) {
        Post(WM_OPWND_SCALE, static_cast<WPARAM>(reset), static_cast<LPARAM>(force));
        return;
    }
    if (reset) {
        m_pScroll->SetTotal(SCROLL_BAR_HORZ, 1, FALSE);
        m_pScroll->SetPos(SCROLL_BAR_HORZ, 0, FALSE);
        m_nScrollPage = 0;
        m_pScroll->Show(FALSE);
        return;
    }
    if (!m_pGraph) return;
    const int n = m_pGraph->GetSampleCount();
    int pages = 1;
    if (m_nZoom.load() != GRAPH_ZOOM_ALL && n > 0) {
        const int span = m_nZoom.load() == GRAPH_ZOOM_4PAGES ? 7200 : 1800;
        if (!force && n % span != 1) return;
        pages = n > span ? (n + GRAPH_PAGE_SECONDS - 1) / GRAPH_PAGE_SECONDS : 1;
    }
    m_pScroll->SetTotal(SCROLL_BAR_HORZ, pages, FALSE);
    const int pos = force ? std::clamp(m_pGraph->GetPage(), 0, pages - 1) : pages - 1;
    m_pScroll->SetPos(SCROLL_BAR_HORZ, pos, FALSE);
    m_nScrollPage = pos;
    m_pScroll->Show(m_nView == 1 && pages > 1);
    m_pScroll->Invalidate(nullptr, FALSE);
    if (!force) RequestGraph(GRAPH_REQ_NEWPAGE);
}

void COperationWnd::SetGraphAxes(BOOL reset, double currentMax, double voltageMax, double voltageMin) {
    if (!m_pGraph) return;
    if (reset) {
        const double maxCurrent = m_pSettings ? m_pSettings->dMaxCurrent : 0.0;
        const double maxVoltage = m_pSettings ? m_pSettings->dMaxVoltage : 0.0;
        m_pGraph->SetAxis1(0, CeilDiv(maxCurrent + 5, GRAPH_DIVISIONS), u"A", 0x0000FF, FALSE);
        m_pGraph->SetAxis2(0, CeilDiv(maxVoltage + 5, GRAPH_DIVISIONS), u"V", 0x00FF00, FALSE);
    } else {
        m_dCurrentMax = currentMax;
        m_dVoltageMax = voltageMax;
        m_dVoltageMin = voltageMin;
        const int low = std::max(0, static_cast<int>(voltageMin - 5));
        m_pGraph->SetAxis1(0, CeilDiv(currentMax + 5, GRAPH_DIVISIONS), u"A", 0x0000FF, FALSE);
        m_pGraph->SetAxis2(low, CeilDiv(voltageMax - low + 5, GRAPH_DIVISIONS), u"V", 0x00FF00, FALSE);
    }
    m_pGraph->ComputeScales();
}
