// Images decoded from PNG members of the image archive: a memory stream with a file-like interface,
// and a device-independent bitmap with an optional alpha plane that draws blended, keyed and scaled.
#pragma once
#include <windows.h>

// A byte stream with the C library's file operations.
class CStream {
public:
    virtual ~CStream() = default;
    virtual void Close() = 0;
    // Whole items transferred.
    virtual DWORD Read(void* buffer, DWORD itemSize, DWORD count) = 0;
    virtual DWORD Write(const void* buffer, DWORD itemSize, DWORD count) = 0;
    // origin 0 start, 1 current, 2 end. 1 on success.
    virtual BOOL Seek(LONG offset, int origin) = 0;
    virtual LONG Tell() = 0;
    virtual LONG Size() = 0;
    virtual BOOL Flush() = 0;
    virtual BOOL Eof() = 0;
    virtual LONG Error() = 0;
    virtual BOOL PutC(BYTE c) = 0;
    virtual LONG GetC() = 0;
};

class CMemStream : public CStream {
public:
    // No buffer: nothing can be read or written.
    CMemStream();
    // An owned, zeroed buffer of capacity bytes holding no data yet.
    explicit CMemStream(DWORD capacity);
    // Over the caller's block: size = capacity = length, not owned. Growing past it moves the data
    // into an owned buffer and leaves the block as it was.
    CMemStream(void* block, DWORD length);
    ~CMemStream() override;
    CMemStream(const CMemStream&) = delete;
    CMemStream& operator=(const CMemStream&) = delete;

    void Close() override;
    DWORD Read(void* buffer, DWORD itemSize, DWORD count) override;
    DWORD Write(const void* buffer, DWORD itemSize, DWORD count) override;
    BOOL Seek(LONG offset, int origin) override;
    LONG Tell() override;
    LONG Size() override;
    BOOL Flush() override;
    BOOL Eof() override;
    LONG Error() override;
    BOOL PutC(BYTE c) override;
    LONG GetC() override;

    BYTE* GetBuffer() const { return m_pBuffer; }
    DWORD GetCapacity() const { return m_dwCapacity; }
    bool OwnsBuffer() const { return m_bOwned; }

private:
    bool Reserve(DWORD needed);

    BYTE* m_pBuffer;
    DWORD m_dwSize;
    DWORD m_dwPosition;
    DWORD m_dwCapacity;
    bool m_bOwned;
};

// Image types of Decode; only PNG is decoded here.
enum { DIBIMAGE_PNG = 0 };

class CDibImage {
public:
    CDibImage();
    // Decodes size bytes of buffer as type; buffer is only read.
    CDibImage(const void* buffer, DWORD size, int type);
    virtual ~CDibImage();
    CDibImage(const CDibImage&) = delete;
    CDibImage& operator=(const CDibImage&) = delete;

    // 1 when the image was decoded and now holds it; 0 with the reason in GetLastErrorText.
    BOOL Decode(CStream* stream, int type);
    // A cleared image of the depth bits chooses (1, 4, 8 or 24); null when too large or out of memory.
    BYTE* Create(LONG width, LONG height, int bits, int type);
    void Destroy();

    BOOL IsValid() const { return m_pDib != nullptr; }
    LONG GetWidth() const { return m_head.biWidth; }
    LONG GetHeight() const { return m_head.biHeight; }
    int GetBpp() const { return m_head.biBitCount; }
    DWORD GetLineBytes() const { return m_dwLineBytes; }
    int GetNumColors() const { return m_nColors; }
    const BITMAPINFOHEADER& GetHeader() const { return m_head; }
    // Rows bottom-up, each GetLineBytes long.
    BYTE* GetBits() const { return m_pBits; }
    const BITMAPINFO* GetBitmapInfo() const { return reinterpret_cast<const BITMAPINFO*>(m_pDib); }
    int GetType() const { return m_nType; }
    const char* GetLastErrorText() const { return m_szLastError; }

    // Palette.
    void SetPaletteColor(int index, BYTE red, BYTE green, BYTE blue, BYTE alpha = 0);
    RGBQUAD GetPaletteColor(int index) const;
    // count RGB triples.
    void SetPalette(const BYTE* rgb, int count);
    void SetGrayPalette();
    BOOL IsPaletteAlpha() const { return m_bPaletteAlpha; }
    void SetPaletteAlpha(BOOL on) { m_bPaletteAlpha = on != 0; }

    // Rows count from the bottom, as the DIB stores them.
    BYTE GetPixelIndex(LONG x, LONG y) const;

    // -1 none.
    int GetTransIndex() const { return m_nTransIndex; }
    void SetTransIndex(int index) { m_nTransIndex = index; }
    // The key of images without a palette while a transparent index is set.
    COLORREF GetTransColor() const { return m_transColor; }
    void SetTransColor(COLORREF color) { m_transColor = color; }
    BYTE GetAlphaMax() const { return m_alphaMax; }
    void SetAlphaMax(BYTE value) { m_alphaMax = value; }

    // The alpha plane: width x height bytes, rows bottom-up like the pixels.
    BOOL AlphaCreate();
    void AlphaDelete();
    BOOL HasAlpha() const { return m_pAlpha != nullptr; }
    void AlphaSet(LONG x, LONG y, BYTE value);
    BYTE AlphaGet(LONG x, LONG y) const;

    BOOL IsEnabled() const { return m_bEnabled; }
    void Enable(BOOL on) { m_bEnabled = on != 0; }

    // width or height below 0: the image's own. 1 when drawn.
    BOOL Draw(HDC dc, LONG x, LONG y, LONG width = -1, LONG height = -1) const;

    void SetXDpi(LONG dpi);
    void SetYDpi(LONG dpi);
    LONG GetXDpi() const { return m_xDpi; }
    LONG GetYDpi() const { return m_yDpi; }

    // Decoding caps every dimension and the pixel count, so that hostile headers cannot exhaust memory.
    static constexpr LONG kMaxSide = 8192;
    static constexpr DWORD kMaxPixels = 16u * 1024u * 1024u;

private:
    friend struct PngDecoder;
    void Clear();
    void MoveFrom(CDibImage& other);
    void SetLastErrorText(const char* text);
    BOOL DrawOpaqueScaled(HDC dc, const RECT& dest, const RECT& clip) const;
    BOOL DrawBlended(HDC dc, const RECT& dest, const RECT& clip) const;
    // The image row shown at top-down row r of a destination h rows tall, and the column at c of w.
    void SampleMaps(const RECT& dest, const RECT& part, LONG* columns, LONG* rows) const;

    BYTE* m_pDib;  // header, palette and rows in one block
    BYTE* m_pBits;
    RGBQUAD* m_pPalette;
    BITMAPINFOHEADER m_head;
    DWORD m_dwLineBytes;
    int m_nColors;
    int m_nTransIndex;
    COLORREF m_transColor;
    BYTE m_alphaMax;
    bool m_bPaletteAlpha;
    bool m_bEnabled;
    BYTE* m_pAlpha;
    int m_nType;
    LONG m_xDpi;
    LONG m_yDpi;
    char m_szLastError[256];
};
