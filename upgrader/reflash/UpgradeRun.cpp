#include "UpgradeRun.h"

#include <cstdio>
#include <vector>

#include "upgrader/AppUpdate.h"
#include "upgrader/FlashPart.h"
#include "upgrader/FlashSteps.h"
#include "upgrader/PartArchive.h"

namespace {

void Log(const std::string& text) {
    std::u16string w(text.begin(), text.end());
    OutputDebugStringW(w.c_str());
}

// The application part's names, all of them, before anything is written: one unsafe name refuses
// the package.
bool AppPartAcceptable(const std::u16string& package, const FwPackageInfo& info) {
    std::vector<BYTE> part;
    int count = 0;
    HZIP zip = OpenPackagePart(package.c_str(), info.appOffset, info.appSize, part, count);
    if (!zip) return false;
    bool ok = true;
    ZipItemInfo item{};
    std::u16string relative;
    for (int i = 0; ok && i < count; ++i)
        ok = GetZipItem(zip, i, &item) == ZR_OK && item.unc_size >= 0 && AppEntryTarget(item.name, relative);
    CloseZip(zip);
    return ok;
}

// The marker tells the launcher that an upgrade is under way: it starts Reflash again while the
// package is on a card, or else the main program of \Windows, never the half-replaced one.
bool WriteMarker() {
    DeleteFileW(REFLASH_MARKER);
    HANDLE f = CreateFileW(REFLASH_MARKER, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    SYSTEMTIME t{};
    GetSystemTime(&t);
    char line[64];
    int n = std::snprintf(line, sizeof line, "%d-%d-%d;%d-%d-%d\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                          t.wSecond);
    DWORD written = 0;
    bool ok = WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr) && written == static_cast<DWORD>(n);
    ok = CloseHandle(f) && ok;
    if (!ok) DeleteFileW(REFLASH_MARKER);
    return ok;
}

// done bytes of total as piece done - 1 of total, so the step's share ends with the last byte.
void BytesProgress(StepProgress& p, ULONGLONG done, ULONGLONG total) {
    if (done > 0) p.Step(done - 1, total);
}

}  // namespace

int ReflashLanguageIndex(const WCHAR* commandLine) {
    if (!commandLine) return 0;
    while (*commandLine == u' ') ++commandLine;
    if (commandLine[0] < u'0' || commandLine[0] > u'9') return 0;
    const WCHAR* end = commandLine + 1;
    while (*end == u' ') ++end;
    return *end == 0 ? commandLine[0] - u'0' : 0;
}

std::u16string ReflashPackagePath(const UpgradeTarget& target) {
    return std::u16string(target.storeRoot) + u"\\" + REFLASH_PACKAGE_NAME;
}

int RunUpgrade(const std::u16string& package, const FwPackageInfo& info, const UpgradeTarget& target,
               const UpgradeHooks& hooks) {
    const bool flash = info.steps & FWSTEP_FLASH, app = info.steps & FWSTEP_APP;
    if (!flash && !app) return TEXT_BAD_PACKAGE;
    // Without the board revision the PMC variant would be a guess.
    if (flash && !target.revisionKnown) {
        Log("the board revision is unknown");
        return TEXT_FAILED;
    }
    StepProgress progress(hooks.progress);
    progress.Span(0, flash ? (app ? 20 : 30) : 0);
    FlashPlan plan;
    std::string why;
    if (flash) {
        FlashPartError e = ExtractFlashPart(package.c_str(), info, target.board, REFLASH_FLASH_STAGING, plan, why,
                                            [&](ULONGLONG done, ULONGLONG total) { BytesProgress(progress, done, total); });
        if (e != FlashPartError::None) {
            Log("Flash part: " + why);
            RemoveStagedFlashFiles(REFLASH_FLASH_STAGING);
            RemoveDirectoryW(REFLASH_FLASH_STAGING);
            return e == FlashPartError::Write ? TEXT_FAILED : TEXT_BAD_PACKAGE;
        }
    }
    if (app && !AppPartAcceptable(package, info)) {
        Log("Application part: unreadable or an unsafe name");
        RemoveStagedFlashFiles(REFLASH_FLASH_STAGING);
        RemoveDirectoryW(REFLASH_FLASH_STAGING);
        return TEXT_BAD_PACKAGE;
    }
    if (!WriteMarker()) {
        RemoveStagedFlashFiles(REFLASH_FLASH_STAGING);
        RemoveDirectoryW(REFLASH_FLASH_STAGING);
        return TEXT_NO_MARKER;
    }
    int failure = 0;
    if (flash) {
        std::string failed;
        if (!OsUpdate(plan, app, progress, hooks.pmc, failed)) {
            Log("Flash step failed: " + failed);
            failure = TEXT_FAILED;
        } else {
            Log("OS Update done");
        }
        RemoveStagedFlashFiles(REFLASH_FLASH_STAGING);
        RemoveDirectoryW(REFLASH_FLASH_STAGING);
    }
    if (app) {
        progress.Span(progress.End(), 100);
        AppUpdateError e = AppUpdate(package.c_str(), info, why,
                                     [&](ULONGLONG done, ULONGLONG total) { BytesProgress(progress, done, total); });
        if (e != AppUpdateError::None) {
            Log("Application part: " + why);
            if (!failure) failure = e == AppUpdateError::Package ? TEXT_BAD_PACKAGE : TEXT_FAILED;
        }
    }
    if (failure) return failure;
    progress.Span(100, 100);
    progress.ToEnd();
    DeleteFileW(REFLASH_MARKER);
    DeleteFileW(u"\\SD Card\\sos2.dat");
    DeleteFileW(u"\\Hard Disk\\sos2.dat");
    return 0;
}
