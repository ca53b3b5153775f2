#include "ui/DibImage.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------------------------
// CMemStream

namespace {
constexpr DWORD kGrowStep = 4096;
// Positions are reported as LONG, so no stream grows past what that can express.
constexpr DWORD kMaxStreamSize = 0x7FFFFFFFu;
}  // namespace

CMemStream::CMemStream() : m_pBuffer(nullptr), m_dwSize(0), m_dwPosition(0), m_dwCapacity(0), m_bOwned(false) {}

CMemStream::CMemStream(DWORD capacity) : CMemStream() {
    if (capacity == 0 || capacity > kMaxStreamSize) return;
    m_pBuffer = static_cast<BYTE*>(calloc(capacity, 1));
    if (!m_pBuffer) return;
    m_dwCapacity = capacity;
    m_bOwned = true;
}

CMemStream::CMemStream(void* block, DWORD length) : CMemStream() {
    if (!block || length > kMaxStreamSize) return;
    m_pBuffer = static_cast<BYTE*>(block);
    m_dwSize = m_dwCapacity = length;
}

CMemStream::~CMemStream() { Close(); }

void CMemStream::Close() {
    if (m_bOwned) free(m_pBuffer);
    m_pBuffer = nullptr;
    m_bOwned = false;
    m_dwSize = m_dwPosition = m_dwCapacity = 0;
}

bool CMemStream::Reserve(DWORD needed) {
    if (needed <= m_dwCapacity && m_pBuffer) return true;
    if (needed > kMaxStreamSize) return false;
    ULONGLONG steps = (static_cast<ULONGLONG>(needed) - m_dwCapacity + kGrowStep - 1) / kGrowStep;
    ULONGLONG grown = m_dwCapacity + steps * kGrowStep;
    if (grown > kMaxStreamSize) grown = kMaxStreamSize;
    BYTE* buffer;
    if (m_bOwned) {
        buffer = static_cast<BYTE*>(realloc(m_pBuffer, static_cast<size_t>(grown)));
        if (!buffer) return false;
    } else {
        // The caller's block is neither resized nor freed: its data move into a buffer of our own.
        buffer = static_cast<BYTE*>(malloc(static_cast<size_t>(grown)));
        if (!buffer) return false;
        if (m_pBuffer && m_dwCapacity) memcpy(buffer, m_pBuffer, m_dwCapacity);
    }
    memset(buffer + m_dwCapacity, 0, static_cast<size_t>(grown - m_dwCapacity));
    m_pBuffer = buffer;
    m_dwCapacity = static_cast<DWORD>(grown);
    m_bOwned = true;
    return true;
}

DWORD CMemStream::Read(void* buffer, DWORD itemSize, DWORD count) {
    if (!m_pBuffer || !buffer || itemSize == 0 || m_dwPosition >= m_dwSize) return 0;
    ULONGLONG wanted = static_cast<ULONGLONG>(itemSize) * count;
    DWORD bytes = static_cast<DWORD>(std::min<ULONGLONG>(wanted, m_dwSize - m_dwPosition));
    memcpy(buffer, m_pBuffer + m_dwPosition, bytes);
    m_dwPosition += bytes;
    return bytes / itemSize;
}

DWORD CMemStream::Write(const void* buffer, DWORD itemSize, DWORD count) {
    if (!m_pBuffer || !buffer || itemSize == 0 || count == 0) return 0;
    ULONGLONG bytes = static_cast<ULONGLONG>(itemSize) * count;
    ULONGLONG end = m_dwPosition + bytes;
    if (end > kMaxStreamSize || !Reserve(static_cast<DWORD>(end))) return 0;
    memmove(m_pBuffer + m_dwPosition, buffer, static_cast<size_t>(bytes));
    m_dwPosition = static_cast<DWORD>(end);
    if (m_dwPosition > m_dwSize) m_dwSize = m_dwPosition;
    return count;
}

BOOL CMemStream::Seek(LONG offset, int origin) {
    if (!m_pBuffer) return 0;
    LONGLONG base;
    switch (origin) {
        case 0: base = 0; break;
        case 1: base = m_dwPosition; break;
        case 2: base = m_dwSize; break;
        default: return 0;
    }
    LONGLONG target = base + offset;
    if (target < 0 || target > static_cast<LONGLONG>(kMaxStreamSize)) return 0;
    m_dwPosition = static_cast<DWORD>(target);
    return 1;
}

LONG CMemStream::Tell() { return m_pBuffer ? static_cast<LONG>(m_dwPosition) : -1; }
LONG CMemStream::Size() { return m_pBuffer ? static_cast<LONG>(m_dwSize) : -1; }
BOOL CMemStream::Flush() { return m_pBuffer ? 1 : 0; }
BOOL CMemStream::Eof() { return (!m_pBuffer || m_dwPosition >= m_dwSize) ? 1 : 0; }
LONG CMemStream::Error() {
    if (!m_pBuffer) return -1;
    return m_dwPosition > m_dwSize ? 1 : 0;
}

BOOL CMemStream::PutC(BYTE c) {
    if (!m_pBuffer) return 0;
    return Write(&c, 1, 1) == 1 ? 1 : 0;
}

LONG CMemStream::GetC() {
    if (!m_pBuffer || m_dwPosition >= m_dwSize) return -1;
    return m_pBuffer[m_dwPosition++];
}

// ---------------------------------------------------------------------------------------------
// CDibImage: the object

namespace {
constexpr double kInchesPerMetre = 39.37007874015748;
LONG PelsPerMetre(LONG dpi) { return static_cast<LONG>(std::lround(dpi * kInchesPerMetre)); }
}  // namespace

CDibImage::CDibImage()
    : m_pDib(nullptr),
      m_pBits(nullptr),
      m_pPalette(nullptr),
      m_head{},
      m_dwLineBytes(0),
      m_nColors(0),
      m_nTransIndex(-1),
      m_transColor(0),
      m_alphaMax(255),
      m_bPaletteAlpha(false),
      m_bEnabled(true),
      m_pAlpha(nullptr),
      m_nType(DIBIMAGE_PNG),
      m_xDpi(72),
      m_yDpi(72),
      m_szLastError{} {
    m_head.biXPelsPerMeter = PelsPerMetre(m_xDpi);
    m_head.biYPelsPerMeter = PelsPerMetre(m_yDpi);
}

CDibImage::CDibImage(const void* buffer, DWORD size, int type) : CDibImage() {
    // Decoding only reads, so the caller's constant bytes are never written through this stream.
    CMemStream stream(const_cast<void*>(buffer), size);
    Decode(&stream, type);
}

CDibImage::~CDibImage() { Destroy(); }

void CDibImage::Destroy() {
    free(m_pDib);
    free(m_pAlpha);
    m_pDib = m_pBits = nullptr;
    m_pPalette = nullptr;
    m_pAlpha = nullptr;
    m_dwLineBytes = 0;
    m_nColors = 0;
    m_head.biWidth = m_head.biHeight = 0;
    m_head.biBitCount = 0;
    m_head.biSizeImage = 0;
    m_head.biClrUsed = 0;
}

void CDibImage::SetLastErrorText(const char* text) {
    size_t n = text ? strnlen(text, sizeof m_szLastError - 1) : 0;
    if (n) memcpy(m_szLastError, text, n);
    m_szLastError[n] = 0;
}

BYTE* CDibImage::Create(LONG width, LONG height, int bits, int type) {
    Destroy();
    m_bPaletteAlpha = false;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        static_cast<ULONGLONG>(width) * static_cast<ULONGLONG>(height) > kMaxPixels)
        return nullptr;
    int bpp, colors;
    if (bits < 2) {
        bpp = 1;
        colors = 2;
    } else if (bits < 5) {
        bpp = 4;
        colors = 16;
    } else if (bits < 9) {
        bpp = 8;
        colors = 256;
    } else {
        bpp = 24;
        colors = 0;
    }
    ULONGLONG line = (static_cast<ULONGLONG>(width) * bpp + 31) / 32 * 4;
    ULONGLONG image = line * static_cast<ULONGLONG>(height);
    ULONGLONG total = sizeof(BITMAPINFOHEADER) + 4ull * colors + image;
    BYTE* block = static_cast<BYTE*>(calloc(static_cast<size_t>(total), 1));
    if (!block) return nullptr;
    m_pDib = block;
    m_pPalette = reinterpret_cast<RGBQUAD*>(block + sizeof(BITMAPINFOHEADER));
    m_pBits = block + sizeof(BITMAPINFOHEADER) + 4 * colors;
    m_dwLineBytes = static_cast<DWORD>(line);
    m_nColors = colors;
    m_nType = type;
    m_head.biSize = sizeof(BITMAPINFOHEADER);
    m_head.biWidth = width;
    m_head.biHeight = height;
    m_head.biPlanes = 1;
    m_head.biBitCount = static_cast<WORD>(bpp);
    m_head.biCompression = BI_RGB;
    m_head.biSizeImage = static_cast<DWORD>(image);
    m_head.biXPelsPerMeter = PelsPerMetre(m_xDpi);
    m_head.biYPelsPerMeter = PelsPerMetre(m_yDpi);
    m_head.biClrUsed = static_cast<DWORD>(colors);
    m_head.biClrImportant = 0;
    memcpy(m_pDib, &m_head, sizeof m_head);
    return m_pDib;
}

void CDibImage::SetXDpi(LONG dpi) {
    m_xDpi = dpi;
    m_head.biXPelsPerMeter = PelsPerMetre(dpi);
    if (m_pDib) memcpy(m_pDib, &m_head, sizeof m_head);
}

void CDibImage::SetYDpi(LONG dpi) {
    m_yDpi = dpi;
    m_head.biYPelsPerMeter = PelsPerMetre(dpi);
    if (m_pDib) memcpy(m_pDib, &m_head, sizeof m_head);
}

void CDibImage::SetPaletteColor(int index, BYTE red, BYTE green, BYTE blue, BYTE alpha) {
    if (!m_pPalette || index < 0 || index >= m_nColors) return;
    m_pPalette[index] = RGBQUAD{blue, green, red, alpha};
}

RGBQUAD CDibImage::GetPaletteColor(int index) const {
    if (!m_pPalette || index < 0 || index >= m_nColors) return RGBQUAD{0, 0, 0, 0};
    return m_pPalette[index];
}

void CDibImage::SetPalette(const BYTE* rgb, int count) {
    if (!m_pPalette || !rgb) return;
    count = std::min(count, m_nColors);
    for (int i = 0; i < count; ++i) m_pPalette[i] = RGBQUAD{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
}

void CDibImage::SetGrayPalette() {
    if (!m_pPalette || m_nColors < 2) return;
    for (int i = 0; i < m_nColors; ++i) {
        BYTE v = static_cast<BYTE>(i * 255 / (m_nColors - 1));
        m_pPalette[i] = RGBQUAD{v, v, v, 0};
    }
}

BYTE CDibImage::GetPixelIndex(LONG x, LONG y) const {
    if (!m_pBits || x < 0 || y < 0 || x >= m_head.biWidth || y >= m_head.biHeight)
        return static_cast<BYTE>(m_nTransIndex < 0 ? 0 : m_nTransIndex);
    const BYTE* row = m_pBits + static_cast<size_t>(y) * m_dwLineBytes;
    switch (m_head.biBitCount) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
        case 8: return row[x];
        default: return 0;
    }
}

BOOL CDibImage::AlphaCreate() {
    if (!m_pDib) return 0;
    size_t n = static_cast<size_t>(m_head.biWidth) * static_cast<size_t>(m_head.biHeight);
    BYTE* plane = static_cast<BYTE*>(calloc(n, 1));
    if (!plane) return 0;
    free(m_pAlpha);
    m_pAlpha = plane;
    return 1;
}

void CDibImage::AlphaDelete() {
    free(m_pAlpha);
    m_pAlpha = nullptr;
}

void CDibImage::AlphaSet(LONG x, LONG y, BYTE value) {
    if (!m_pAlpha || x < 0 || y < 0 || x >= m_head.biWidth || y >= m_head.biHeight) return;
    m_pAlpha[static_cast<size_t>(y) * m_head.biWidth + x] = value;
}

BYTE CDibImage::AlphaGet(LONG x, LONG y) const {
    if (!m_pAlpha || x < 0 || y < 0 || x >= m_head.biWidth || y >= m_head.biHeight) return 0;
    return m_pAlpha[static_cast<size_t>(y) * m_head.biWidth + x];
}

void CDibImage::MoveFrom(CDibImage& other) {
    Destroy();
    m_pDib = other.m_pDib;
    m_pBits = other.m_pBits;
    m_pPalette = other.m_pPalette;
    m_head = other.m_head;
    m_dwLineBytes = other.m_dwLineBytes;
    m_nColors = other.m_nColors;
    m_nTransIndex = other.m_nTransIndex;
    m_transColor = other.m_transColor;
    m_bPaletteAlpha = other.m_bPaletteAlpha;
    m_pAlpha = other.m_pAlpha;
    m_nType = other.m_nType;
    other.m_pDib = other.m_pBits = nullptr;
    other.m_pPalette = nullptr;
    other.m_pAlpha = nullptr;
    SetXDpi(m_xDpi);
    SetYDpi(m_yDpi);
}

// ---------------------------------------------------------------------------------------------
// PNG decoding

// Everything that must be released when libpng jumps back on an error lives here, on the heap, so
// that nothing the jump skips needs destroying and no local changes between setjmp and longjmp.
struct PngDecoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    CStream* stream = nullptr;
    CDibImage* image = nullptr;
    BYTE* rows = nullptr;
    char message[256] = {};

    static void OnError(png_structp png, png_const_charp text);
    static void OnWarning(png_structp, png_const_charp) {}
    static void OnRead(png_structp png, png_bytep data, size_t length);

    // May leave through longjmp: holds nothing that needs destroying.
    void ReadImage();
    void StoreRow(const BYTE* src, LONG top, int outChannels, int outDepth);
    void Release();
};

void PngDecoder::OnError(png_structp png, png_const_charp text) {
    auto* self = static_cast<PngDecoder*>(png_get_error_ptr(png));
    size_t n = text ? strnlen(text, sizeof self->message - 1) : 0;
    if (n) memcpy(self->message, text, n);
    self->message[n] = 0;
    png_longjmp(png, 1);
}

void PngDecoder::OnRead(png_structp png, png_bytep data, size_t length) {
    auto* self = static_cast<PngDecoder*>(png_get_io_ptr(png));
    if (length > 0xFFFFFFFFu || self->stream->Read(data, 1, static_cast<DWORD>(length)) != length)
        png_error(png, "Read Error");
}

void PngDecoder::Release() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    png = nullptr;
    info = nullptr;
    free(rows);
    rows = nullptr;
    delete image;
    image = nullptr;
}

// One row as libpng delivers it, top-down row index top, into the bottom-up DIB and alpha plane.
void PngDecoder::StoreRow(const BYTE* src, LONG top, int outChannels, int outDepth) {
    CDibImage& im = *image;
    LONG width = im.m_head.biWidth;
    LONG row = im.m_head.biHeight - 1 - top;
    BYTE* dst = im.m_pBits + static_cast<size_t>(row) * im.m_dwLineBytes;
    if (outChannels == 1) {
        if (outDepth == 2) {
            // Two-bit pixels widen to nibbles: the DIB has no two-bit depth.
            for (LONG x = 0; x < width; ++x) {
                BYTE v = (src[x >> 2] >> (6 - 2 * (x & 3))) & 3;
                BYTE& d = dst[x >> 1];
                d = (x & 1) ? static_cast<BYTE>((d & 0xF0) | v) : static_cast<BYTE>((d & 0x0F) | (v << 4));
            }
        } else {
            memcpy(dst, src, (static_cast<size_t>(width) * outDepth + 7) / 8);
        }
        return;
    }
    if (outChannels == 3) {
        memcpy(dst, src, static_cast<size_t>(width) * 3);
        return;
    }
    BYTE* alpha = im.m_pAlpha ? im.m_pAlpha + static_cast<size_t>(row) * width : nullptr;
    for (LONG x = 0; x < width; ++x) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        if (alpha) alpha[x] = src[3];
        dst += 3;
        src += 4;
    }
}

void PngDecoder::ReadImage() {
    png_set_read_fn(png, this, OnRead);
    png_set_user_limits(png, CDibImage::kMaxSide, CDibImage::kMaxSide);
    png_read_info(png, info);

    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    int depth = png_get_bit_depth(png, info);
    int colorType = png_get_color_type(png, info);
    int channels = png_get_channels(png, info);
    int pixelDepth = depth * channels;
    if (width == 0 || height == 0 || width > static_cast<png_uint_32>(CDibImage::kMaxSide) ||
        height > static_cast<png_uint_32>(CDibImage::kMaxSide) ||
        static_cast<ULONGLONG>(width) * height > CDibImage::kMaxPixels)
        png_error(png, "Image too large");

    // The file's own palette and transparency, before the background transform rewrites the
    // palette: translucent entries are blended when drawn, not composed over grey here.
    png_colorp filePalette = nullptr;
    int filePaletteCount = 0;
    png_bytep transAlpha = nullptr;
    int transCount = 0;
    png_color_16p transColor = nullptr;
    BYTE palette[256 * 3] = {};
    BYTE paletteAlpha[256];
    memset(paletteAlpha, 255, sizeof paletteAlpha);
    bool hasTrans = false;
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        if (png_get_PLTE(png, info, &filePalette, &filePaletteCount) && filePalette) {
            filePaletteCount = std::clamp(filePaletteCount, 0, 256);
            for (int i = 0; i < filePaletteCount; ++i) {
                palette[3 * i] = filePalette[i].red;
                palette[3 * i + 1] = filePalette[i].green;
                palette[3 * i + 2] = filePalette[i].blue;
            }
        } else {
            filePaletteCount = 0;
        }
        if (png_get_tRNS(png, info, &transAlpha, &transCount, &transColor) && transAlpha && transCount > 0) {
            transCount = std::min(transCount, 256);
            memcpy(paletteAlpha, transAlpha, static_cast<size_t>(transCount));
            hasTrans = true;
        }
    }

    if (pixelDepth != 32) {
        png_color_16p fileBackground = nullptr;
        if (png_get_bKGD(png, info, &fileBackground) && fileBackground) {
            png_set_background(png, fileBackground, PNG_BACKGROUND_GAMMA_FILE, 1, 1.0);
        } else {
            png_color_16 grey{};
            grey.red = grey.green = grey.blue = 192;
            // Low-depth grey is composed in its packed form, so the grey must be in that depth.
            grey.gray = depth < 8 ? static_cast<png_uint_16>((192 * ((1 << depth) - 1) + 127) / 255) : 192;
            png_set_background(png, &grey, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
        }
        if (colorType & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
    }
    if (depth == 16) png_set_strip_16(png);
    bool withAlpha = colorType == PNG_COLOR_TYPE_RGB_ALPHA || (colorType == PNG_COLOR_TYPE_GRAY_ALPHA && pixelDepth == 32);
    if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA && pixelDepth == 32) png_set_gray_to_rgb(png);
    if (withAlpha) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    if (colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    int bits = pixelDepth == 16 ? 8 : pixelDepth > 16 ? 24 : pixelDepth;
    CDibImage& im = *image;
    if (!im.Create(static_cast<LONG>(width), static_cast<LONG>(height), bits, DIBIMAGE_PNG))
        png_error(png, "Out of memory");

    // What libpng now delivers must be exactly what the DIB holds.
    int outDepth = png_get_bit_depth(png, info);
    int outChannels = png_get_channels(png, info);
    size_t rowBytes = png_get_rowbytes(png, info);
    bool shapeOk;
    if (im.GetBpp() == 24)
        shapeOk = outDepth == 8 && (withAlpha ? outChannels == 4 : outChannels == 3);
    else
        shapeOk = outChannels == 1 && outDepth == std::min(depth, 8);
    if (!shapeOk || rowBytes == 0 || rowBytes < (static_cast<size_t>(width) * outChannels * outDepth + 7) / 8)
        png_error(png, "Unsupported pixel format");

    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        im.SetPalette(palette, filePaletteCount);
    } else if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        if (depth == 2) {
            static const BYTE greys[12] = {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255};
            im.SetPalette(greys, 4);
        } else if (im.GetNumColors() > 0) {
            im.SetGrayPalette();
        }
    }
    if (hasTrans && im.GetNumColors() > 0) {
        int n = std::min(transCount, im.GetNumColors());
        for (int i = 0; i < n; ++i) im.m_pPalette[i].rgbReserved = paletteAlpha[i];
        if (transCount == 1 && paletteAlpha[0] == 0) {
            im.m_nTransIndex = 0;
        } else {
            im.m_bPaletteAlpha = true;
            for (int i = n; i < im.GetNumColors(); ++i) im.m_pPalette[i].rgbReserved = 255;
        }
    }
    if (withAlpha && !im.AlphaCreate()) png_error(png, "Out of memory");

    if (passes > 1) {
        // Later passes fill in pixels of rows from earlier ones, so the whole image is kept.
        rows = static_cast<BYTE*>(calloc(rowBytes, height));
        if (!rows) png_error(png, "Out of memory");
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, rows + rowBytes * y, nullptr);
        for (png_uint_32 y = 0; y < height; ++y)
            StoreRow(rows + rowBytes * y, static_cast<LONG>(y), outChannels, outDepth);
    } else {
        rows = static_cast<BYTE*>(calloc(rowBytes, 1));
        if (!rows) png_error(png, "Out of memory");
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, rows, nullptr);
            StoreRow(rows, static_cast<LONG>(y), outChannels, outDepth);
        }
    }
    png_read_end(png, nullptr);
}

BOOL CDibImage::Decode(CStream* stream, int type) {
    // A failed decode leaves no image: the old one must not pass for the data just given.
    Destroy();
    if (type != DIBIMAGE_PNG) {
        SetLastErrorText("Unsupported operation for this format");
        return 0;
    }
    if (!stream) {
        SetLastErrorText("Read Error");
        return 0;
    }
    PngDecoder* job = new (std::nothrow) PngDecoder;
    if (!job) {
        SetLastErrorText("Out of memory");
        return 0;
    }
    job->stream = stream;
    job->image = new (std::nothrow) CDibImage;
    if (job->image) job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, PngDecoder::OnError, PngDecoder::OnWarning);
    if (job->png) job->info = png_create_info_struct(job->png);
    if (!job->info) {
        job->Release();
        delete job;
        SetLastErrorText("Out of memory");
        return 0;
    }
    if (setjmp(png_jmpbuf(job->png))) {
        SetLastErrorText(job->message[0] ? job->message : "Decode Error");
        job->Release();
        delete job;
        return 0;
    }
    job->ReadImage();
    MoveFrom(*job->image);
    job->Release();
    delete job;
    m_szLastError[0] = 0;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Drawing

namespace {

// A 32-bit top-down section selected into a memory DC, released with the object.
struct Scratch {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    BYTE* bits = nullptr;
    ~Scratch() {
        if (dc && old) SelectObject(dc, old);
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
    }
    bool Make(HDC like, LONG width, LONG height) {
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = width;
        bmi.bmiHeader.biHeight = -height;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        bmi.bmiHeader.biCompression = BI_RGB;
        void* p = nullptr;
        bitmap = CreateDIBSection(like, &bmi, DIB_RGB_COLORS, &p, nullptr, 0);
        if (!bitmap || !p) return false;
        bits = static_cast<BYTE*>(p);
        dc = CreateCompatibleDC(like);
        if (!dc) return false;
        old = SelectObject(dc, bitmap);
        return old != nullptr;
    }
};

inline BYTE Blend(BYTE screen, BYTE image, unsigned a) {
    return static_cast<BYTE>(((255u - a) * screen + a * image) >> 8);
}

}  // namespace

void CDibImage::SampleMaps(const RECT& dest, const RECT& part, LONG* columns, LONG* rows) const {
    LONG width = m_head.biWidth, height = m_head.biHeight;
    LONG dw = dest.right - dest.left, dh = dest.bottom - dest.top;
    float fx = static_cast<float>(width) / static_cast<float>(dw);
    float fy = static_cast<float>(height) / static_cast<float>(dh);
    for (LONG c = part.left; c < part.right; ++c) {
        LONG i = c - dest.left;
        LONG sx = i;
        if (dw != width) sx = static_cast<LONG>(std::floor(static_cast<float>(i) * fx));
        columns[c - part.left] = std::clamp<LONG>(sx, 0, width - 1);
    }
    for (LONG r = part.top; r < part.bottom; ++r) {
        LONG i = r - dest.top;
        LONG sy = i;
        if (dh != height) sy = static_cast<LONG>(std::ceil(static_cast<float>(i + 1) * fy)) - 1;
        // Single precision can land one past the last row; the map is kept inside the image.
        sy = std::clamp<LONG>(sy, 0, height - 1);
        rows[r - part.top] = height - 1 - sy;  // DIB rows are bottom-up
    }
}

BOOL CDibImage::Draw(HDC dc, LONG x, LONG y, LONG width, LONG height) const {
    if (!m_pDib || !dc || !m_bEnabled) return 0;
    if (width < 0) width = m_head.biWidth;
    if (height < 0) height = m_head.biHeight;
    if (width == 0 || height == 0) return 0;
    RECT dest{x, y, static_cast<LONG>(std::min<LONGLONG>(LONGLONG(x) + width, INT32_MAX)),
              static_cast<LONG>(std::min<LONGLONG>(LONGLONG(y) + height, INT32_MAX))};
    bool keyed = m_nTransIndex >= 0 || m_pAlpha || m_bPaletteAlpha;
    if (!keyed && width == m_head.biWidth && height == m_head.biHeight) {
        return SetDIBitsToDevice(dc, x, y, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                                 static_cast<UINT>(height), m_pBits, GetBitmapInfo(), DIB_RGB_COLORS) > 0
                   ? 1
                   : 0;
    }
    RECT clip;
    if (GetClipBox(dc, &clip) == ERROR) return 0;
    RECT part;
    if (!IntersectRect(&part, &dest, &clip)) return 1;  // wholly clipped away: nothing to show
    return keyed ? DrawBlended(dc, dest, part) : DrawOpaqueScaled(dc, dest, part);
}

BOOL CDibImage::DrawOpaqueScaled(HDC dc, const RECT& dest, const RECT& part) const {
    LONG pw = part.right - part.left, ph = part.bottom - part.top;
    size_t pixels = static_cast<size_t>(pw) * static_cast<size_t>(ph);
    auto* columns = new (std::nothrow) LONG[static_cast<size_t>(pw) + static_cast<size_t>(ph)];
    auto* out = static_cast<uint32_t*>(malloc(pixels * 4));
    if (!columns || !out) {
        delete[] columns;
        free(out);
        return 0;
    }
    LONG* rows = columns + pw;
    SampleMaps(dest, part, columns, rows);
    uint32_t lut[256];
    for (int i = 0; i < m_nColors; ++i)
        lut[i] = (uint32_t(m_pPalette[i].rgbRed) << 16) | (uint32_t(m_pPalette[i].rgbGreen) << 8) | m_pPalette[i].rgbBlue;
    for (LONG r = 0; r < ph; ++r) {
        const BYTE* src = m_pBits + static_cast<size_t>(rows[r]) * m_dwLineBytes;
        uint32_t* d = out + static_cast<size_t>(r) * pw;
        switch (m_head.biBitCount) {
            case 24:
                for (LONG c = 0; c < pw; ++c) {
                    const BYTE* p = src + 3 * columns[c];
                    d[c] = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
                }
                break;
            case 8:
                for (LONG c = 0; c < pw; ++c) d[c] = lut[src[columns[c]]];
                break;
            case 4:
                for (LONG c = 0; c < pw; ++c) {
                    LONG sx = columns[c];
                    d[c] = lut[(sx & 1) ? (src[sx >> 1] & 0x0F) : (src[sx >> 1] >> 4)];
                }
                break;
            default:
                for (LONG c = 0; c < pw; ++c) {
                    LONG sx = columns[c];
                    d[c] = lut[(src[sx >> 3] >> (7 - (sx & 7))) & 1];
                }
                break;
        }
    }
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = pw;
    bmi.bmiHeader.biHeight = -ph;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    int lines = SetDIBitsToDevice(dc, part.left, part.top, static_cast<DWORD>(pw), static_cast<DWORD>(ph), 0, 0, 0,
                                  static_cast<UINT>(ph), out, &bmi, DIB_RGB_COLORS);
    delete[] columns;
    free(out);
    return lines > 0 ? 1 : 0;
}

BOOL CDibImage::DrawBlended(HDC dc, const RECT& dest, const RECT& part) const {
    LONG pw = part.right - part.left, ph = part.bottom - part.top;
    Scratch scratch;
    if (!scratch.Make(dc, pw, ph)) return 0;
    if (!BitBlt(scratch.dc, 0, 0, pw, ph, dc, part.left, part.top, SRCCOPY)) return 0;

    auto* columns = new (std::nothrow) LONG[static_cast<size_t>(pw) + static_cast<size_t>(ph)];
    if (!columns) return 0;
    LONG* rows = columns + pw;
    SampleMaps(dest, part, columns, rows);

    // Scaling of the plane's alpha by the alpha maximum, once for all 256 values.
    BYTE scale[256];
    for (unsigned a = 0; a < 256; ++a) scale[a] = static_cast<BYTE>(((m_alphaMax + 1u) * a) >> 8);
    // Per palette entry: colour as a screen pixel, alpha after the palette's own alpha, and whether
    // it is the transparent colour.
    uint32_t lut[256];
    BYTE lutAlpha[256];  // the palette's own alpha, 255 while palette alpha is off
    bool lutKey[256] = {};
    bool hasKey = m_nTransIndex >= 0;
    BYTE keyB = 0, keyG = 0, keyR = 0;
    if (hasKey) {
        if (m_nColors > 0) {
            RGBQUAD k = GetPaletteColor(m_nTransIndex);
            keyB = k.rgbBlue;
            keyG = k.rgbGreen;
            keyR = k.rgbRed;
        } else {
            keyR = GetRValue(m_transColor);
            keyG = GetGValue(m_transColor);
            keyB = GetBValue(m_transColor);
        }
    }
    for (int i = 0; i < m_nColors; ++i) {
        const RGBQUAD& q = m_pPalette[i];
        lut[i] = (uint32_t(q.rgbRed) << 16) | (uint32_t(q.rgbGreen) << 8) | q.rgbBlue;
        lutAlpha[i] = m_bPaletteAlpha ? q.rgbReserved : 255;
        lutKey[i] = hasKey && q.rgbRed == keyR && q.rgbGreen == keyG && q.rgbBlue == keyB;
    }

    LONG width = m_head.biWidth;
    bool direct = (dest.right - dest.left) == width;  // columns map one to one
    for (LONG r = 0; r < ph; ++r) {
        BYTE* d = scratch.bits + static_cast<size_t>(r) * pw * 4;
        const BYTE* src = m_pBits + static_cast<size_t>(rows[r]) * m_dwLineBytes;
        const BYTE* alpha = m_pAlpha ? m_pAlpha + static_cast<size_t>(rows[r]) * width : nullptr;
        if (m_head.biBitCount == 24) {
            if (direct && alpha && !hasKey && m_alphaMax == 255) {
                // The common case: an RGBA image at its own width; whole rows, no lookups.
                const BYTE* p = src + 3 * columns[0];
                const BYTE* ap = alpha + columns[0];
                for (LONG c = 0; c < pw; ++c, p += 3, d += 4) {
                    unsigned a = ap[c];
                    if (a == 0) continue;
                    if (a == 255) {
                        d[0] = p[0];
                        d[1] = p[1];
                        d[2] = p[2];
                    } else {
                        d[0] = Blend(d[0], p[0], a);
                        d[1] = Blend(d[1], p[1], a);
                        d[2] = Blend(d[2], p[2], a);
                    }
                }
                continue;
            }
            for (LONG c = 0; c < pw; ++c, d += 4) {
                LONG sx = columns[c];
                const BYTE* p = src + 3 * sx;
                if (hasKey && p[0] == keyB && p[1] == keyG && p[2] == keyR) continue;
                unsigned a = scale[alpha ? alpha[sx] : 255];
                if (a == 0) continue;
                if (a == 255) {
                    d[0] = p[0];
                    d[1] = p[1];
                    d[2] = p[2];
                } else {
                    d[0] = Blend(d[0], p[0], a);
                    d[1] = Blend(d[1], p[1], a);
                    d[2] = Blend(d[2], p[2], a);
                }
            }
            continue;
        }
        for (LONG c = 0; c < pw; ++c, d += 4) {
            LONG sx = columns[c];
            unsigned index;
            switch (m_head.biBitCount) {
                case 8: index = src[sx]; break;
                case 4: index = (sx & 1) ? (src[sx >> 1] & 0x0F) : (src[sx >> 1] >> 4); break;
                default: index = (src[sx >> 3] >> (7 - (sx & 7))) & 1; break;
            }
            if (lutKey[index]) continue;
            unsigned a = scale[alpha ? alpha[sx] : 255];
            if (m_bPaletteAlpha) a = (a * (lutAlpha[index] + 1u)) >> 8;
            if (a == 0) continue;
            uint32_t px = lut[index];
            BYTE b = static_cast<BYTE>(px), g = static_cast<BYTE>(px >> 8), rr = static_cast<BYTE>(px >> 16);
            if (a == 255) {
                d[0] = b;
                d[1] = g;
                d[2] = rr;
            } else {
                d[0] = Blend(d[0], b, a);
                d[1] = Blend(d[1], g, a);
                d[2] = Blend(d[2], rr, a);
            }
        }
    }
    delete[] columns;
    return BitBlt(dc, part.left, part.top, pw, ph, scratch.dc, 0, 0, SRCCOPY) ? 1 : 0;
}
