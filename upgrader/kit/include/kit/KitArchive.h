// The program's own image archive, a zip compiled in as resource RCDATA 4 and read from memory.
#pragma once
#include <windows.h>

#include <vector>

#include "numpad/CeBitmap.h"
#include "ui/DibImage.h"
#include "ui/ZipArchive.h"

#define KIT_ARCHIVE_RESOURCE 4
#define KIT_MEMBER_MAX (16u * 1024u * 1024u)  // largest picture member read

class CKitArchive {
public:
    CKitArchive();
    ~CKitArchive();
    CKitArchive(const CKitArchive&) = delete;
    CKitArchive& operator=(const CKitArchive&) = delete;

    // The RCDATA resource id of module (null: the program). 1 when it opened as an archive.
    BOOL Open(HMODULE module = nullptr, int id = KIT_ARCHIVE_RESOURCE);
    // An archive in memory the caller keeps while this is open.
    BOOL OpenMemory(const void* data, DWORD size);
    void Close();
    BOOL IsOpen() const { return m_hZip != nullptr; }

    // The member's bytes (name case-insensitive); 0 and out empty when missing, too large or damaged.
    BOOL Read(const WCHAR* name, std::vector<BYTE>& out);
    // Decoded into bitmap (BMP) or image (PNG); a missing or bad member leaves it empty and gives 0.
    BOOL LoadBitmap(const WCHAR* name, CCeBitmap& bitmap);
    BOOL LoadImage(const WCHAR* name, CDibImage& image);

private:
    HZIP m_hZip;
    // One buffer for the members decoded in turn: a full screen's pages are touched once, not per picture.
    std::vector<BYTE> m_member;
};
