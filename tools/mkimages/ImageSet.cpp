#include "ImageSet.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "BmpWriter.h"
#include "PngWriter.h"
#include "ZipWriter.h"

namespace mkimages {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& tail) {
    return s.size() > tail.size() && Lower(s.substr(s.size() - tail.size())) == tail;
}

// Member and archive names stay plain: the archive finds members by bare name, and a name must not
// reach outside the output folder.
bool PlainName(const std::string& s, const std::string& extension) {
    if (s.empty() || s.size() > 64 || s[0] == '.' || !EndsWithNoCase(s, extension)) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

bool PlainFolder(const std::string& s) {
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
}

bool IsBmp(const std::string& name) { return EndsWithNoCase(name, ".bmp"); }

bool ParseInt(const std::string& s, int& v) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size();
}

bool ParseColour(const std::string& s, COLORREF& c) {
    if (s.size() != 7 || s[0] != '#') return false;
    unsigned v = 0;
    auto [end, ec] = std::from_chars(s.data() + 1, s.data() + 7, v, 16);
    if (ec != std::errc() || end != s.data() + 7) return false;
    c = RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    return true;
}

// Splits at blanks; "..." keeps blanks inside one token; "#" outside quotes starts a comment.
bool Tokenize(const std::string& line, std::vector<std::string>& tokens, std::string& error) {
    tokens.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string tok;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] == '"') {
                size_t close = line.find('"', i + 1);
                if (close == std::string::npos) {
                    error = "unterminated quote";
                    return false;
                }
                tok.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                tok += line[i++];
            }
        }
        tokens.push_back(tok);
    }
    return true;
}

bool CheckParam(const ParamInfo& p, const std::string& value, std::string& why) {
    switch (p.type) {
    case ParamType::Int: {
        int v = 0;
        if (!ParseInt(value, v) || v < p.min || v > p.max) {
            why = "wants a whole number from " + std::to_string(p.min) + " to " + std::to_string(p.max);
            return false;
        }
        return true;
    }
    case ParamType::Colour: {
        COLORREF c;
        if (!ParseColour(value, c)) {
            why = "wants a colour #RRGGBB";
            return false;
        }
        return true;
    }
    case ParamType::Choice: {
        std::string all = std::string("|") + p.choices + "|";
        if (value.empty() || value.find('|') != std::string::npos || all.find("|" + value + "|") == std::string::npos) {
            why = std::string("wants one of ") + p.choices;
            return false;
        }
        return true;
    }
    case ParamType::Text: {
        std::u16string t;
        if (!Utf8ToUtf16(value, t) || t.size() > kMaxTextValue) {
            why = "wants UTF-8 text of at most " + std::to_string(kMaxTextValue) + " characters";
            return false;
        }
        return true;
    }
    }
    return false;
}

const ParamInfo kBackdrop{"backdrop", ParamType::Colour};

bool ParseImageLine(const std::vector<std::string>& tok, ImageEntry& entry, std::string& error) {
    if (tok.size() < 4) {
        error = "an image line is: name width height kind [key=value ...]";
        return false;
    }
    entry.name = tok[0];
    if (!PlainName(entry.name, ".png") && !PlainName(entry.name, ".bmp")) {
        error = "image name '" + entry.name +
                "' must be letters, digits, '_', '-', '.' ending in .png or .bmp (64 at most)";
        return false;
    }
    if (!ParseInt(tok[1], entry.width) || !ParseInt(tok[2], entry.height) || entry.width < 1 || entry.height < 1 ||
        entry.width > kMaxImageSide || entry.height > kMaxImageSide) {
        error = "image size must be 1 to " + std::to_string(kMaxImageSide) + " pixels each way";
        return false;
    }
    entry.kind = FindKind(tok[3]);
    if (!entry.kind) {
        error = "unknown kind '" + tok[3] + "'";
        return false;
    }
    for (size_t i = 4; i < tok.size(); ++i) {
        size_t eq = tok[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "parameter '" + tok[i] + "' is not key=value";
            return false;
        }
        std::string key = tok[i].substr(0, eq), value = tok[i].substr(eq + 1);
        const ParamInfo* info = key == kBackdrop.key ? &kBackdrop : nullptr;
        for (const ParamInfo& p : entry.kind->params)
            if (key == p.key) info = &p;
        if (!info) {
            error = std::string("kind ") + entry.kind->name + " has no parameter '" + key + "'";
            return false;
        }
        if (entry.params.count(key)) {
            error = "parameter '" + key + "' given twice";
            return false;
        }
        std::string why;
        if (!CheckParam(*info, value, why)) {
            error = key + " " + why;
            return false;
        }
        entry.params[key] = value;
    }
    for (const ParamInfo& p : entry.kind->params)
        if (!entry.params.count(p.key)) entry.params[p.key] = p.def;
    return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int ImageEntry::Int(const std::string& key) const {
    int v = 0;
    ParseInt(Raw(key), v);
    return v;
}

std::u16string ImageEntry::Text(const std::string& key) const {
    std::u16string t;
    Utf8ToUtf16(Raw(key), t);
    return t;
}

COLORREF ImageEntry::Colour(const std::string& key) const {
    COLORREF c = 0;
    ParseColour(Raw(key), c);
    return c;
}

const std::string& ImageEntry::Raw(const std::string& key) const {
    static const std::string empty;
    auto it = params.find(key);
    return it == params.end() ? empty : it->second;
}

bool Utf8ToUtf16(const std::string& in, std::u16string& out) {
    out.clear();
    size_t i = 0;
    while (i < in.size()) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
        else if ((c & 0xF8) == 0xF0) cp = c & 0x07, n = 4;
        else return false;
        if (i + n > in.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            unsigned char d = static_cast<unsigned char>(in[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return true;
}

bool ParseImageSet(const std::string& text, const std::string& source, std::vector<ArchiveSet>& archives,
                   std::string& error) {
    if (text.size() > kMaxSetFile) {
        error = source + ": file too large";
        return false;
    }
    std::set<std::string> archiveNames;
    for (const ArchiveSet& a : archives) archiveNames.insert(Lower(a.name));
    ArchiveSet* current = nullptr;
    std::set<std::string> memberNames;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> tok;
    int number = 0;
    auto fail = [&](const std::string& what) {
        error = source + ":" + std::to_string(number) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (line.size() > kMaxLine) return fail("line too long");
        std::string why;
        if (!Tokenize(line, tok, why)) return fail(why);
        if (tok.empty()) continue;
        if (tok[0] == "archive" || tok[0] == "folder") {
            const bool folder = tok[0] == "folder";
            if (tok.size() != 2 || (folder ? !PlainFolder(tok[1]) : !PlainName(tok[1], ".zip")))
                return fail(folder ? "a folder line is: folder NAME (letters, digits, '_', '-')"
                                   : "an archive line is: archive NAME.zip");
            if (!archiveNames.insert(Lower(tok[1])).second) return fail(tok[0] + " " + tok[1] + " named twice");
            archives.push_back(ArchiveSet{tok[1], source, {}, folder});
            current = &archives.back();
            memberNames.clear();
            continue;
        }
        if (!current) return fail("an image before any archive line");
        ImageEntry entry;
        entry.line = number;
        if (!ParseImageLine(tok, entry, why)) return fail(why);
        // The archive looks members up without regard to case.
        if (!memberNames.insert(Lower(entry.name)).second) return fail("image " + entry.name + " listed twice");
        current->images.push_back(std::move(entry));
    }
    return true;
}

bool LoadImageSet(const std::string& hostPath, std::vector<ArchiveSet>& archives, std::string& error) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) {
        error = hostPath + ": cannot open";
        return false;
    }
    std::string text;
    text.resize(kMaxSetFile + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return ParseImageSet(text, hostPath, archives, error);
}

bool DrawImage(const ImageEntry& entry, Rgba& out, std::string& error) {
    if (!entry.kind) {
        error = entry.name + ": no kind";
        return false;
    }
    std::unique_ptr<ImageDrawer> drawer = entry.kind->make(entry);
    // A BMP has no alpha: it is drawn over its backdrop, black when none is given.
    bool opaque = entry.Has(kBackdrop.key) || IsBmp(entry.name);
    if (!Render(*drawer, entry.width, entry.height, entry.kind->scale, !opaque,
                entry.Has(kBackdrop.key) ? entry.Colour(kBackdrop.key) : 0,
                out, error)) {
        error = entry.name + ": " + error;
        return false;
    }
    return true;
}

bool BuildArchives(const std::vector<ArchiveSet>& archives, const std::string& outDir, const std::string& pngDir,
                   std::vector<std::string>& written, std::string& error) {
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (!fs::is_directory(outDir)) {
        error = outDir + ": cannot create the folder";
        return false;
    }
    for (const ArchiveSet& a : archives) {
        std::vector<ZipMember> members;
        std::string looseDir;
        if (a.folder) {
            looseDir = (fs::path(outDir) / a.name).string();
            fs::create_directories(looseDir, ec);
        } else if (!pngDir.empty()) {
            looseDir = (fs::path(pngDir) / a.name.substr(0, a.name.size() - 4)).string();
            fs::create_directories(looseDir, ec);
        }
        for (const ImageEntry& entry : a.images) {
            Rgba image;
            ZipMember m{entry.name, {}};
            if (!DrawImage(entry, image, error)) return false;
            if (IsBmp(entry.name) ? !EncodeBmp(image, m.bytes) : !EncodePng(image, m.bytes)) {
                error = entry.name + ": encoding failed";
                return false;
            }
            if (!looseDir.empty() && !WriteFileBytes((fs::path(looseDir) / entry.name).string(), m.bytes)) {
                error = looseDir + "/" + entry.name + ": cannot write";
                return false;
            }
            members.push_back(std::move(m));
        }
        if (a.folder) {
            written.push_back(looseDir);
            continue;
        }
        std::string path = (fs::path(outDir) / a.name).string();
        if (!WriteZip(path, members, error)) return false;
        written.push_back(path);
    }
    return true;
}

}  // namespace mkimages
