// Dispatch of stream device names to the device sources.
#include <map>
#include <string>

#include "internal.h"
#include "qrx/ioapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

std::mutex& OpenersLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<std::string, DeviceOpener>& Openers() {
    static auto* map = new std::map<std::string, DeviceOpener>;
    return *map;
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

}  // namespace

BOOL DeviceObject::Read(void*, DWORD, DWORD* done) {
    if (done) *done = 0;
    SetError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL DeviceObject::Write(const void*, DWORD, DWORD* done) {
    if (done) *done = 0;
    SetError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL DeviceObject::IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD* returned) {
    if (returned) *returned = 0;
    SetError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

void RegisterDeviceOpener(const char* prefix, DeviceOpener opener) {
    std::lock_guard<std::mutex> g(OpenersLock());
    Openers()[prefix] = opener;
}

bool IsDeviceName(const WCHAR* name) {
    // An optional leading separator is accepted ("\COM2:"), as some callers write it.
    if (!name) return false;
    if (name[0] == u'\\' || name[0] == u'/') ++name;
    return IsLetter(name[0]) && IsLetter(name[1]) && IsLetter(name[2]) && name[3] >= u'0' && name[3] <= u'9' &&
           name[4] == u':' && name[5] == 0;
}

HANDLE OpenDevice(const WCHAR* name, DWORD access, DWORD share) {
    if (name[0] == u'\\' || name[0] == u'/') ++name;
    std::u16string upper;
    for (int i = 0; i < 5; ++i) upper.push_back(Upper(name[i]));
    std::string prefix;
    for (int i = 0; i < 3; ++i) prefix.push_back(static_cast<char>(upper[i]));
    DeviceOpener opener = nullptr;
    {
        std::lock_guard<std::mutex> g(OpenersLock());
        auto it = Openers().find(prefix);
        if (it != Openers().end()) opener = it->second;
    }
    if (!opener) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto device = opener(upper, access, share);
    if (!device) return INVALID_HANDLE_VALUE;
    SetError(ERROR_SUCCESS);
    return NewHandle(std::move(device));
}

}  // namespace qrx

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    if (lpBytesReturned) *lpBytesReturned = 0;
    auto device = qrx::HandleAs<qrx::DeviceObject>(hDevice);
    if (!device) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD returned = 0;
    BOOL ok = device->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
    if (lpBytesReturned) *lpBytesReturned = returned;
    return ok;
}
