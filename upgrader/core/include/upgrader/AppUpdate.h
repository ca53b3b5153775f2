// The application part: its "Application Data/" entries replace the files of "\NAND Flash". Every
// name is checked and every entry inflated into a staging folder on the same store before the first
// file is replaced; each replace is a rename. Fonts already there are kept.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "upgrader/FwHeader.h"

#define APP_DATA_PREFIX "Application Data/"

enum class AppUpdateError {
    None,
    Package,  // the part is unreadable or no archive, or a name is unsafe: nothing was changed
    Extract,  // an entry does not inflate whole, or the staging folder cannot be written: nothing changed
    Replace,  // a staged file could not take its place
};

// The target below "\NAND Flash" of an entry name, "" when the entry is not for it; false for a name
// that would leave the folder ("..", a leading separator, a drive, an empty component).
bool AppEntryTarget(const WCHAR* entry, std::u16string& relative);

AppUpdateError AppUpdate(const WCHAR* package, const FwPackageInfo& info, std::string& why,
                         const std::function<void(ULONGLONG, ULONGLONG)>& progress = {});
