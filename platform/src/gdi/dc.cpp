// Device contexts: memory DCs, the screen DC, surface DCs for windows, selection, saved states,
// colours and clipping.
#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

// The area a DC without its own clip may draw on, large enough for any surface.
constexpr LONG kEverything = 1 << 28;

class ScreenPixels : public Surface {
public:
    ScreenPixels() : m_pixels(static_cast<size_t>(kScreenWidth) * kScreenHeight, 0) {}
    PixelView View() override {
        return PixelView{reinterpret_cast<uint8_t*>(m_pixels.data()), kScreenWidth, kScreenHeight,
                         static_cast<ptrdiff_t>(kScreenWidth) * 4};
    }

private:
    std::vector<uint32_t> m_pixels;
};

std::atomic<WindowDcHook> g_windowDcHook{nullptr};

template <class T>
Sel<T> SelectStock(std::shared_ptr<T> p, Dc* dc) {
    AcquireSelection(p.get(), dc);  // stock objects are never refused
    return Sel<T>::Adopt(std::move(p));
}

void InitState(DcState& st, Dc* dc, bool memory) {
    if (memory) st.bitmap = SelectStock(StockBitmap(), dc);
    st.brush = SelectStock(StockBrush(WHITE_BRUSH), dc);
    st.pen = SelectStock(StockPen(BLACK_PEN), dc);
    st.font = SelectStock(StockFont(SYSTEM_FONT), dc);
}

// Drops every selection of a DC that is going away.
void Clear(Dc& dc) {
    std::lock_guard<std::mutex> g(dc.lock);
    dc.saved.clear();
    dc.st = DcState{};
}

int ClipComplexity(Dc& dc) {
    Surface* s = dc.Target();
    if (!s) return ERROR;
    std::lock_guard<std::mutex> g(s->lock);
    PixelView v = s->View();
    return dc.Clip(v.width, v.height).Complexity();
}

}  // namespace

std::shared_ptr<Surface> ScreenSurface() {
    static std::shared_ptr<Surface>* screen = new std::shared_ptr<Surface>(std::make_shared<ScreenPixels>());
    return *screen;
}

std::shared_ptr<Dc> GetDcObject(HDC h) {
    auto dc = LookupAs<Dc>(h, Kind::Dc);
    if (!dc) SetError(ERROR_INVALID_HANDLE);
    return dc;
}

const Region& Dc::Clip(int surfaceWidth, int surfaceHeight) {
    if (m_clipValid && m_clipW == surfaceWidth && m_clipH == surfaceHeight) return m_clip;
    m_clip.SetRect(RECT{0, 0, surfaceWidth, surfaceHeight});
    if (hasVisible) m_clip = Region::Combine(m_clip, visible, RGN_AND);
    if (st.hasClip) {
        Region c = st.clip;
        c.Offset(origin.x, origin.y);
        m_clip = Region::Combine(m_clip, c, RGN_AND);
    }
    m_clipValid = true;
    m_clipW = surfaceWidth;
    m_clipH = surfaceHeight;
    return m_clip;
}

void MakeTarget(Dc& dc, Target& t) {
    t.surface = dc.Target();
    t.view = t.surface->View();
    t.clip = &dc.Clip(t.view.width, t.view.height);
    t.origin = dc.origin;
}

RECT Target::Begin(const RECT& surfaceRect) {
    touched = Intersect(surfaceRect, clip->Bounds());
    if (!RectEmpty(touched)) surface->Pull(touched);
    return touched;
}

void Target::Finish() {
    if (!RectEmpty(touched)) surface->Push(touched);
    touched = RECT{0, 0, 0, 0};
}

HDC CreateSurfaceDc(std::shared_ptr<Surface> surface, POINT origin, const Region* visible) {
    if (!surface) return nullptr;
    auto dc = std::make_shared<Dc>();
    dc->fixed = std::move(surface);
    dc->origin = origin;
    if (visible) {
        dc->hasVisible = true;
        dc->visible = *visible;
    }
    InitState(dc->st, dc.get(), false);
    return static_cast<HDC>(Register(dc));
}

bool SetSurfaceDcArea(HDC hdc, POINT origin, const Region* visible) {
    auto dc = GetDcObject(hdc);
    if (!dc || dc->memory) return false;
    std::lock_guard<std::mutex> g(dc->lock);
    dc->origin = origin;
    dc->hasVisible = visible != nullptr;
    dc->visible = visible ? *visible : Region();
    dc->InvalidateClip();
    return true;
}

void SetWindowDcHook(WindowDcHook hook) { g_windowDcHook.store(hook); }

}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

HDC CreateCompatibleDC(HDC hdc) {
    if (hdc && !GetDcObject(hdc)) return nullptr;
    auto dc = std::make_shared<Dc>();
    dc->memory = true;
    InitState(dc->st, dc.get(), true);
    return static_cast<HDC>(Register(dc));
}

BOOL DeleteDC(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc || !Unregister(hdc)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Clear(*dc);
    return TRUE;
}

HDC GetDC(HWND hWnd) {
    if (!hWnd) return CreateSurfaceDc(ScreenSurface(), POINT{0, 0}, nullptr);
    WindowDcHook hook = g_windowDcHook.load();
    if (!hook) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return hook(hWnd);
}

int ReleaseDC(HWND hWnd, HDC hDC) {
    auto dc = LookupAs<Dc>(hDC, Kind::Dc);
    if (!dc || dc->memory || !Unregister(hDC)) return 0;
    Clear(*dc);
    return 1;
}

int SaveDC(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc) return 0;
    std::lock_guard<std::mutex> g(dc->lock);
    dc->saved.push_back(dc->st);
    return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC hdc, int nSavedDC) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::lock_guard<std::mutex> g(dc->lock);
    long long n = static_cast<long long>(dc->saved.size());
    long long index = nSavedDC < 0 ? n + nSavedDC : static_cast<long long>(nSavedDC) - 1;
    if (nSavedDC == 0 || index < 0 || index >= n) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dc->st = dc->saved[static_cast<size_t>(index)];
    dc->saved.resize(static_cast<size_t>(index));
    dc->InvalidateClip();
    return TRUE;
}

namespace {

template <class T>
HGDIOBJ Swap(Dc& dc, Sel<T>& slot, const std::shared_ptr<Object>& o) {
    auto p = std::static_pointer_cast<T>(o);
    if (!AcquireSelection(p.get(), &dc)) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HGDIOBJ old = slot ? slot->handle : nullptr;
    slot = Sel<T>::Adopt(std::move(p));
    return old;
}

}  // namespace

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    auto dc = GetDcObject(hdc);
    if (!dc) return nullptr;
    auto o = Lookup(h);
    if (!o) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (o->kind == Kind::Region)
        return reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(SelectClipRgn(hdc, static_cast<HRGN>(h))));
    std::lock_guard<std::mutex> g(dc->lock);
    switch (o->kind) {
        case Kind::Bitmap: {
            if (!dc->memory) {
                SetError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            HGDIOBJ old = Swap(*dc, dc->st.bitmap, o);
            dc->InvalidateClip();
            return old;
        }
        case Kind::Brush:
            return Swap(*dc, dc->st.brush, o);
        case Kind::Pen:
            return Swap(*dc, dc->st.pen, o);
        case Kind::Font:
            return Swap(*dc, dc->st.font, o);
        default:
            SetError(ERROR_INVALID_HANDLE);
            return nullptr;
    }
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
    auto dc = GetDcObject(hdc);
    if (!dc) return nullptr;
    std::lock_guard<std::mutex> g(dc->lock);
    Object* o = nullptr;
    switch (type) {
        case OBJ_BITMAP:
            o = dc->st.bitmap.get();
            break;
        case OBJ_BRUSH:
            o = dc->st.brush.get();
            break;
        case OBJ_PEN:
            o = dc->st.pen.get();
            break;
        case OBJ_FONT:
            o = dc->st.font.get();
            break;
        default:
            break;
    }
    if (!o) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return o->handle;
}

int GetDeviceCaps(HDC hdc, int index) {
    if (!GetDcObject(hdc)) return 0;
    switch (index) {
        case HORZRES:
            return kScreenWidth;
        case VERTRES:
            return kScreenHeight;
        case BITSPIXEL:
            return 32;
        case PLANES:
            return 1;
        case LOGPIXELSX:
        case LOGPIXELSY:
            return 96;
        default:
            return 0;
    }
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    COLORREF old = dc->st.textColor;
    dc->st.textColor = color & 0xFFFFFF;
    return old;
}

COLORREF GetTextColor(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    return dc->st.textColor;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    COLORREF old = dc->st.bkColor;
    dc->st.bkColor = color & 0xFFFFFF;
    return old;
}

COLORREF GetBkColor(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    return dc->st.bkColor;
}

int SetBkMode(HDC hdc, int mode) {
    auto dc = GetDcObject(hdc);
    if (!dc) return 0;
    if (mode != TRANSPARENT && mode != OPAQUE) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> g(dc->lock);
    int old = dc->st.bkMode;
    dc->st.bkMode = mode;
    return old;
}

int GetBkMode(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc) return 0;
    std::lock_guard<std::mutex> g(dc->lock);
    return dc->st.bkMode;
}

UINT SetTextAlign(HDC hdc, UINT align) {
    auto dc = GetDcObject(hdc);
    if (!dc) return GDI_ERROR;
    std::lock_guard<std::mutex> g(dc->lock);
    UINT old = dc->st.textAlign;
    dc->st.textAlign = align;
    return old;
}

UINT GetTextAlign(HDC hdc) {
    auto dc = GetDcObject(hdc);
    if (!dc) return GDI_ERROR;
    std::lock_guard<std::mutex> g(dc->lock);
    return dc->st.textAlign;
}

int SelectClipRgn(HDC hdc, HRGN hrgn) {
    auto dc = GetDcObject(hdc);
    if (!dc) return ERROR;
    Region copy;
    if (hrgn) {
        auto r = LookupAs<RegionObject>(hrgn, Kind::Region);
        if (!r) {
            SetError(ERROR_INVALID_HANDLE);
            return ERROR;
        }
        std::lock_guard<std::mutex> g(r->lock);
        copy = r->region;
    }
    std::lock_guard<std::mutex> g(dc->lock);
    dc->st.hasClip = hrgn != nullptr;
    dc->st.clip = std::move(copy);
    dc->InvalidateClip();
    return ClipComplexity(*dc);
}

namespace {

int CombineClip(HDC hdc, int left, int top, int right, int bottom, int op) {
    auto dc = GetDcObject(hdc);
    if (!dc) return ERROR;
    std::lock_guard<std::mutex> g(dc->lock);
    Region current = dc->st.hasClip ? dc->st.clip : Region(RECT{-kEverything, -kEverything, kEverything, kEverything});
    dc->st.clip = Region::Combine(current, Region(Ordered(left, top, right, bottom)), op);
    dc->st.hasClip = true;
    dc->InvalidateClip();
    return ClipComplexity(*dc);
}

}  // namespace

int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
    return CombineClip(hdc, left, top, right, bottom, RGN_AND);
}

int ExcludeClipRect(HDC hdc, int left, int top, int right, int bottom) {
    return CombineClip(hdc, left, top, right, bottom, RGN_DIFF);
}

int GetClipBox(HDC hdc, LPRECT lprect) {
    auto dc = GetDcObject(hdc);
    if (!dc) return ERROR;
    if (!lprect) {
        SetError(ERROR_INVALID_PARAMETER);
        return ERROR;
    }
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* s = dc->Target();
    std::lock_guard<std::mutex> sg(s->lock);
    PixelView v = s->View();
    const Region& clip = dc->Clip(v.width, v.height);
    if (clip.Empty()) {
        *lprect = RECT{0, 0, 0, 0};
        return NULLREGION;
    }
    RECT b = clip.Bounds();
    *lprect = RECT{b.left - dc->origin.x, b.top - dc->origin.y, b.right - dc->origin.x, b.bottom - dc->origin.y};
    return clip.Complexity();
}
