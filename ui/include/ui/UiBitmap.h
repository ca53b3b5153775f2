// The image object of every control and panel: a bitmap or PNG member of the image archive, or a
// BMP file on disk, drawn whole, stretched, in parts or cropped, with a colour key for plain bitmaps
// and alpha blending for PNG images.
#pragma once
#include <windows.h>

#include <ui/ZipArchive.h>

class CDibImage;

class CUiBitmap {
public:
    CUiBitmap();
    virtual ~CUiBitmap();
    CUiBitmap(const CUiBitmap&) = delete;
    CUiBitmap& operator=(const CUiBitmap&) = delete;

    void Free();
    // >= 0 loaded, -1 failed.
    int Load(const WCHAR* name);
    // Only names ending in ".bmp", from disk.
    BOOL LoadBmpIfBmp(const WCHAR* name);
    // Takes ownership of a device bitmap; it is drawn instead of any bits.
    void AttachBitmap(HBITMAP bitmap);
    HBITMAP GetBitmapHandle() const { return m_hBitmap; }

    // out: MAX_PATH characters.
    void GetName(WCHAR* out) const;
    const WCHAR* GetName() const { return m_szName; }
    // 0 when both names are equal without regard to case; 1 without other.
    int CompareName(const CUiBitmap* other) const;

    void SetTransparent(BOOL on, COLORREF key);
    BOOL IsTransparent() const { return m_bTransparent; }
    COLORREF GetTransparentColor() const { return m_crKey; }
    // 1 while the object holds an image loaded from PNG data.
    BOOL IsAlpha() const { return m_bAlpha; }
    const CDibImage* GetAlphaImage() const { return m_pAlphaImage; }

    LONG GetWidth() const { return m_nWidth; }
    LONG GetHeight() const { return m_nHeight; }
    DWORD GetBitsSize() const { return m_pBits ? m_dwBitsSize : 0; }
    int GetNumColors() const;
    const BITMAPINFO* GetBitmapInfo() const { return m_pInfo; }
    const BYTE* GetBits() const { return m_pBits; }

    BOOL Draw(HDC dc, LONG x, LONG y);
    BOOL DrawStretch(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH);
    BOOL DrawPart(HDC dc, LONG x, LONG y, LONG srcX, LONG srcY, LONG w, LONG h);
    BOOL DrawSameRect(HDC dc, LONG x, LONG y, LONG w, LONG h);
    BOOL DrawCropped(HDC dc, LONG x, LONG y, LONG w);
    // The image at x, y at its own size, only the part inside clip; alpha images too.
    BOOL DrawClipped(HDC dc, LONG x, LONG y, const RECT& clip);

    // Shrinks width x height, keeping the aspect ratio, until it fits the maximum. 0 for sizes or
    // maxima below 1.
    static BOOL FitToBox(LONG* width, LONG* height, LONG maxWidth, LONG maxHeight);

    // Decoding the BMP layout on its own (archive member or file bytes): -1 when the data are not a
    // bitmap this object can hold.
    int LoadBmpData(const BYTE* data, DWORD size, const WCHAR* name);

    // Largest BMP side and file accepted.
    static constexpr LONG kMaxSide = 8192;
    static constexpr DWORD kMaxFileSize = 64u * 1024u * 1024u;

private:
    int LoadPngMember(const ZipItemInfo& item, int index, const WCHAR* name);
    int LoadArchiveBmp(const ZipItemInfo& item, int index, const WCHAR* name);
    int LoadBmpFile(const WCHAR* path, const WCHAR* name);
    void FreeLocked();
    BOOL DrawKeyed(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH);
    BOOL DrawKeyedPalette(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH);
    BOOL DrawKeyedRgb(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH);
    BOOL DrawCopy(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH, DWORD rop,
                  const BITMAPINFO* info, const BYTE* bits);
    BOOL DrawPlain(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH);

    CDibImage* m_pAlphaImage;
    BOOL m_bAlpha;
    CRITICAL_SECTION m_cs;
    HBITMAP m_hBitmap;
    BITMAPINFO* m_pInfo;
    DWORD m_dwInfoSize;
    BYTE* m_pBits;
    DWORD m_dwBitsSize;
    LONG m_nWidth;
    LONG m_nHeight;
    WCHAR m_szName[MAX_PATH];
    BOOL m_bTransparent;
    COLORREF m_crKey;
};
