#include "kit/KitArchive.h"

#include <cstring>

CKitArchive::CKitArchive() : m_hZip(nullptr) {}

CKitArchive::~CKitArchive() { Close(); }

void CKitArchive::Close() {
    if (m_hZip) CloseZip(m_hZip);
    m_hZip = nullptr;
}

BOOL CKitArchive::Open(HMODULE module, int id) {
    Close();
    if (!module) module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return FALSE;
    return OpenMemory(data, SizeofResource(module, found));
}

BOOL CKitArchive::OpenMemory(const void* data, DWORD size) {
    Close();
    if (!data || size == 0) return FALSE;
    m_hZip = OpenZipMemory(data, size, nullptr);
    return m_hZip ? TRUE : FALSE;
}

BOOL CKitArchive::Read(const WCHAR* name, std::vector<BYTE>& out) {
    out.clear();
    if (!m_hZip || !name) return FALSE;
    ZipItemInfo item{};
    int index = -1;
    DWORD result = FindZipItem(m_hZip, name, true, &index, &item);
    if (result == ZR_OK && (item.unc_size <= 0 || static_cast<DWORD>(item.unc_size) > KIT_MEMBER_MAX))
        result = ZR_CORRUPT;
    if (result == ZR_OK) {
        out.resize(static_cast<size_t>(item.unc_size));
        result = UnzipZipItem(m_hZip, index, out.data(), static_cast<DWORD>(out.size()), 3);
    }
    if (result == ZR_OK) return TRUE;
    // The picture stays empty; the log says which one and why.
    out.clear();
    WCHAR line[MAX_PATH + 64];
    swprintf(line, MAX_PATH + 64, u"CKitArchive : %s : 0x%08X\r\n", name, static_cast<unsigned>(result));
    OutputDebugStringW(line);
    return FALSE;
}

BOOL CKitArchive::LoadBitmap(const WCHAR* name, CCeBitmap& bitmap) {
    std::vector<BYTE>& data = m_member;
    if (Read(name, data) && bitmap.LoadFromMemory(data.data(), static_cast<DWORD>(data.size()))) return TRUE;
    bitmap.Free();
    return FALSE;
}

BOOL CKitArchive::LoadImage(const WCHAR* name, CDibImage& image) {
    std::vector<BYTE>& data = m_member;
    if (Read(name, data)) {
        CMemStream stream(data.data(), static_cast<DWORD>(data.size()));
        if (image.Decode(&stream, DIBIMAGE_PNG)) return TRUE;
    }
    image.Destroy();
    return FALSE;
}
