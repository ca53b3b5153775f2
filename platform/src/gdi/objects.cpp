// The GDI object table, stock objects, brushes and pens, GetObjectW and DeleteObject.
#include <unordered_map>

#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

struct Table {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> map;
    // A range apart from kernel handles, never reused, so a stale handle fails instead of reaching
    // a newer object.
    uintptr_t next = 0x30000000;
};

Table& GetTable() {
    static Table* t = new Table;  // lives until exit: objects may be released by late threads
    return *t;
}

struct Stock {
    std::shared_ptr<Brush> brushes[6];
    std::shared_ptr<Pen> pens[3];
    std::shared_ptr<Font> systemFont;
    std::shared_ptr<Font> guiFont;
    std::shared_ptr<Bitmap> bitmap;
};

template <class T>
std::shared_ptr<T> MakeStock(std::shared_ptr<T> o) {
    o->stock = true;
    Register(o);
    return o;
}

std::shared_ptr<Font> MakeStockFont() {
    auto f = std::make_shared<Font>();
    f->log.lfHeight = 0;
    f->log.lfWeight = FW_NORMAL;
    f->log.lfCharSet = DEFAULT_CHARSET;
    f->log.lfQuality = ANTIALIASED_QUALITY;
    return MakeStock(f);
}

Stock& GetStock() {
    static Stock* s = [] {
        auto* st = new Stock;
        const COLORREF greys[6] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000, 0};
        for (int i = 0; i < 6; ++i) {
            auto b = std::make_shared<Brush>();
            b->color = greys[i];
            b->null = i == NULL_BRUSH;
            st->brushes[i] = MakeStock(b);
        }
        const COLORREF penColors[3] = {0xFFFFFF, 0x000000, 0};
        for (int i = 0; i < 3; ++i) {
            auto p = std::make_shared<Pen>();
            p->color = penColors[i];
            p->style = i == 2 ? PS_NULL : PS_SOLID;
            st->pens[i] = MakeStock(p);
        }
        st->systemFont = MakeStockFont();
        st->guiFont = MakeStockFont();
        // The one-pixel monochrome bitmap every new memory DC starts with.
        auto bm = std::make_shared<Bitmap>();
        bm->width = 1;
        bm->height = 1;
        bm->monoDdb = true;
        bm->format.bpp = 1;
        bm->format.paletteSize = 2;
        bm->format.palette[0] = 0x000000;
        bm->format.palette[1] = 0xFFFFFF;
        bm->stride = 2;
        bm->memory = static_cast<uint8_t*>(calloc(1, 2));
        st->bitmap = MakeStock(bm);
        return st;
    }();
    return *s;
}

}  // namespace

HGDIOBJ Register(std::shared_ptr<Object> object) {
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    object->handle = reinterpret_cast<HGDIOBJ>(value);
    t.map.emplace(value, std::move(object));
    return reinterpret_cast<HGDIOBJ>(value);
}

std::shared_ptr<Object> Lookup(HGDIOBJ h) {
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.map.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.map.end()) return nullptr;
    return it->second;
}

bool Unregister(HGDIOBJ h) {
    std::shared_ptr<Object> victim;
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.map.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.map.end()) return false;
    victim = std::move(it->second);
    victim->deleted = true;
    t.map.erase(it);
    return true;
}

bool AcquireSelection(Object* o, Dc* dc) {
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (o->deleted) return false;
    if (o->kind == Kind::Bitmap && !o->stock) {
        if (o->owner && o->owner != dc) return false;
        o->owner = dc;
    }
    ++o->selections;
    return true;
}

void AddSelection(Object* o) {
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    ++o->selections;
}

void ReleaseSelection(Object* o) {
    auto& t = GetTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (--o->selections == 0) o->owner = nullptr;
}

std::shared_ptr<Bitmap> StockBitmap() { return GetStock().bitmap; }

std::shared_ptr<Brush> StockBrush(int index) { return GetStock().brushes[index]; }

std::shared_ptr<Pen> StockPen(int index) { return GetStock().pens[index - WHITE_PEN]; }

std::shared_ptr<Font> StockFont(int index) {
    return index == DEFAULT_GUI_FONT ? GetStock().guiFont : GetStock().systemFont;
}

}  // namespace qrx::gdi

using namespace qrx::gdi;

HGDIOBJ GetStockObject(int i) {
    if (i >= WHITE_BRUSH && i <= NULL_BRUSH) return StockBrush(i)->handle;
    if (i >= WHITE_PEN && i <= NULL_PEN) return StockPen(i)->handle;
    if (i == SYSTEM_FONT || i == DEFAULT_GUI_FONT) return StockFont(i)->handle;
    qrx::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    auto b = std::make_shared<Brush>();
    b->color = color & 0xFFFFFF;
    return static_cast<HBRUSH>(Register(b));
}

HPEN CreatePen(int iStyle, int cWidth, COLORREF color) {
    if (iStyle != PS_SOLID && iStyle != PS_DASH && iStyle != PS_NULL) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto p = std::make_shared<Pen>();
    p->style = iStyle;
    p->width = cWidth < 0 ? 0 : cWidth;  // 0 and 1 both draw one pixel wide
    p->color = color & 0xFFFFFF;
    return static_cast<HPEN>(Register(p));
}

BOOL DeleteObject(HGDIOBJ ho) {
    std::shared_ptr<Object> victim;  // destroyed after the table lock is released
    auto& t = GetTable();
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.map.find(reinterpret_cast<uintptr_t>(ho));
        if (it == t.map.end() || it->second->kind == Kind::Dc) {
            qrx::SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (it->second->stock) return TRUE;
        // A selected object stays: the platform refuses to delete it.
        if (it->second->selections > 0) {
            qrx::SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        victim = std::move(it->second);
        victim->deleted = true;
        t.map.erase(it);
    }
    return TRUE;
}

namespace {

int CopyOut(const void* src, int size, int c, LPVOID pv) {
    if (!pv) return size;
    if (c <= 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int n = std::min(c, size);
    memcpy(pv, src, static_cast<size_t>(n));
    return n;
}

void FillBitmap(const Bitmap& b, BITMAP& bm) {
    bm.bmType = 0;
    bm.bmWidth = b.width;
    bm.bmHeight = b.height;
    bm.bmWidthBytes = static_cast<LONG>(b.stride);
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<WORD>(b.format.bpp);
    bm.bmBits = b.dib ? b.memory : nullptr;
}

}  // namespace

int GetObjectW(HGDIOBJ h, int c, LPVOID pv) {
    auto o = Lookup(h);
    if (!o) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    switch (o->kind) {
        case Kind::Bitmap: {
            auto& b = static_cast<Bitmap&>(*o);
            if (b.dib && (!pv || c >= static_cast<int>(sizeof(DIBSECTION)))) {
                DIBSECTION ds{};
                FillBitmap(b, ds.dsBm);
                ds.dsBmih = b.header;
                for (int i = 0; i < 3; ++i) ds.dsBitfields[i] = b.masks[i];
                return CopyOut(&ds, sizeof(ds), c, pv);
            }
            if (pv && c < static_cast<int>(sizeof(BITMAP))) {
                qrx::SetError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            BITMAP bm{};
            FillBitmap(b, bm);
            return CopyOut(&bm, sizeof(bm), c, pv);
        }
        case Kind::Font: {
            auto& f = static_cast<Font&>(*o);
            return CopyOut(&f.log, sizeof(LOGFONTW), c, pv);
        }
        case Kind::Pen: {
            auto& p = static_cast<Pen&>(*o);
            LOGPEN lp{static_cast<UINT>(p.style), POINT{p.width, 0}, p.color};
            return CopyOut(&lp, sizeof(lp), c, pv);
        }
        case Kind::Brush: {
            auto& b = static_cast<Brush&>(*o);
            LOGBRUSH lb{static_cast<UINT>(b.null ? BS_NULL : BS_SOLID), b.color, 0};
            return CopyOut(&lb, sizeof(lb), c, pv);
        }
        default:
            qrx::SetError(ERROR_INVALID_HANDLE);
            return 0;
    }
}
