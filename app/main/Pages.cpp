// The joints of the operation, setting and admin pages, the wired link and the Bluetooth library. A
// page that is not part of the program keeps its pointer in the controller null, and its routes leave
// it alone, which the controller's own code already allows for.
#include "app/Pages.h"

#include "app/AdminWnd.h"
#include "app/LinkPort.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/RemoteDispatch.h"
#include "app/SettingWnd.h"
#include "app/Settings.h"
#include "radiolink/Radiolink.h"

namespace {

void ReportRemoteError(int code) { SendRemoteError(g_MainFrame, code); }
void SendRemoteRecord(const char* record) { SendRemoteReply(g_MainFrame, record); }

// The setting page's unit switch; the unit counts as attached only while it acknowledged.
int SwitchUnit(CUnitLink* unit, int on) {
    auto* link = static_cast<CLinkPort*>(unit);
    if (!link) return 0;
    int acknowledged = link->SendD0(on);
    link->SetUnitConnected(on && acknowledged);
    return acknowledged;
}

}  // namespace

BOOL CreatePages(CMainFrame& frame) {
    frame.m_pOperationWnd = new COperationWnd(frame.m_hWnd, &g_Settings, &g_OpMode, frame.m_McuVersion);
    if (!frame.m_pOperationWnd->IsCreated()) {
        OutputDebugStringW(u"[FRAME]operation page not created\r\n");
        return FALSE;
    }
    frame.m_pSettingWnd = new CSettingWnd(frame.m_hWnd, &g_Settings, frame.m_McuVersion);
    if (!frame.m_pSettingWnd->IsCreated()) {
        OutputDebugStringW(u"[FRAME]setting page not created\r\n");
        return FALSE;
    }
    frame.m_pAdminWnd = new CAdminWnd(frame.m_hWnd, &g_Settings, &g_OpMode, frame.m_McuVersion);
    if (!frame.m_pAdminWnd->IsCreated()) {
        OutputDebugStringW(u"[FRAME]admin page not created\r\n");
        return FALSE;
    }
    return TRUE;
}

void LinkPages(CMainFrame& frame) {
    if (COperationWnd* op = frame.m_pOperationWnd) {
        op->m_pRemoteControl = &frame.m_bRemoteControl;
        op->m_bHardwareBlock = 0;
        op->m_pTopBar = frame.m_pTopBarWnd;
        op->m_pfnReportError = ReportRemoteError;
        op->m_pfnSendRecord = SendRemoteRecord;
        // Before the operation thread is released: its tick feeds the admin page's measurements.
        op->m_pAdminWnd = frame.m_pAdminWnd;
    }
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->SetTopBar(frame.m_pTopBarWnd);
}

void DeletePages(CMainFrame& frame) {
    // The operation thread talks to the attached unit: the page goes before the link.
    delete frame.m_pOperationWnd;
    frame.m_pOperationWnd = nullptr;
    delete frame.m_pSettingWnd;
    frame.m_pSettingWnd = nullptr;
    delete frame.m_pAdminWnd;
    frame.m_pAdminWnd = nullptr;
    delete frame.m_pLinkPort;
    frame.m_pLinkPort = nullptr;
}

void OperationShow(CMainFrame& frame, int show) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->Show(show);
}
LRESULT OperationOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam) {
    return frame.m_pOperationWnd ? frame.m_pOperationWnd->OnCommand(hWnd, shell, lParam) : 0;
}
BOOL OperationIsIdle(CMainFrame& frame) { return !frame.m_pOperationWnd || frame.m_pOperationWnd->IsIdle(); }
BOOL OperationIsRunning(CMainFrame& frame) { return !OperationIsIdle(frame); }
void OperationStopRun(CMainFrame& frame, int remoteReply) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->StopRun(remoteReply);
}
void OperationShutdown(CMainFrame& frame) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->Shutdown();
}
void OperationResetDisplay(CMainFrame& frame) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->ResetDisplay();
}
void OperationBack(CMainFrame& frame) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->Back();
}
void OperationResumeFromFile(CMainFrame& frame) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->ResumeFromFile();
}
void OperationSetMcuPort(CMainFrame& frame) {
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->SetPorts(frame.m_pMicomPort, frame.m_pLinkPort);
}

void SettingShow(CMainFrame& frame, int show) {
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->Show(show);
}
LRESULT SettingOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam) {
    return frame.m_pSettingWnd ? frame.m_pSettingWnd->OnCommand(hWnd, shell, lParam) : 0;
}
void SettingRunUpgrader(CMainFrame& frame, int control) {
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->RunUpgrader(control);
}
void SettingSetBtStatus(CMainFrame& frame, int connected) {
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->SetBtStatus(connected);
}
void SettingRefreshBtLabel(CMainFrame& frame) {
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->SetBtModeText(g_Settings.wBtMode);
}
void SettingClockTick(CMainFrame& frame) {
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->OnClockTimer();
}

void OperationLogPath(CMainFrame& frame, WCHAR* out, size_t capacity) {
    if (!out || !capacity) return;
    out[0] = 0;
    if (frame.m_pOperationWnd && OperationIsRunning(frame)) frame.m_pOperationWnd->CsvLog().GetPath(out, capacity);
}

void AdminShow(CMainFrame& frame, int show) {
    if (frame.m_pAdminWnd) frame.m_pAdminWnd->Show(show);
}
LRESULT AdminOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam) {
    return frame.m_pAdminWnd ? frame.m_pAdminWnd->OnCommand(hWnd, shell, lParam) : 0;
}
void AdminSetMcuPort(CMainFrame& frame, CMicomPort* port) {
    if (frame.m_pAdminWnd) frame.m_pAdminWnd->SetMcuPort(port);
}

namespace {
CAdminWnd* ShownAdmin(CMainFrame& frame) {
    return frame.m_pAdminWnd && frame.m_pAdminWnd->GetShowState() == 5 ? frame.m_pAdminWnd : nullptr;
}
}  // namespace

void AdminRefreshModelText(CMainFrame& frame) {
    if (CAdminWnd* admin = ShownAdmin(frame)) admin->SetModelText();
}
void AdminRefreshVoltText(CMainFrame& frame) {
    if (CAdminWnd* admin = ShownAdmin(frame)) admin->SetVoltLimitText();
}
void AdminRefreshAmpText(CMainFrame& frame) {
    if (CAdminWnd* admin = ShownAdmin(frame)) admin->SetAmpLimitText();
}
void AdminRefreshFrequencyText(CMainFrame& frame) {
    if (CAdminWnd* admin = ShownAdmin(frame)) admin->RefreshFrequencyText();
}

BOOL CreateLinkPort(CMainFrame& frame) {
    if (!frame.m_pLinkPort) frame.m_pLinkPort = new CLinkPort(frame.m_hWnd, &g_Settings);
    // Before the operation thread is released: it asks the link whether the unit is there.
    if (frame.m_pOperationWnd) frame.m_pOperationWnd->SetUnitLink(frame.m_pLinkPort);
    // Whether or not the MCU port opened: the unit switch needs the link.
    if (frame.m_pSettingWnd) frame.m_pSettingWnd->SetLinkPort(frame.m_pLinkPort, SwitchUnit);
    return TRUE;
}

// COM5 at start-up; with the attached unit enabled, its hello decides whether it takes part.
void CheckDisplayBoard(CMainFrame& frame) {
    CLinkPort* link = frame.m_pLinkPort;
    if (!link) return;
    link->SetUnitConnected(FALSE);
    if (!link->Open(5, 115200, 8, ONESTOPBIT, NOPARITY)) return;
    if (g_Settings.wUnitEnable != 1) return;
    if (link->SendD0(1)) {
        link->SetUnitConnected(TRUE);
        PostMessageW(frame.m_hWnd, 1025, SHELL_TOPBAR, 0x10009);
    } else {
        ShowMessageBox(frame.m_hWnd, POPUP_TITLE_ERROR, 63, POPUP_ONE_BUTTON, TRUE);
    }
}

void LinkSendError(CMainFrame& frame, int code) {
    if (frame.m_pLinkPort) frame.m_pLinkPort->SendError(code);
}

// The module on COM4, named by the serial number; without the module the program runs on alone.
void BtOpen(CMainFrame& frame) {
    BT_Open(4, frame.m_hWnd, &g_Settings, nullptr, g_szSerialText[0] ? g_szSerialText : nullptr, g_Settings.wBtMode);
}
void BtClose() { BT_Close(); }
void BtChangeMode(int mode) { BT_ChangeMode(mode); }
void BtSendErrorCode(int code) { BT_SendErrorCode(code); }
void BtSendCommand(const char* body) { BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>(body))); }

// A request of the wired link arrives posted, its text waiting in the link's queue; the Bluetooth
// library's requests come sent, their text with them.
LRESULT OnRemoteCommand(CMainFrame& frame, HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (lParam != LINK_QUEUED_REQUEST) return DispatchRemoteCommand(frame, msg, wParam);
    LinkRequest request;
    if (!frame.m_pLinkPort || !frame.m_pLinkPort->TakeRequest(&request)) return 0;
    const WPARAM param = request.hasField ? reinterpret_cast<WPARAM>(request.field) : request.param;
    return DispatchRemoteCommand(frame, request.message, param);
}
