// Where the operation, setting and admin pages, the wired link on COM5 and the Bluetooth library join
// the controller. Each route acts on its page once that page is part of the program and does nothing
// while it is not (its pointer in the controller stays null).
#pragma once
#include <windows.h>

class CMainFrame;
class CMicomPort;

// InitFrame step 13: creates the pages; 0 when one that is part of the program cannot be created.
BOOL CreatePages(CMainFrame& frame);
// InitFrame step 14: hands the pages each other and the controller's flags.
void LinkPages(CMainFrame& frame);
void DeletePages(CMainFrame& frame);

// Operation page (shells 3, 4, 5, 6, 8, 9, 16).
void OperationShow(CMainFrame& frame, int show);
LRESULT OperationOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam);
BOOL OperationIsIdle(CMainFrame& frame);
BOOL OperationIsRunning(CMainFrame& frame);
void OperationStopRun(CMainFrame& frame, int quiet);
void OperationResetDisplay(CMainFrame& frame);
void OperationBack(CMainFrame& frame);
void OperationResumeFromFile(CMainFrame& frame);
void OperationSetMcuPort(CMainFrame& frame);
// The running run's log (device path), "" when no run logs.
void OperationLogPath(CMainFrame& frame, WCHAR* out, size_t capacity);
// Ends the page's threads (they write into the other pages' controls) before any window goes.
void OperationShutdown(CMainFrame& frame);

// Setting page (shells 1 and 15).
void SettingShow(CMainFrame& frame, int show);
LRESULT SettingOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam);
void SettingRunUpgrader(CMainFrame& frame, int control);
void SettingSetBtStatus(CMainFrame& frame, int connected);
void SettingRefreshBtLabel(CMainFrame& frame);
void SettingClockTick(CMainFrame& frame);

// Admin page (shell 10).
void AdminShow(CMainFrame& frame, int show);
LRESULT AdminOnCommand(CMainFrame& frame, HWND hWnd, int shell, LPARAM lParam);
void AdminSetMcuPort(CMainFrame& frame, CMicomPort* port);
// The remote requests' refreshes of the admin texts; nothing while the page is hidden.
void AdminRefreshModelText(CMainFrame& frame);
void AdminRefreshVoltText(CMainFrame& frame);
void AdminRefreshAmpText(CMainFrame& frame);
void AdminRefreshFrequencyText(CMainFrame& frame);

// The wired link on COM5 and the attached unit.
BOOL CreateLinkPort(CMainFrame& frame);
void CheckDisplayBoard(CMainFrame& frame);
void LinkSendError(CMainFrame& frame, int code);

// The Bluetooth library.
void BtOpen(CMainFrame& frame);
void BtClose();
void BtChangeMode(int mode);
void BtSendErrorCode(int code);
// A reply record to the Bluetooth host (body without frame); nothing without a connected host.
void BtSendCommand(const char* body);

// Remote requests 1125..1184 from the link and the Bluetooth library.
LRESULT OnRemoteCommand(CMainFrame& frame, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
