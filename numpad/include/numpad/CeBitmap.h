// One picture kept ready for fast drawing: a bitmap of the display's format selected into its own
// memory DC. Loaded from a module's bitmap resource or from a BMP file image in memory (pictures
// taken out of archives on storage: every read is bounded by the buffer's length).
#pragma once
#include <windows.h>

// Pixels of this colour are left out by a transparent draw.
#define CEBITMAP_KEY_COLOUR RGB(9, 9, 9)
// Largest side of a picture read from memory.
#define CEBITMAP_MAX_SIDE 4096

class CCeBitmap {
public:
    CCeBitmap();
    virtual ~CCeBitmap();
    CCeBitmap(const CCeBitmap&) = delete;
    CCeBitmap& operator=(const CCeBitmap&) = delete;

    void Free();
    // 1, or 0 with the object as it was.
    int LoadResource(HINSTANCE hInstance, HDC hRefDC, UINT id);
    int LoadFromMemory(const BYTE* data, DWORD size);
    // The whole picture at the rectangle's top-left, cut to its size; transparent: without the
    // pixels of CEBITMAP_KEY_COLOUR.
    void Draw(HDC hDC, const RECT* rc, int transparent) const;
    // The rectangle's size from the picture's point (srcX, srcY) to the rectangle's place.
    void DrawPart(HDC hDC, const RECT* rc, int srcX, int srcY) const;

    HDC GetDC() const { return m_hDC; }
    int GetWidth() const { return m_nWidth; }
    int GetHeight() const { return m_nHeight; }
    BOOL IsEmpty() const { return m_hDC == nullptr; }

private:
    // Takes over a DC with its selected bitmap, releasing the picture before.
    void Adopt(HDC dc, HBITMAP bitmap, HGDIOBJ old, int width, int height);

    HDC m_hDC;
    HBITMAP m_hBitmap;
    HGDIOBJ m_hOldBitmap;
    int m_nWidth;
    int m_nHeight;
};
