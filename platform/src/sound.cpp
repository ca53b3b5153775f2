// Sounds: there is no wave output here, so a played file is recorded where tests can read it.
#include <sys/stat.h>

#include "internal.h"
#include "qrx/mmsystem.h"
#include "qrx/wstr.h"

namespace {
// Code of the record: 1 a file played, 0 the sound stopped.
constexpr DWORD kPlayed = 1;
constexpr DWORD kStopped = 0;
}  // namespace

BOOL sndPlaySoundW(LPCWSTR lpszSound, UINT fuSound) {
    if (!lpszSound) {  // stops the sound that plays
        qrx::RecordDeviceControl("WAV", kStopped, nullptr, 0);
        return TRUE;
    }
    if (fuSound & SND_MEMORY) {
        qrx::SetError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string host;
    struct stat st;
    if (!qrx::MapDevicePath(lpszSound, host) || stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        qrx::SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string path = qrx::ToUtf8(lpszSound);
    return qrx::RecordDeviceControl("WAV", kPlayed, reinterpret_cast<const BYTE*>(path.data()),
                                    static_cast<DWORD>(path.size()))
               ? TRUE
               : FALSE;
}
