// The shell's file information (the small icon of a file's type) and icon objects.
#pragma once
#include "qrx/types.h"
#include "qrx/wingdi.h"
#include "qrx/winuser.h"

typedef struct _SHFILEINFOW {
    HICON hIcon;
    int iIcon;
    DWORD dwAttributes;
    WCHAR szDisplayName[MAX_PATH];
    WCHAR szTypeName[80];
} SHFILEINFOW;

#define SHGFI_LARGEICON 0x000
#define SHGFI_SMALLICON 0x001
#define SHGFI_USEFILEATTRIBUTES 0x010
#define SHGFI_ICON 0x100

#define DI_MASK 0x0001
#define DI_IMAGE 0x0002
#define DI_NORMAL 0x0003

// With SHGFI_ICON the caller owns psfi->hIcon and frees it with DestroyIcon. Without
// SHGFI_USEFILEATTRIBUTES the path must exist. Nonzero on success.
DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD dwFileAttributes, SHFILEINFOW* psfi, UINT cbFileInfo, UINT uFlags);
BOOL DestroyIcon(HICON hIcon);
// cx, cy 0: the icon's own size. hbrFlickerFreeDraw, when given, fills the rectangle first.
BOOL DrawIconEx(HDC hdc, int xLeft, int yTop, HICON hIcon, int cxWidth, int cyWidth, UINT istepIfAniCur,
                HBRUSH hbrFlickerFreeDraw, UINT diFlags);

#define SHGetFileInfo SHGetFileInfoW

// Host side: not part of the platform's API. Icons alive in this process, for leak checks in tests.
namespace qrx {
int LiveIconCount();
}  // namespace qrx
