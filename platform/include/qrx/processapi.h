// Processes, loadable libraries and the program entry.
#pragma once
#include <string>

#include "types.h"

// ---- processes -----------------------------------------------------------------------------------
// A program of the device is a host executable installed in the device root ("\Windows\QRX.exe").
// CreateProcessW hands the child its command line exactly as given: it is the child's WinMain
// command line, with no image name in front. With lpApplicationName null, the first token of
// lpCommandLine (quoted or up to the first blank) names the image and the rest, after the blanks
// that follow it, is the command line. An image named without a folder is looked for in \Windows,
// and one named without an extension in the command line gets ".exe". The child inherits the
// environment (QRX_DEVICE_ROOT and the rest) and the standard streams, no other descriptor.
// Processes that end are reaped at once, whether or not anyone holds or waits on their handles.

#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif

#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_ALL_ACCESS 0x001F0FFFu

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Accepted and ignored: the device has one screen and no consoles.
typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

// Fails at once when the image is missing (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND), is no file
// or may not be run (ERROR_ACCESS_DENIED), or is no program (ERROR_BAD_EXE_FORMAT). The process and
// thread handles are waitable and signalled when the child ends; close both.
BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation);
// STILL_ACTIVE while the process runs; then its exit code, the code given to TerminateProcess, or
// 128 + the signal for one killed otherwise. The host tells the exit code only to the parent: a
// process opened by id that is not this program's child reports 0 unless this program ended it.
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
// Kills the process; its exit code becomes uExitCode. Fails with ERROR_ACCESS_DENIED once it ended.
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);
// A handle of a running process of this machine by id, for waiting on it and ending it.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
// A pseudo-handle of the calling process, valid only in the calling process; closing it is not needed.
HANDLE GetCurrentProcess();
// Ends the calling process at once with the given exit code; the other threads do not run on.
[[noreturn]] void ExitProcess(UINT uExitCode);

// ---- libraries -----------------------------------------------------------------------------------
// A library is a host shared object installed under its device name ("\Windows\Radiolink.dll").
// LoadLibraryW takes a device path, or a bare name looked for in \Windows (".dll" is assumed when
// the name has no extension). The HMODULE is the library's load base, the same value that
// GetModuleHandleW and the resource functions use. Loads are counted; FreeLibrary undoes one.
//
// Exports by ordinal: a library may export
//     extern "C" const QrxOrdinalEntry* QrxOrdinalTable();
// returning an array of {ordinal, exported name} ended by an entry with ordinal 0. GetProcAddressW
// and GetProcAddress then resolve MAKEINTRESOURCE(ordinal) to that name's address.

// Without a result type, so that casting it to the real function type is clean under -Wextra.
typedef void(WINAPI* FARPROC)();

struct QrxOrdinalEntry {
    WORD ordinal;      // 1 to 65535
    const char* name;  // an exported symbol of the library
};
typedef const QrxOrdinalEntry* (*QrxOrdinalTableFn)();

// Missing library: ERROR_MOD_NOT_FOUND; a file that is no library: ERROR_BAD_EXE_FORMAT.
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
BOOL FreeLibrary(HMODULE hLibModule);
// By name or by ordinal; only the module's own exports are found. Missing: ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// ---- the program entry ---------------------------------------------------------------------------
// Every program defines WinMain and links qrx_winmain, whose main() calls it with the program's
// module handle, no previous instance, the command line and SW_SHOW.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

namespace qrx {
// host-side, for qrx_winmain: the WinMain command line of this program from its arguments (argv[1],
// as CreateProcessW passed it; empty when absent).
std::u16string WinMainCommandLine(int argc, char** argv);
// host-side, for qrx_winmain: tells the parent the full 32-bit exit code, which the host would cut
// to 8 bits, before the program returns from main.
void ReportExitCode(DWORD code);
}  // namespace qrx
