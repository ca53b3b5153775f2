// COM start-up: nothing to start, only the per-thread count that pairs the calls.
#include "qrx/objbase.h"

namespace {
thread_local unsigned t_comInits = 0;
}

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD) {
    if (pvReserved) return E_INVALIDARG;
    return t_comInits++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize(void) {
    if (t_comInits > 0) --t_comInits;
}
