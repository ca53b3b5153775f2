// The admin page's settings import over arbitrary bytes: only a whole 986-byte file with a good sum
// replaces the stored settings, and then byte for byte; anything else leaves the stored file alone.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/SettingTools.h"
#include "FuzzRoot.h"
#include "qrx/host.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "settings import: %s\n", what);
    abort();
}

const FuzzRoot& Root() {
    static FuzzRoot root("import", {"Windows", "NAND Flash", "SD Card/System"});
    return root;
}

bool Whole(const std::string& bytes) {
    if (bytes.size() != 986) return false;
    unsigned sum = 0;
    for (size_t i = 0; i < 984; ++i) sum += static_cast<unsigned char>(bytes[i]);
    return (sum & 0xFFFFu) == (static_cast<unsigned>(static_cast<unsigned char>(bytes[984])) | static_cast<unsigned>(static_cast<unsigned char>(bytes[985])) << 8);
}

void Import(const std::string& input) {
    const FuzzRoot& root = Root();
    root.Remove("NAND Flash/System");
    root.Put("SD Card/System/Setting.bin", input);
    bool imported = ImportSettingFile(u"\\SD Card\\System\\Setting.bin");
    Check(imported == Whole(input), "wrong verdict");
    Check(CheckSettingImage(reinterpret_cast<const BYTE*>(input.data()), input.size()) == Whole(input), "wrong check");
    std::string stored = root.Get("NAND Flash/System/Setting.bin");
    Check(imported ? stored == input : stored.empty(), "stored file differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 14) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    Import(input);
    // The same bytes cut or padded to the file's size and sealed with their sum, so the content behind
    // the check is reached too.
    input.resize(986, '\0');
    unsigned sum = 0;
    for (size_t i = 0; i < 984; ++i) sum += static_cast<unsigned char>(input[i]);
    if (size & 1) sum ^= 1;  // odd inputs keep a wrong sum
    input[984] = static_cast<char>(sum & 0xFF);
    input[985] = static_cast<char>((sum >> 8) & 0xFF);
    Import(input);
    return 0;
}
