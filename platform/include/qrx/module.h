// Modules, resources compiled into them, and debug output.
#pragma once
#include "types.h"

#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_BITMAP MAKEINTRESOURCEW(2)

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID LockResource(HGLOBAL hResData);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

void OutputDebugStringW(LPCWSTR lpOutputString);

// Registration of a module's compiled-in resources; called by the code that qrx_add_resources()
// generates, never by hand.
struct QrxResourceEntry {
    const char16_t* type;  // a name, or an integer id as MAKEINTRESOURCEW
    const char16_t* name;  // likewise
    const unsigned char* data;
    unsigned int size;
};
void QrxRegisterResources(const void* addressInModule, const QrxResourceEntry* entries, unsigned int count);
// Withdraws a registration when its module is unloaded, so no lookup reaches unmapped bytes.
void QrxUnregisterResources(const QrxResourceEntry* entries);
