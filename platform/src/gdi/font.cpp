// Installed fonts, face mapping and realised fonts through FreeType.
#include "gdi/font.h"

#include <ft2build.h>
#include <sys/stat.h>

#include <cmath>
#include <map>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_IDS_H
#include FT_TRUETYPE_TABLES_H

#include "internal.h"
#include "qrx/wstr.h"

namespace qrx::gdi {
namespace {

const char* const kDefaultFaces[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                                     "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
const char16_t kDefaultFamily[] = u"dejavu sans";
constexpr int kDefaultHeight = 16;
constexpr int kMaxHeight = 1024;
constexpr long kMaxFacesPerFile = 64;
constexpr size_t kCacheLimit = 128;

struct FaceEntry {
    std::string path;
    long index = 0;
    std::vector<std::u16string> families;  // lower case
    bool bold = false;
    bool italic = false;
};

struct FileEntry {
    std::string path;
    int refs = 0;
    int faces = 0;
};

struct Registry {
    std::mutex lock;
    FT_Library library = nullptr;
    bool defaultsLoaded = false;
    std::vector<FaceEntry> faces;
    std::vector<FileEntry> files;
    std::vector<std::shared_ptr<FontInstance>> cache;
    std::atomic<unsigned> generation{1};
    // Faces of files other programs added, loaded once per file; the live files as of the last
    // look, valid while the device's counter stays (a file only drops out unannounced, by a crash).
    std::map<std::string, std::vector<FaceEntry>> shared;
    std::vector<std::string> sharedLive;
    uint64_t sharedGeneration = 0;
    bool sharedLooked = false;
};

Registry& GetRegistry() {
    static Registry* r = [] {
        auto* reg = new Registry;  // lives until exit with the faces it opened
        if (FT_Init_FreeType(&reg->library) != 0) reg->library = nullptr;
        return reg;
    }();
    return *r;
}

// FreeType wants face creation and destruction serialised per library.
std::mutex& FtLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::u16string Lower(std::u16string s) {
    for (auto& c : s) c = towlower16(c);
    return s;
}

void AddFamily(FaceEntry& e, std::u16string name) {
    name = Lower(std::move(name));
    if (name.empty()) return;
    for (const auto& f : e.families)
        if (f == name) return;
    e.families.push_back(std::move(name));
}

FaceEntry Describe(FT_Face face, const std::string& path, long index) {
    FaceEntry e;
    e.path = path;
    e.index = index;
    if (face->family_name) AddFamily(e, QrxFromUtf8(face->family_name));
    // Localised family names too, as the platform matches any of them.
    FT_UInt count = FT_Get_Sfnt_Name_Count(face);
    for (FT_UInt i = 0; i < count; ++i) {
        FT_SfntName name;
        if (FT_Get_Sfnt_Name(face, i, &name) != 0) continue;
        if (name.platform_id != TT_PLATFORM_MICROSOFT) continue;
        if (name.name_id != TT_NAME_ID_FONT_FAMILY && name.name_id != TT_NAME_ID_TYPOGRAPHIC_FAMILY) continue;
        if (name.encoding_id != TT_MS_ID_UNICODE_CS && name.encoding_id != TT_MS_ID_UCS_4) continue;
        std::u16string s;
        for (FT_UInt k = 0; k + 1 < name.string_len; k += 2)
            s.push_back(static_cast<char16_t>((name.string[k] << 8) | name.string[k + 1]));
        AddFamily(e, std::move(s));
    }
    e.bold = (face->style_flags & FT_STYLE_FLAG_BOLD) != 0;
    e.italic = (face->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && os2->usWeightClass >= 600) e.bold = true;
    return e;
}

// Reads every face of a font file; with the registry locked.
int LoadFile(Registry& reg, const std::string& path, std::vector<FaceEntry>& out) {
    if (!reg.library) return 0;
    std::lock_guard<std::mutex> g(FtLock());
    FT_Face face;
    if (FT_New_Face(reg.library, path.c_str(), 0, &face) != 0) return 0;
    long n = std::clamp<long>(face->num_faces, 1, kMaxFacesPerFile);
    out.push_back(Describe(face, path, 0));
    FT_Done_Face(face);
    for (long i = 1; i < n; ++i) {
        if (FT_New_Face(reg.library, path.c_str(), i, &face) != 0) continue;
        out.push_back(Describe(face, path, i));
        FT_Done_Face(face);
    }
    return static_cast<int>(out.size());
}

void EnsureDefaults(Registry& reg) {
    if (reg.defaultsLoaded) return;
    reg.defaultsLoaded = true;
    for (const char* p : kDefaultFaces) {
        std::vector<FaceEntry> faces;
        LoadFile(reg, p, faces);
        for (auto& f : faces) reg.faces.push_back(std::move(f));
    }
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A font file by device path, or by host path when no such device file exists.
bool FontFilePath(LPCWSTR name, std::string& host) {
    if (!name || !*name) return false;
    if (MapDevicePath(name, host) && FileExists(host)) return true;
    host = QrxToUtf8(std::u16string_view(name, wcslen(name)));
    return FileExists(host);
}

bool HasFamily(const FaceEntry& e, const std::u16string& name) {
    for (const auto& f : e.families)
        if (f == name) return true;
    return false;
}

// Faces named `want` in the font files other running programs added; with the registry locked.
void FindSharedFaces(Registry& reg, const std::u16string& want, std::vector<const FaceEntry*>& out) {
    const uint64_t generation = SharedFontGeneration();
    if (!reg.sharedLooked || generation != reg.sharedGeneration) {
        reg.sharedLive = LiveSharedFontFiles();
        reg.sharedGeneration = generation;
        reg.sharedLooked = true;
    }
    for (const std::string& path : reg.sharedLive) {
        bool own = false;
        for (const auto& f : reg.files) own = own || f.path == path;
        if (own) continue;
        auto it = reg.shared.find(path);
        if (it == reg.shared.end()) {
            std::vector<FaceEntry> faces;
            LoadFile(reg, path, faces);
            it = reg.shared.emplace(path, std::move(faces)).first;
        }
        size_t before = out.size();
        for (const auto& e : it->second)
            if (HasFamily(e, want)) out.push_back(&e);
        // Its program may have ended since the last look.
        if (out.size() != before && !SharedFontFileLive(path)) out.resize(before);
    }
}

}  // namespace

FontInstance::~FontInstance() {
    if (m_face) {
        std::lock_guard<std::mutex> g(FtLock());
        FT_Done_Face(static_cast<FT_Face>(m_face));
    }
}

std::shared_ptr<FontInstance> FontInstance::Create(const FontKey& key) {
    Registry& reg = GetRegistry();
    if (!reg.library) return nullptr;
    FT_Face face = nullptr;
    {
        std::lock_guard<std::mutex> g(FtLock());
        if (FT_New_Face(reg.library, key.path.c_str(), key.index, &face) != 0) return nullptr;
    }
    std::shared_ptr<FontInstance> fi(new FontInstance);
    fi->m_face = face;
    fi->m_key = key;
    double upem = face->units_per_EM ? face->units_per_EM : 1000.0;
    double asc = 0, desc = 0;
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
        asc = os2->usWinAscent;
        desc = os2->usWinDescent;
    } else {
        asc = face->ascender;
        desc = -face->descender;
    }
    if (asc + desc <= 0) {
        asc = upem * 0.8;
        desc = upem * 0.2;
    }
    FontMetrics& m = fi->m_metrics;
    int ppem;
    if (key.height < 0) {
        ppem = -key.height;
        m.ascent = static_cast<int>(std::lround(asc * ppem / upem));
        m.descent = static_cast<int>(std::lround(desc * ppem / upem));
    } else {
        // A cell height: ascent and descent share it in the font's proportion.
        int cell = key.height;
        ppem = std::max(1, static_cast<int>(std::lround(cell * upem / (asc + desc))));
        m.ascent = static_cast<int>(std::lround(asc * cell / (asc + desc)));
        m.descent = cell - m.ascent;
    }
    ppem = std::max(ppem, 1);
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(ppem)) != 0) return nullptr;
    fi->m_ppem = ppem;
    double scale = ppem / upem;
    m.internalLeading = std::max(0, m.ascent + m.descent - ppem);
    m.externalLeading = std::max(0, static_cast<int>(std::lround(face->height * scale)) - (m.ascent + m.descent));
    m.maxCharWidth = static_cast<int>(std::lround(face->max_advance_width * scale));
    if (os2 && os2->version != 0xFFFF && os2->xAvgCharWidth > 0)
        m.aveCharWidth = static_cast<int>(std::lround(os2->xAvgCharWidth * scale));
    else
        m.aveCharWidth = std::max(1, ppem / 2);
    m.weight = key.weight;
    m.italic = key.italic;
    int thickness = std::max(1, static_cast<int>(std::lround(face->underline_thickness * scale)));
    int centre = static_cast<int>(std::lround(-face->underline_position * scale));
    m.underlineThickness = thickness;
    m.underlinePos = std::max(0, centre - thickness / 2);
    if (os2 && os2->version != 0xFFFF && os2->yStrikeoutPosition > 0)
        m.strikeoutPos = static_cast<int>(std::lround(os2->yStrikeoutPosition * scale));
    else
        m.strikeoutPos = std::max(1, static_cast<int>(ppem * 0.3));
    // The emboldening strength FreeType itself uses for synthetic bold.
    fi->m_boldStrength = std::max<long>(32, static_cast<long>(ppem) * 64 / 24);
    if (key.synthBold) {
        int extra = static_cast<int>((fi->m_boldStrength + 32) >> 6);
        m.aveCharWidth += extra;
        m.maxCharWidth += extra;
    }
    fi->m_empty.advance = 0;
    return fi;
}

const Glyph& FontInstance::Get(char32_t c) {
    if (c < 0x10000) {
        Page* p = m_pages[c >> 8].load(std::memory_order_acquire);
        if (p) {
            const Glyph* g = p->glyphs[c & 0xFF].load(std::memory_order_acquire);
            if (g) return *g;
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (c >= 0x10000) {
        auto it = m_astral.find(c);
        if (it != m_astral.end()) return *it->second;
        const Glyph* g = Render(c);
        m_astral.emplace(c, g);
        return *g;
    }
    Page* p = m_pages[c >> 8].load(std::memory_order_acquire);
    if (!p) {
        m_ownedPages.push_back(std::make_unique<Page>());
        p = m_ownedPages.back().get();
        m_pages[c >> 8].store(p, std::memory_order_release);
    }
    const Glyph* g = p->glyphs[c & 0xFF].load(std::memory_order_acquire);
    if (!g) {
        g = Render(c);
        p->glyphs[c & 0xFF].store(g, std::memory_order_release);
    }
    return *g;
}

const Glyph* FontInstance::Render(char32_t c) {
    // Control characters take no room.
    if (c < 0x20 || c > 0x10FFFF) return &m_empty;
    FT_Face face = static_cast<FT_Face>(m_face);
    FT_UInt index = FT_Get_Char_Index(face, c);
    FT_Int32 flags = FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP | (m_key.mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_NORMAL);
    if (FT_Load_Glyph(face, index, flags) != 0 && FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0) return &m_empty;
    FT_GlyphSlot slot = face->glyph;
    long advance = slot->advance.x;
    if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
        if (m_key.synthBold) {
            FT_Outline_Embolden(&slot->outline, m_boldStrength);
            advance += m_boldStrength;
        }
        if (m_key.synthItalic) {
            FT_Matrix shear{0x10000, 0x0366A, 0, 0x10000};
            FT_Outline_Transform(&slot->outline, &shear);
        }
    }
    auto g = std::make_unique<Glyph>();
    g->advance = static_cast<int>((advance + 32) >> 6);
    if (FT_Render_Glyph(slot, m_key.mono ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL) == 0) {
        const FT_Bitmap& bm = slot->bitmap;
        bool gray = bm.pixel_mode == FT_PIXEL_MODE_GRAY, mono = bm.pixel_mode == FT_PIXEL_MODE_MONO;
        if ((gray || mono) && bm.pitch > 0 && bm.buffer && bm.width > 0 && bm.rows > 0) {
            g->width = static_cast<int>(bm.width);
            g->height = static_cast<int>(bm.rows);
            g->left = slot->bitmap_left;
            g->top = slot->bitmap_top;
            g->coverage.resize(static_cast<size_t>(g->width) * g->height);
            int levels = gray && bm.num_grays > 1 ? bm.num_grays - 1 : 255;
            for (int y = 0; y < g->height; ++y) {
                const uint8_t* src = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
                uint8_t* dst = &g->coverage[static_cast<size_t>(y) * g->width];
                for (int x = 0; x < g->width; ++x) {
                    if (mono)
                        dst[x] = ((src[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0;
                    else
                        dst[x] = static_cast<uint8_t>(levels == 255 ? src[x] : src[x] * 255 / levels);
                }
            }
        }
    }
    m_owned.push_back(std::move(g));
    return m_owned.back().get();
}

unsigned FontGeneration() {
    return GetRegistry().generation.load() + static_cast<unsigned>(SharedFontGeneration());
}

std::shared_ptr<FontInstance> ResolveFont(const LOGFONTW& lf) {
    Registry& reg = GetRegistry();
    std::lock_guard<std::mutex> g(reg.lock);
    EnsureDefaults(reg);
    if (reg.faces.empty()) return nullptr;

    std::u16string want = Lower(std::u16string(lf.lfFaceName, wcsnlen(lf.lfFaceName, LF_FACESIZE)));
    std::vector<const FaceEntry*> candidates;
    for (const auto& e : reg.faces)
        if (!want.empty() && HasFamily(e, want)) candidates.push_back(&e);
    if (candidates.empty() && !want.empty()) FindSharedFaces(reg, want, candidates);
    // An unknown face falls back to the default face, then to anything installed.
    if (candidates.empty())
        for (const auto& e : reg.faces)
            if (HasFamily(e, kDefaultFamily)) candidates.push_back(&e);
    if (candidates.empty()) candidates.push_back(&reg.faces.front());

    int weight = lf.lfWeight <= 0 ? FW_NORMAL : std::min<int>(lf.lfWeight, 1000);
    bool wantBold = weight >= 550, wantItalic = lf.lfItalic != 0;
    const FaceEntry* best = nullptr;
    int bestScore = 1 << 30;
    for (const FaceEntry* e : candidates) {
        // A style can be synthesised but not taken away.
        int score = 0;
        if (e->bold != wantBold) score += e->bold ? 8 : 2;
        if (e->italic != wantItalic) score += e->italic ? 8 : 1;
        if (score < bestScore) {
            bestScore = score;
            best = e;
        }
    }
    FontKey key;
    key.path = best->path;
    key.index = best->index;
    long long h = lf.lfHeight == 0 ? kDefaultHeight : lf.lfHeight;
    key.height = static_cast<int>(std::clamp<long long>(h, -kMaxHeight, kMaxHeight));
    key.synthBold = wantBold && !best->bold;
    key.synthItalic = wantItalic && !best->italic;
    key.mono = lf.lfQuality == NONANTIALIASED_QUALITY;
    key.weight = weight;
    key.italic = wantItalic;
    for (const auto& fi : reg.cache)
        if (fi->Key() == key) return fi;
    auto fi = FontInstance::Create(key);
    if (!fi) return nullptr;
    if (reg.cache.size() >= kCacheLimit) {
        // Forget instances no font holds any more.
        reg.cache.erase(std::remove_if(reg.cache.begin(), reg.cache.end(),
                                       [](const std::shared_ptr<FontInstance>& p) { return p.use_count() == 1; }),
                        reg.cache.end());
    }
    reg.cache.push_back(fi);
    return fi;
}

std::shared_ptr<FontInstance> Font::Realize() {
    std::lock_guard<std::mutex> g(m_lock);
    unsigned gen = FontGeneration();
    if (!m_instance || m_generation != gen) {
        m_instance = ResolveFont(log);
        m_generation = gen;
    }
    return m_instance;
}

}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

int AddFontResourceW(LPCWSTR lpszFilename) {
    std::string path;
    if (!FontFilePath(lpszFilename, path)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    Registry& reg = GetRegistry();
    std::lock_guard<std::mutex> g(reg.lock);
    EnsureDefaults(reg);
    for (auto& f : reg.files) {
        if (f.path == path) {
            ++f.refs;
            return f.faces;
        }
    }
    std::vector<FaceEntry> faces;
    int n = LoadFile(reg, path, faces);
    if (n == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (auto& f : faces) reg.faces.push_back(std::move(f));
    reg.files.push_back(FileEntry{path, 1, n});
    reg.generation.fetch_add(1);
    ShareFontFile(path, true);
    return n;
}

BOOL RemoveFontResourceW(LPCWSTR lpFileName) {
    std::string path;
    if (!FontFilePath(lpFileName, path)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Registry& reg = GetRegistry();
    std::lock_guard<std::mutex> g(reg.lock);
    for (size_t i = 0; i < reg.files.size(); ++i) {
        if (reg.files[i].path != path) continue;
        if (--reg.files[i].refs > 0) return TRUE;
        reg.files.erase(reg.files.begin() + static_cast<ptrdiff_t>(i));
        reg.faces.erase(
            std::remove_if(reg.faces.begin(), reg.faces.end(), [&](const FaceEntry& e) { return e.path == path; }),
            reg.faces.end());
        reg.cache.erase(std::remove_if(reg.cache.begin(), reg.cache.end(),
                                       [&](const std::shared_ptr<FontInstance>& p) { return p->Key().path == path; }),
                        reg.cache.end());
        reg.generation.fetch_add(1);
        ShareFontFile(path, false);
        return TRUE;
    }
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

HFONT CreateFontIndirectW(const LOGFONTW* lplf) {
    if (!lplf) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto f = std::make_shared<Font>();
    f->log = *lplf;
    f->log.lfFaceName[LF_FACESIZE - 1] = 0;
    return static_cast<HFONT>(Register(f));
}

HFONT CreateFontW(int cHeight, int cWidth, int cEscapement, int cOrientation, int cWeight, DWORD bItalic,
                  DWORD bUnderline, DWORD bStrikeOut, DWORD iCharSet, DWORD iOutPrecision, DWORD iClipPrecision,
                  DWORD iQuality, DWORD iPitchAndFamily, LPCWSTR pszFaceName) {
    LOGFONTW lf{};
    lf.lfHeight = cHeight;
    lf.lfWidth = cWidth;
    lf.lfEscapement = cEscapement;
    lf.lfOrientation = cOrientation;
    lf.lfWeight = cWeight;
    lf.lfItalic = static_cast<BYTE>(bItalic ? 1 : 0);
    lf.lfUnderline = static_cast<BYTE>(bUnderline ? 1 : 0);
    lf.lfStrikeOut = static_cast<BYTE>(bStrikeOut ? 1 : 0);
    lf.lfCharSet = static_cast<BYTE>(iCharSet);
    lf.lfOutPrecision = static_cast<BYTE>(iOutPrecision);
    lf.lfClipPrecision = static_cast<BYTE>(iClipPrecision);
    lf.lfQuality = static_cast<BYTE>(iQuality);
    lf.lfPitchAndFamily = static_cast<BYTE>(iPitchAndFamily);
    if (pszFaceName) QrxStrCopy(lf.lfFaceName, LF_FACESIZE, pszFaceName);
    return CreateFontIndirectW(&lf);
}
