// The joints of the operation, setting and admin pages, the wired link and the Bluetooth library. None
// of them is part of the program yet: every route leaves its page alone, and the controller's page
// pointers stay null, which its own code already allows for.
#include "app/Pages.h"

#include "app/MainFrame.h"

BOOL CreatePages(CMainFrame&) { return TRUE; }
void LinkPages(CMainFrame&) {}
void DeletePages(CMainFrame&) {}

void OperationShow(CMainFrame&, int) {}
LRESULT OperationOnCommand(CMainFrame&, HWND, int, LPARAM) { return 0; }
BOOL OperationIsIdle(CMainFrame&) { return TRUE; }
BOOL OperationIsRunning(CMainFrame&) { return FALSE; }
void OperationStopRun(CMainFrame&, int) {}
void OperationResetDisplay(CMainFrame&) {}
void OperationBack(CMainFrame&) {}
void OperationResumeFromFile(CMainFrame&) {}
void OperationSetMcuPort(CMainFrame&) {}

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

void BtOpen(CMainFrame&) {}
void BtClose() {}
void BtChangeMode(int) {}
void BtSendErrorCode(int) {}

LRESULT OnRemoteCommand(CMainFrame&, HWND, UINT, WPARAM, LPARAM) { return 0; }
