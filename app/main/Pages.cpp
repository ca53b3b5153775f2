// The joints of the operation, setting and admin pages, the wired link and the Bluetooth library. The
// operation page and the Bluetooth library are part of the program; the others are not yet: their
// routes leave them alone, and the controller's pointers to them stay null, which its own code already
// allows for.
#include "app/Pages.h"

#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "radiolink/Radiolink.h"

namespace {

void ReportRemoteError(int code) {
    if (g_Settings.wBtRemote) BtSendErrorCode(code);
    else LinkSendError(g_MainFrame, code);
}

}  // namespace

BOOL CreatePages(CMainFrame& frame) {
    frame.m_pOperationWnd = new COperationWnd(frame.m_hWnd, &g_Settings, &g_OpMode, frame.m_McuVersion);
    if (!frame.m_pOperationWnd->IsCreated()) {
        OutputDebugStringW(u"[FRAME]operation page not created\r\n");
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
    }
}

void DeletePages(CMainFrame& frame) {
    delete frame.m_pOperationWnd;
    frame.m_pOperationWnd = nullptr;
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

void SettingShow(CMainFrame&, int) {}
LRESULT SettingOnCommand(CMainFrame&, HWND, int, LPARAM) { return 0; }
void SettingRunUpgrader(CMainFrame&, int) {}
void SettingSetBtStatus(CMainFrame&, int) {}
void SettingRefreshBtLabel(CMainFrame&) {}
void SettingClockTick(CMainFrame&) {}

void AdminShow(CMainFrame&, int) {}
LRESULT AdminOnCommand(CMainFrame&, HWND, int, LPARAM) { return 0; }
void AdminSetMcuPort(CMainFrame&, CMicomPort*) {}

BOOL CreateLinkPort(CMainFrame&) { return TRUE; }
void CheckDisplayBoard(CMainFrame&) {}
void LinkSendError(CMainFrame&, int) {}

// The module on COM4, named by the serial number; without the module the program runs on alone.
void BtOpen(CMainFrame& frame) {
    BT_Open(4, frame.m_hWnd, &g_Settings, nullptr, g_szSerialText[0] ? g_szSerialText : nullptr, g_Settings.wBtMode);
}
void BtClose() { BT_Close(); }
void BtChangeMode(int mode) { BT_ChangeMode(mode); }
void BtSendErrorCode(int code) { BT_SendErrorCode(code); }
void BtSendCommand(const char* body) { BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>(body))); }

LRESULT OnRemoteCommand(CMainFrame&, HWND, UINT, WPARAM, LPARAM) { return 0; }
