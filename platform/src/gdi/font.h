// Realised fonts: one FreeType face at one size and style, with its metrics and a glyph cache.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "gdi/gdi.h"

namespace qrx::gdi {

struct Glyph {
    int left = 0;  // bitmap start right of the pen position
    int top = 0;   // bitmap start above the baseline
    int width = 0;
    int height = 0;
    int advance = 0;                // pixels
    std::vector<uint8_t> coverage;  // width x height, 0..255
};

struct FontMetrics {
    int ascent = 0;
    int descent = 0;
    int internalLeading = 0;
    int externalLeading = 0;
    int aveCharWidth = 0;
    int maxCharWidth = 0;
    int weight = FW_NORMAL;
    bool italic = false;
    int underlinePos = 1;  // top of the underline below the baseline
    int underlineThickness = 1;
    int strikeoutPos = 0;  // top of the strike-out line above the baseline
};

struct FontKey {
    std::string path;
    long index = 0;
    int height = 0;  // lfHeight semantics: negative character height, positive cell height
    bool synthBold = false;
    bool synthItalic = false;
    bool mono = false;
    int weight = FW_NORMAL;
    bool italic = false;
    bool operator==(const FontKey& o) const {
        return path == o.path && index == o.index && height == o.height && synthBold == o.synthBold &&
               synthItalic == o.synthItalic && mono == o.mono && weight == o.weight && italic == o.italic;
    }
};

class FontInstance {
public:
    ~FontInstance();
    static std::shared_ptr<FontInstance> Create(const FontKey& key);
    const FontMetrics& Metrics() const { return m_metrics; }
    const FontKey& Key() const { return m_key; }
    // The glyph of a character; never null. Safe from any thread; a cached glyph costs two loads.
    const Glyph& Get(char32_t c);

private:
    FontInstance() = default;
    const Glyph* Render(char32_t c);

    struct Page {
        std::atomic<const Glyph*> glyphs[256] = {};
    };
    FontKey m_key;
    FontMetrics m_metrics;
    void* m_face = nullptr;  // FT_Face, used under m_lock
    int m_ppem = 0;
    long m_boldStrength = 0;  // 26.6
    std::mutex m_lock;
    std::atomic<Page*> m_pages[256] = {};
    std::vector<std::unique_ptr<Page>> m_ownedPages;
    std::vector<std::unique_ptr<Glyph>> m_owned;
    std::unordered_map<char32_t, const Glyph*> m_astral;  // under m_lock
    Glyph m_empty;
};

// The instance for a logical font, after the face mapping: null when no font is installed at all.
std::shared_ptr<FontInstance> ResolveFont(const LOGFONTW& lf);
// Changes whenever fonts are added or removed, by this program or another of the device.
unsigned FontGeneration();

// fontshare.cpp: the fonts added by the programs of the device.
// Holds (add) or lets go of this program's registration of a font file.
void ShareFontFile(const std::string& path, bool add);
// Changes with every registration or release anywhere on the device.
uint64_t SharedFontGeneration();
// The font files some running program has added (this one included).
std::vector<std::string> LiveSharedFontFiles();
bool SharedFontFileLive(const std::string& path);

}  // namespace qrx::gdi
