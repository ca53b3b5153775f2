// COM start-up. There is no COM on this device's programs' paths: the calls only count per thread,
// so that code written for the platform initialises and uninitialises as it always did.
#pragma once
#include "types.h"

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define COINIT_MULTITHREADED 0x0

// S_OK for a thread's first call, S_FALSE when the thread is already initialised; E_INVALIDARG when
// the reserved pointer is set. Each successful call wants its CoUninitialize.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize(void);
