// Icon objects and the shell's small icon of a file type. The device's shell images are not ours to
// ship, so the platform draws its own set in code: a folder, a plain document and one picture for each
// kind of file the system writes or reads, told apart by shape and colour.
#include <cmath>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "gdi/gdi.h"
#include "internal.h"
#include "qrx/shellapi.h"
#include "qrx/wstr.h"

namespace {

constexpr int kIconSize = 16;

enum class IconKind { Folder, Document, Csv, Text, Data, Lang, Program, Image, Archive };

// Straight (not premultiplied) 0xAARRGGBB pixels, top row first.
struct Icon {
    uint32_t px[kIconSize * kIconSize] = {};
};

std::mutex g_iconLock;
std::unordered_map<uintptr_t, std::shared_ptr<Icon>> g_icons;
// Handles are never reused, so a stale one fails instead of drawing someone else's icon.
uintptr_t g_nextIcon = 0x1C0000;

constexpr uint32_t Argb(int a, uint32_t rgb) { return (static_cast<uint32_t>(a) << 24) | (rgb & 0xFFFFFFu); }

class Canvas {
public:
    explicit Canvas(Icon& icon) : m_icon(icon) {}
    void Put(int x, int y, uint32_t argb) {
        if (x < 0 || y < 0 || x >= kIconSize || y >= kIconSize) return;
        m_icon.px[y * kIconSize + x] = argb;
    }
    void Fill(int l, int t, int r, int b, uint32_t argb) {
        for (int y = t; y < b; ++y)
            for (int x = l; x < r; ++x) Put(x, y, argb);
    }
    // A rectangle with a one-pixel border; the corners half covered, so edges look smooth.
    void Box(int l, int t, int r, int b, uint32_t fill, uint32_t border) {
        Fill(l, t, r, b, Argb(255, border));
        Fill(l + 1, t + 1, r - 1, b - 1, Argb(255, fill));
        for (POINT c : {POINT{l, t}, POINT{r - 1, t}, POINT{l, b - 1}, POINT{r - 1, b - 1}})
            Put(c.x, c.y, Argb(128, border));
    }
    // A disc with its edge pixels covered in proportion (four samples a pixel).
    void Disc(double cx, double cy, double radius, uint32_t rgb) {
        for (int y = 0; y < kIconSize; ++y) {
            for (int x = 0; x < kIconSize; ++x) {
                int inside = 0;
                for (int s = 0; s < 4; ++s) {
                    double dx = x + 0.25 + 0.5 * (s & 1) - cx;
                    double dy = y + 0.25 + 0.5 * (s >> 1) - cy;
                    if (dx * dx + dy * dy <= radius * radius) ++inside;
                }
                if (inside == 4)
                    Put(x, y, Argb(255, rgb));
                else if (inside > 0 && (m_icon.px[y * kIconSize + x] >> 24) == 0)
                    Put(x, y, Argb(inside * 64 - 1, rgb));
            }
        }
    }

private:
    Icon& m_icon;
};

// A page with a folded corner, the base of the document kinds.
void Page(Canvas& c, uint32_t paper, uint32_t edge) {
    c.Fill(3, 1, 11, 15, Argb(255, edge));
    c.Fill(11, 4, 14, 15, Argb(255, edge));
    c.Fill(4, 2, 10, 14, Argb(255, paper));
    c.Fill(10, 5, 13, 14, Argb(255, paper));
    // The fold.
    c.Put(11, 2, Argb(255, edge));
    c.Put(12, 3, Argb(255, edge));
    c.Fill(10, 2, 11, 5, Argb(255, 0xC8C8C8));
    c.Fill(11, 4, 13, 5, Argb(255, 0xC8C8C8));
    c.Put(11, 3, Argb(255, 0xC8C8C8));
    c.Put(12, 2, Argb(96, edge));
}

void DrawKind(IconKind kind, Icon& icon) {
    Canvas c(icon);
    switch (kind) {
        case IconKind::Folder:
            c.Box(1, 3, 8, 6, 0xF0C040, 0xA07010);
            c.Box(1, 5, 15, 14, 0xF8D458, 0xA07010);
            break;
        case IconKind::Document:
            Page(c, 0xFFFFFF, 0x707070);
            break;
        case IconKind::Csv:
            Page(c, 0xFFFFFF, 0x207020);
            for (int y = 6; y <= 12; y += 3) c.Fill(4, y, 13, y + 1, Argb(255, 0x30A030));
            c.Fill(7, 5, 8, 14, Argb(255, 0x30A030));
            c.Fill(10, 5, 11, 14, Argb(255, 0x30A030));
            break;
        case IconKind::Text:
            Page(c, 0xFFFFFF, 0x505050);
            for (int y = 6; y <= 12; y += 2) c.Fill(5, y, y == 12 ? 9 : 12, y + 1, Argb(255, 0x303030));
            break;
        case IconKind::Data:
            // A stack of disks: a cylinder.
            c.Box(3, 3, 13, 14, 0x4878D0, 0x203C80);
            for (int y = 6; y <= 10; y += 4) c.Fill(3, y, 13, y + 1, Argb(255, 0x203C80));
            c.Fill(4, 4, 12, 5, Argb(255, 0x90B8F0));
            break;
        case IconKind::Lang:
            // A globe.
            c.Disc(8, 8, 7, 0x1060A0);
            c.Disc(8, 8, 6, 0x40B0E0);
            c.Fill(2, 7, 14, 8, Argb(255, 0x1060A0));
            c.Fill(7, 2, 8, 14, Argb(255, 0x1060A0));
            break;
        case IconKind::Program:
            // A window with its title bar.
            c.Box(1, 2, 15, 14, 0xE8E8E8, 0x404040);
            c.Fill(2, 3, 14, 6, Argb(255, 0x2050C0));
            c.Fill(12, 4, 13, 5, Argb(255, 0xFFFFFF));
            break;
        case IconKind::Image:
            // A framed landscape with a sun.
            c.Box(1, 2, 15, 14, 0xA0D8F8, 0x604020);
            c.Fill(2, 10, 14, 13, Argb(255, 0x40A040));
            c.Fill(5, 8, 10, 10, Argb(255, 0x40A040));
            c.Disc(11.5, 6, 2, 0xF0A020);
            break;
        case IconKind::Archive:
            // A parcel with its strap.
            c.Box(2, 3, 14, 14, 0xC89050, 0x704010);
            c.Fill(7, 3, 9, 14, Argb(255, 0x704010));
            c.Fill(2, 6, 14, 7, Argb(255, 0x704010));
            break;
    }
}

IconKind KindOfName(const WCHAR* path) {
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p; ++p)
        if (*p == u'\\' || *p == u'/') name = p + 1;
    const WCHAR* dot = wcsrchr(name, u'.');
    if (!dot) return IconKind::Document;
    struct Entry {
        const WCHAR* ext;
        IconKind kind;
    };
    static const Entry kTable[] = {
        {u".csv", IconKind::Csv},     {u".txt", IconKind::Text},    {u".log", IconKind::Text},
        {u".dat", IconKind::Data},    {u".bin", IconKind::Data},    {u".lang", IconKind::Lang},
        {u".exe", IconKind::Program}, {u".dll", IconKind::Program}, {u".bmp", IconKind::Image},
        {u".png", IconKind::Image},   {u".zip", IconKind::Archive}, {u".fwd", IconKind::Archive},
    };
    for (const Entry& e : kTable)
        if (_wcsicmp(dot, e.ext) == 0) return e.kind;
    return IconKind::Document;
}

std::shared_ptr<Icon> FindIcon(HICON h) {
    std::lock_guard<std::mutex> g(g_iconLock);
    auto it = g_icons.find(reinterpret_cast<uintptr_t>(h));
    return it == g_icons.end() ? nullptr : it->second;
}

HICON NewIcon(IconKind kind) {
    auto icon = std::make_shared<Icon>();
    DrawKind(kind, *icon);
    std::lock_guard<std::mutex> g(g_iconLock);
    uintptr_t h = g_nextIcon;
    g_nextIcon += 4;
    g_icons.emplace(h, std::move(icon));
    return reinterpret_cast<HICON>(h);
}

inline uint32_t Blend(uint32_t dst, uint32_t src) {
    uint32_t a = src >> 24;
    if (a == 255) return src & 0xFFFFFFu;
    if (a == 0) return dst;
    uint32_t na = 255 - a;
    uint32_t r = (((src >> 16) & 0xFF) * a + ((dst >> 16) & 0xFF) * na + 127) / 255;
    uint32_t gr = (((src >> 8) & 0xFF) * a + ((dst >> 8) & 0xFF) * na + 127) / 255;
    uint32_t b = ((src & 0xFF) * a + (dst & 0xFF) * na + 127) / 255;
    return (r << 16) | (gr << 8) | b;
}

}  // namespace

namespace qrx {
int LiveIconCount() {
    std::lock_guard<std::mutex> g(g_iconLock);
    return static_cast<int>(g_icons.size());
}
}  // namespace qrx

DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD dwFileAttributes, SHFILEINFOW* psfi, UINT cbFileInfo, UINT uFlags) {
    if (!pszPath || !psfi || cbFileInfo < sizeof(SHFILEINFOW)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *psfi = SHFILEINFOW{};
    DWORD attributes = dwFileAttributes;
    if (!(uFlags & SHGFI_USEFILEATTRIBUTES)) {
        attributes = GetFileAttributesW(pszPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    }
    psfi->dwAttributes = attributes;
    // Only the icon request is offered; the small and the large one are the same picture here.
    if (!(uFlags & SHGFI_ICON)) return 1;
    IconKind kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? IconKind::Folder : KindOfName(pszPath);
    psfi->iIcon = static_cast<int>(kind);
    psfi->hIcon = NewIcon(kind);
    return 1;
}

BOOL DestroyIcon(HICON hIcon) {
    std::lock_guard<std::mutex> g(g_iconLock);
    if (g_icons.erase(reinterpret_cast<uintptr_t>(hIcon)) == 0) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DrawIconEx(HDC hdc, int xLeft, int yTop, HICON hIcon, int cxWidth, int cyWidth, UINT, HBRUSH hbrFlickerFreeDraw,
                UINT diFlags) {
    using namespace qrx::gdi;
    std::shared_ptr<Icon> icon = FindIcon(hIcon);
    if (!icon) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(diFlags & DI_NORMAL) || cxWidth < 0 || cyWidth < 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int w = cxWidth ? cxWidth : kIconSize;
    int h = cyWidth ? cyWidth : kIconSize;
    RECT box{xLeft, yTop, static_cast<LONG>(std::min<long long>(static_cast<long long>(xLeft) + w, INT32_MAX)),
             static_cast<LONG>(std::min<long long>(static_cast<long long>(yTop) + h, INT32_MAX))};
    if (hbrFlickerFreeDraw && !FillRect(hdc, &box, hbrFlickerFreeDraw)) return FALSE;
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* s = dc->Target();
    if (!s) return FALSE;
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(*dc, t);
    RECT r =
        Ordered(static_cast<long long>(box.left) + dc->origin.x, static_cast<long long>(box.top) + dc->origin.y,
                static_cast<long long>(box.right) + dc->origin.x, static_cast<long long>(box.bottom) + dc->origin.y);
    r = t.Begin(r);
    if (RectEmpty(r)) return TRUE;
    const long long left = static_cast<long long>(xLeft) + dc->origin.x;
    const long long top = static_cast<long long>(yTop) + dc->origin.y;
    const bool image = diFlags & DI_IMAGE, mask = diFlags & DI_MASK;
    t.clip->ForEachIn(r, [&](const RECT& c) {
        for (int y = c.top; y < c.bottom; ++y) {
            const uint32_t* src = icon->px + static_cast<size_t>((y - top) * kIconSize / h) * kIconSize;
            uint32_t* row = t.view.Row(y);
            for (int x = c.left; x < c.right; ++x) {
                uint32_t p = src[(x - left) * kIconSize / w];
                if (image && mask)
                    row[x] = Blend(row[x], p);
                else if (image)
                    row[x] = p & 0xFFFFFFu;
                else if (p >> 24)
                    row[x] = 0;  // the mask alone: the covered pixels black
            }
        }
    });
    t.Finish();
    return TRUE;
}
