// Shared internals of the drawing module: regions, pixel surfaces and formats, the GDI object table,
// device contexts and the draw target every drawing call works through.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "qrx/types.h"
#include "qrx/wingdi.h"

namespace qrx::gdi {

// ---------------------------------------------------------------------------------------------
// Rectangles and regions

inline bool RectEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }
inline RECT Intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    if (RectEmpty(r)) r = RECT{0, 0, 0, 0};
    return r;
}
// Saturates to the 32-bit range, so hostile coordinates clip instead of wrapping.
inline LONG Sat(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<LONG>(v);
}
// The rectangle between two corners in any order.
inline RECT Ordered(long long x1, long long y1, long long x2, long long y2) {
    return RECT{Sat(std::min(x1, x2)), Sat(std::min(y1, y2)), Sat(std::max(x1, x2)), Sat(std::max(y1, y2))};
}

// A set of pixels as non-overlapping rectangles, sorted in bands by top then left; rectangles of one
// band share top and bottom, and equal neighbouring bands are merged, so equal sets compare equal.
class Region {
public:
    Region() = default;
    explicit Region(const RECT& r) { SetRect(r); }
    void SetRect(const RECT& r);
    void Clear() {
        m_rects.clear();
        m_bounds = RECT{0, 0, 0, 0};
    }
    bool Empty() const { return m_rects.empty(); }
    const RECT& Bounds() const { return m_bounds; }
    const std::vector<RECT>& Rects() const { return m_rects; }
    int Complexity() const { return m_rects.empty() ? NULLREGION : m_rects.size() == 1 ? SIMPLEREGION : COMPLEXREGION; }
    bool Contains(LONG x, LONG y) const;
    void Offset(LONG dx, LONG dy);
    bool operator==(const Region& o) const;

    // op: RGN_AND, RGN_OR, RGN_XOR, RGN_DIFF.
    static Region Combine(const Region& a, const Region& b, int op);

    // Calls f(RECT) for each non-empty part of r inside the region, top to bottom.
    template <class F>
    void ForEachIn(const RECT& r, F&& f) const {
        if (RectEmpty(r)) return;
        for (const RECT& c : m_rects) {
            if (c.top >= r.bottom) break;
            if (c.bottom <= r.top || c.right <= r.left || c.left >= r.right) continue;
            RECT x = Intersect(c, r);
            if (!RectEmpty(x)) f(x);
        }
    }

private:
    friend class RegionBuilder;
    void UpdateBounds();
    std::vector<RECT> m_rects;
    RECT m_bounds{0, 0, 0, 0};
};

// ---------------------------------------------------------------------------------------------
// Pixels

// 32-bit pixels 0x00RRGGBB (bytes B, G, R, X in memory); stride may be negative (bottom-up memory).
struct PixelView {
    uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    ptrdiff_t stride = 0;
    uint32_t* Row(int y) const { return reinterpret_cast<uint32_t*>(bits + static_cast<ptrdiff_t>(y) * stride); }
    RECT Bounds() const { return RECT{0, 0, width, height}; }
};

inline uint32_t ColorToPixel(COLORREF c) { return ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu); }
inline COLORREF PixelToColor(uint32_t p) { return ((p & 0xFFu) << 16) | (p & 0xFF00u) | ((p >> 16) & 0xFFu); }

// Something a DC draws on. Its lock is held while its pixels are read or written. Surfaces kept in
// another format draw through a 32-bit shadow: Pull brings a rectangle of it up to date, Push writes
// the changed pixels of a rectangle back.
class Surface {
public:
    virtual ~Surface() = default;
    virtual PixelView View() = 0;
    virtual void Pull(const RECT& /*r*/) {}
    virtual void Push(const RECT& /*r*/) {}
    // A monochrome device bitmap: colour blits into it and out of it follow the text/back colours.
    virtual bool Monochrome() const { return false; }
    std::mutex lock;
};

// Layout of stored pixels: palette depths, 16-bit and 32-bit bit fields, 24-bit BGR.
struct PixelFormat {
    int bpp = 32;
    uint32_t mask[3] = {0xFF0000u, 0x00FF00u, 0x0000FFu};  // red, green, blue
    int shift[3] = {16, 8, 0};
    int bits[3] = {8, 8, 8};
    int paletteSize = 0;
    uint32_t palette[256] = {};  // pixels 0x00RRGGBB
    // 32-bit BGRX: the stored pixels are the drawing pixels.
    bool Native() const { return bpp == 32 && mask[0] == 0xFF0000u && mask[1] == 0xFF00u && mask[2] == 0xFFu; }
    bool SetMasks(uint32_t r, uint32_t g, uint32_t b);
    void ReadRow(const uint8_t* row, int x0, int count, uint32_t* out) const;
    void WritePixel(uint8_t* row, int x, uint32_t pixel) const;
    uint32_t ReadPixel(const uint8_t* row, int x) const;
    int Nearest(uint32_t pixel) const;
};

// Bytes of one stored row: DWORD-aligned.
inline long long DibStride(long long width, int bpp) { return ((width * bpp + 31) / 32) * 4; }

// A parsed BITMAPINFO: size, orientation and format. False (with the error set) when unsupported.
struct DibInfo {
    int width = 0;
    int height = 0;  // rows, positive
    bool topDown = false;
    long long stride = 0;
    PixelFormat format;
    DWORD compression = BI_RGB;
    DWORD masks[3] = {0, 0, 0};
};
bool ParseBitmapInfo(const BITMAPINFO* bmi, UINT usage, DibInfo& out);

// ---------------------------------------------------------------------------------------------
// GDI objects

enum class Kind { Dc, Bitmap, Brush, Pen, Font, Region };

class Dc;

class Object {
public:
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    HGDIOBJ handle = nullptr;
    bool stock = false;
    // Guarded by the table lock: how many DC states (current and saved) hold the object, and for a
    // bitmap the one DC that holds it.
    int selections = 0;
    Dc* owner = nullptr;
    bool deleted = false;
};

// Registers an object; its handle is never reused.
HGDIOBJ Register(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HGDIOBJ h);
template <class T>
std::shared_ptr<T> LookupAs(HGDIOBJ h, Kind kind) {
    auto o = Lookup(h);
    if (!o || o->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(o);
}
// Removes a DC's handle (DeleteDC, ReleaseDC).
bool Unregister(HGDIOBJ h);
// Counts a selection into dc; false when the object was deleted or the bitmap is held elsewhere.
bool AcquireSelection(Object* o, Dc* dc);
// Counts one more reference of an object already held (a saved state).
void AddSelection(Object* o);
void ReleaseSelection(Object* o);

class Brush : public Object {
public:
    Brush() : Object(Kind::Brush) {}
    COLORREF color = 0;
    bool null = false;
};

class Pen : public Object {
public:
    Pen() : Object(Kind::Pen) {}
    int style = PS_SOLID;
    int width = 1;
    COLORREF color = 0;
};

class FontInstance;
class Font : public Object {
public:
    Font() : Object(Kind::Font) {}
    LOGFONTW log{};
    // The realised instance, found again after the installed fonts change.
    std::shared_ptr<FontInstance> Realize();

private:
    std::mutex m_lock;
    std::shared_ptr<FontInstance> m_instance;
    unsigned m_generation = 0;
};

class RegionObject : public Object {
public:
    RegionObject() : Object(Kind::Region) {}
    std::mutex lock;
    Region region;
};

class Bitmap : public Object, public Surface {
public:
    Bitmap() : Object(Kind::Bitmap) {}
    ~Bitmap() override;
    int width = 0;
    int height = 0;
    bool dib = false;
    bool topDown = false;
    bool monoDdb = false;
    long long stride = 0;       // bytes of one stored row
    uint8_t* memory = nullptr;  // the stored rows, first row first as the caller sees them
    PixelFormat format;
    BITMAPINFOHEADER header{};
    DWORD masks[3] = {0, 0, 0};

    // Start of the stored row y counted from the top of the picture.
    uint8_t* StoredRow(int y) const {
        long long r = topDown || !dib ? y : height - 1 - y;
        return memory + r * stride;
    }
    PixelView View() override;
    void Pull(const RECT& r) override;
    void Push(const RECT& r) override;
    bool Monochrome() const override { return monoDdb; }

private:
    std::vector<uint32_t> m_shadow;
};

std::shared_ptr<Bitmap> StockBitmap();
std::shared_ptr<Brush> StockBrush(int index);
std::shared_ptr<Pen> StockPen(int index);
std::shared_ptr<Font> StockFont(int index);

// A reference from a DC state that counts as a selection.
template <class T>
class Sel {
public:
    Sel() = default;
    Sel(const Sel& o) : m_p(o.m_p) { Bump(); }
    Sel& operator=(const Sel& o) {
        if (this != &o) {
            Drop();
            m_p = o.m_p;
            Bump();
        }
        return *this;
    }
    ~Sel() { Drop(); }
    // Takes over a selection already counted by AcquireSelection.
    static Sel Adopt(std::shared_ptr<T> p) {
        Sel s;
        s.m_p = std::move(p);
        return s;
    }
    T* get() const { return m_p.get(); }
    T* operator->() const { return m_p.get(); }
    const std::shared_ptr<T>& ptr() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    void Bump();
    void Drop() {
        if (m_p) ReleaseSelection(m_p.get());
        m_p.reset();
    }
    std::shared_ptr<T> m_p;
};

struct DcState {
    Sel<Bitmap> bitmap;
    Sel<Brush> brush;
    Sel<Pen> pen;
    Sel<Font> font;
    bool hasClip = false;
    Region clip;  // logical coordinates
    COLORREF textColor = 0x000000;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
    UINT textAlign = TA_LEFT | TA_TOP;
    POINT pos{0, 0};
};

class Dc : public Object {
public:
    Dc() : Object(Kind::Dc) {}
    std::mutex lock;  // taken before any surface lock
    bool memory = false;
    std::shared_ptr<Surface> fixed;  // the screen or a window surface; memory DCs draw on their bitmap
    POINT origin{0, 0};              // surface position of logical 0,0
    bool hasVisible = false;
    Region visible;  // surface coordinates
    DcState st;
    std::vector<DcState> saved;

    Surface* Target() const { return memory ? static_cast<Surface*>(st.bitmap.get()) : fixed.get(); }
    // The clip in surface coordinates for a surface of this size; with the DC lock held.
    const Region& Clip(int surfaceWidth, int surfaceHeight);
    void InvalidateClip() { m_clipValid = false; }

private:
    Region m_clip;
    bool m_clipValid = false;
    int m_clipW = -1;
    int m_clipH = -1;
};

template <class T>
void Sel<T>::Bump() {
    if (m_p) AddSelection(m_p.get());
}

// A DC by handle; null with ERROR_INVALID_HANDLE when it is not one.
std::shared_ptr<Dc> GetDcObject(HDC h);

// Locks up to four mutexes in address order (each once), so calls over two DCs cannot deadlock.
class LockSet {
public:
    void Add(std::mutex* m) {
        if (m) m_items[m_count++] = m;
    }
    void Lock() {
        // At most four: an insertion sort that drops repeats.
        int n = 0;
        std::mutex* sorted[4] = {};
        for (int i = 0; i < m_count; ++i) {
            std::mutex* m = m_items[i];
            int k = 0;
            while (k < n && std::less<std::mutex*>()(sorted[k], m)) ++k;
            if (k < n && sorted[k] == m) continue;
            for (int j = n; j > k; --j) sorted[j] = sorted[j - 1];
            sorted[k] = m;
            ++n;
        }
        for (int i = 0; i < n; ++i) m_items[i] = sorted[i];
        m_count = n;
        for (int i = 0; i < m_count; ++i) m_items[i]->lock();
    }
    ~LockSet() {
        for (int i = m_count - 1; i >= 0; --i) m_items[i]->unlock();
    }

private:
    std::mutex* m_items[4] = {};
    int m_count = 0;
};

// The pixels one drawing call works on, with the surface locked by the caller.
struct Target {
    Surface* surface = nullptr;
    PixelView view;
    const Region* clip = nullptr;  // surface coordinates
    POINT origin{0, 0};
    // Brings the surface rectangle up to date, returns it clipped; Finish writes it back.
    RECT Begin(const RECT& surfaceRect);
    void Finish();
    RECT touched{0, 0, 0, 0};
};
// Prepares t for dc (DC and surface already locked).
void MakeTarget(Dc& dc, Target& t);

// ---------------------------------------------------------------------------------------------
// Painting primitives, in surface coordinates, clipped by t.clip.

void FillSurfaceRect(Target& t, const RECT& r, uint32_t pixel);
// Raster operation over a span: d = rop(P = pattern, S = s[i], D = d[i]); s may be null when unused.
void RopSpan(uint32_t* d, const uint32_t* s, int n, uint32_t pattern, DWORD rop);
inline bool RopUsesSource(DWORD rop) {
    unsigned c = (rop >> 16) & 0xFF;
    return ((c >> 2) & 0x33) != (c & 0x33);
}
inline bool RopUsesPattern(DWORD rop) {
    unsigned c = (rop >> 16) & 0xFF;
    return ((c >> 4) & 0x0F) != (c & 0x0F);
}

// Source of a blit: 32-bit pixels and how they map into the destination's colours.
struct BlitSource {
    PixelView view;
    Surface* surface = nullptr;  // for Pull and overlap detection; null for caller memory
    bool monoToColor = false;    // 0 bits become fg, 1 bits bg
    uint32_t fg = 0, bg = 0xFFFFFF;
    bool colorToMono = false;  // pixels equal to bg become white, others black
    // Caller memory in a stored format (view.bits unused): rowAt gives the stored row y counted
    // from the top, or null when that row was not supplied.
    const PixelFormat* format = nullptr;
    const uint8_t* (*rowAt)(const void* ctx, int y) = nullptr;
    const void* ctx = nullptr;
};

struct BlitParams {
    long long dx, dy, dw, dh;  // destination between (dx,dy) and (dx+dw,dy+dh), surface coordinates
    long long sx, sy, sw, sh;  // source likewise, view coordinates
    DWORD rop = SRCCOPY;
    uint32_t pattern = 0;
    bool transparent = false;  // colour-key copy
    uint32_t key = 0;
};
// Copies with stretching and mirroring; parts outside the source are left alone.
void Blit(Target& dst, const BlitSource* src, const BlitParams& p);

// ---------------------------------------------------------------------------------------------
// Host surfaces and window DCs

// The process-wide 800 x 480 screen.
std::shared_ptr<Surface> ScreenSurface();
constexpr int kScreenWidth = 800;
constexpr int kScreenHeight = 480;

// A DC over a surface owned elsewhere (a window's retained surface): logical 0,0 at origin, drawing
// limited to visible (surface coordinates) when given. Released with ReleaseDC or DeleteDC.
HDC CreateSurfaceDc(std::shared_ptr<Surface> surface, POINT origin, const Region* visible);
// Moves a surface DC's origin or changes what it may draw on.
bool SetSurfaceDcArea(HDC hdc, POINT origin, const Region* visible);
// GetDC of a window asks the windowing module through this hook.
using WindowDcHook = HDC (*)(HWND hwnd);
void SetWindowDcHook(WindowDcHook hook);

}  // namespace qrx::gdi
