// Image sets: text files that list the archives to build and every image in them, one line each:
//
//   archive Splash.zip
//   # name           width height kind    parameters (key=value, "quoted" for spaces)
//   loading_bg.png   120   120    panel   backdrop=#1B1D20 radius=14
//
// A "folder NAME" line instead of an archive line writes the images after it as loose files into
// <out>/NAME (pictures compiled into a module). Names ending in .bmp are written as opaque 24-bit BMPs.
//
// The kind names a drawing routine of the table in Painters.cpp with its own parameters; a page adds
// its images by adding lines. backdrop=#RRGGBB (any kind) draws the image opaque over that colour;
// without it the image keeps its transparency.
#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Canvas.h"

namespace mkimages {

enum class ParamType { Int, Text, Colour, Choice };

struct ParamInfo {
    const char* key;
    ParamType type;
    int min = 0, max = 0;           // Int: inclusive range
    const char* choices = nullptr;  // Choice: "a|b|c"
    const char* def = "";           // default text, in the same syntax
};

struct ImageEntry;

struct KindInfo {
    const char* name;
    std::vector<ParamInfo> params;
    int scale;  // supersampling
    std::unique_ptr<ImageDrawer> (*make)(const ImageEntry& entry);
};

const KindInfo* FindKind(const std::string& name);
const std::vector<KindInfo>& Kinds();

struct ImageEntry {
    std::string name;
    int width = 0, height = 0;
    const KindInfo* kind = nullptr;
    std::map<std::string, std::string> params;  // checked values, defaults filled in
    int line = 0;

    int Int(const std::string& key) const;
    std::u16string Text(const std::string& key) const;
    COLORREF Colour(const std::string& key) const;
    const std::string& Raw(const std::string& key) const;
    bool Has(const std::string& key) const { return params.count(key) != 0; }
};

struct ArchiveSet {
    std::string name;
    std::string source;  // the set file, for messages
    std::vector<ImageEntry> images;
    bool folder = false;  // a "folder NAME" line: loose files in <out>/NAME, no archive
};

// Largest set file, line and text value accepted.
constexpr size_t kMaxSetFile = 1u << 20;
constexpr size_t kMaxLine = 1024;
constexpr size_t kMaxTextValue = 128;

// Appends the archives of one set; error is "source:line: what".
bool ParseImageSet(const std::string& text, const std::string& source, std::vector<ArchiveSet>& archives,
                   std::string& error);
bool LoadImageSet(const std::string& hostPath, std::vector<ArchiveSet>& archives, std::string& error);

bool DrawImage(const ImageEntry& entry, Rgba& out, std::string& error);

// Writes every archive (and folder) into outDir; with pngDir set, also each image loose under pngDir/<archive
// name without .zip>/ for looking at. written receives the archive paths.
bool BuildArchives(const std::vector<ArchiveSet>& archives, const std::string& outDir, const std::string& pngDir,
                   std::vector<std::string>& written, std::string& error);

// UTF-8 to UTF-16; false on malformed input.
bool Utf8ToUtf16(const std::string& in, std::u16string& out);

}  // namespace mkimages
