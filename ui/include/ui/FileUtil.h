// Storage folders, paths and text utilities shared by the whole framework and the application.
#pragma once
#include <windows.h>

// "\" + the storage manager profile's "Folder" value; "" and 0 when unknown.
BOOL GetSdCardFolder(WCHAR* out);
BOOL GetUsbDiskFolder(WCHAR* out);
BOOL GetNandFlashFolder(WCHAR* out);
// The program file's folder, ending with "\".
BOOL GetModuleDir(WCHAR* out);
// out: MAX_PATH characters. Expands "%sd%", "%ud%" and "%nd%" at the start and makes relative paths
// relative to the program folder; 0 and "" when the path is empty, the folder unknown or the result
// does not fit.
BOOL ResolvePath(WCHAR* out, const WCHAR* path);
BOOL ForceDeleteFile(const WCHAR* path);
// A bare name is looked up in the image archive while it is loaded.
BOOL FileExists(const WCHAR* name);

// 32-bit number parsing of script and file values (long is 64 bits here: these are not).
DWORD HexToInt(const WCHAR* digits);
DWORD StrToUInt(const WCHAR* text);
LONG StrToLong(const WCHAR* text);

// Milliseconds since start on the wrapping 32-bit tick counter.
DWORD GetTicks(DWORD start);
// Shows or hides the platform taskbar and sets the work area to match; returns whether it was shown.
BOOL ShowTaskBar(BOOL show);
// The small icon of the file's type from the shell, by name only (a trailing backslash names a folder);
// the caller frees it with DestroyIcon. 0 when the shell has none.
HICON GetFileIcon(const WCHAR* path);
UINT GetLocaleCodePage(LCID lcid);
// Marks the program as running with a semaphore of that name. When another instance holds it already,
// brings that instance's window of class name to the front and returns 1: this one is to end.
BOOL RaiseRunningInstance(const WCHAR* name, int nCmdShow);

int TrimRightA(char* text, BOOL blanks);
int TrimRightW(WCHAR* text, BOOL blanks);
char* TrimLeftA(char* text);
WCHAR* TrimLeftW(WCHAR* text);
// fields: count arrays of MAX_PATH characters.
int SplitString(const WCHAR* text, int count, WCHAR (*fields)[MAX_PATH], WCHAR separator);
SYSTEMTIME* AddSeconds(SYSTEMTIME* out, SYSTEMTIME* time, double seconds);
