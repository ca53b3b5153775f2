// Handles and the per-thread error code.
#pragma once
#include "types.h"

DWORD GetLastError();
void SetLastError(DWORD code);
BOOL CloseHandle(HANDLE h);
BOOL DuplicateHandle(HANDLE hSourceProcess, HANDLE hSource, HANDLE hTargetProcess, LPHANDLE lpTarget,
                     DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
