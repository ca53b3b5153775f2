// qrx-mkimages --out DIR [--png DIR] SET...
// Draws the images of the listed image sets and packs them into their archives in DIR.
#include <cstdio>
#include <string>
#include <vector>

#include "ImageSet.h"

int main(int argc, char** argv) {
    std::string outDir, pngDir;
    std::vector<std::string> sets;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--out" || a == "--png") && i + 1 < argc) {
            (a == "--out" ? outDir : pngDir) = argv[++i];
        } else if (!a.empty() && a[0] != '-') {
            sets.push_back(a);
        } else {
            sets.clear();
            break;
        }
    }
    if (outDir.empty() || sets.empty()) {
        std::fprintf(stderr, "usage: qrx-mkimages --out DIR [--png DIR] SET...\n");
        return 2;
    }
    std::vector<mkimages::ArchiveSet> archives;
    std::string error;
    for (const std::string& s : sets)
        if (!mkimages::LoadImageSet(s, archives, error)) {
            std::fprintf(stderr, "qrx-mkimages: %s\n", error.c_str());
            return 1;
        }
    std::vector<std::string> written;
    if (!mkimages::BuildArchives(archives, outDir, pngDir, written, error)) {
        std::fprintf(stderr, "qrx-mkimages: %s\n", error.c_str());
        return 1;
    }
    for (size_t i = 0; i < written.size(); ++i)
        std::printf("qrx-mkimages: %s (%zu images)\n", written[i].c_str(), archives[i].images.size());
    return 0;
}
