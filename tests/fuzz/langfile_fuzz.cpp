// The language loader and its lookups over arbitrary bytes: the input is stored as a UTF-16 file
// (behind a byte-order mark), as the 8-bit file of a single-byte and of a double-byte code page,
// and as it comes, then texts are looked up into buffers of every small size.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Language.h"
#include "FuzzRoot.h"
#include "qrx/host.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "language file: %s\n", what);
    abort();
}

FuzzRoot& Root() {
    static FuzzRoot root("lang", {"Windows", "NAND Flash"});
    return root;
}

size_t Length(const WCHAR* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i)
        if (text[i] == 0) return i;
    Check(false, "text not terminated within its buffer");
    return capacity;
}

// Shells and keys the pages ask for, plus a few the input itself suggests.
void Lookups(const uint8_t* data, size_t size) {
    std::vector<int> shells = {4, 12, 0};
    std::vector<int> keys = {0, 4, 36};
    if (size >= 2) {
        shells.push_back(data[0]);
        keys.push_back(data[1] - 64);
    }
    for (int shell : shells) {
        for (int key : keys) {
            BOOL fromLast = (shell + key) & 1;
            // Exactly sized, so the sanitizer sees any write past the end.
            WCHAR* full = new WCHAR[LANG_TEXT_CHARS];
            BOOL found = SetControlLangText(shell, key, full, LANG_TEXT_CHARS, fromLast);
            size_t length = Length(full, LANG_TEXT_CHARS);
            Check(found || length == 0, "text given for a missing key");
            for (size_t cap : {size_t{1}, size_t{3}}) {
                WCHAR* small = new WCHAR[cap];
                BOOL again = SetControlLangText(shell, key, small, cap, FALSE);
                size_t cut = Length(small, cap);
                // A short buffer takes the head of the same text.
                if (!fromLast) {
                    Check(again == found, "found depends on the buffer size");
                    Check(cut == (length < cap - 1 ? length : cap - 1), "short buffer holds another length");
                    for (size_t i = 0; i < cut; ++i) Check(small[i] == full[i], "short buffer holds another text");
                }
                delete[] small;
            }
            delete[] full;
            const WCHAR* shared = GetLangText(shell, key, fromLast);
            Check(shared != nullptr && Length(shared, LANG_TEXT_CHARS) < LANG_TEXT_CHARS, "shared text overrun");
        }
    }
    Check(SetControlLangText(1, 0, nullptr, 5, FALSE) == FALSE, "null buffer accepted");
}

void LoadAndLook(const char* file, int index, const std::string& bytes, const uint8_t* data, size_t size) {
    Root().Put(file, bytes);
    if (!LoadLanguageFile(index)) return;
    Check(GetCurrentLanguage() == index && IsLanguageLoaded(), "loaded language not current");
    Lookups(data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 13) return 0;
    Root();
    const std::string input(reinterpret_cast<const char*>(data), size);
    // English (page 437) takes the input as UTF-16 text behind its mark.
    LoadAndLook("Windows/English.lang", 0, "\xFF\xFE" + input, data, size);
    // Korean (page 949) as 8-bit double-byte text, Russian (page 1251) single-byte, both as they come.
    LoadAndLook("Windows/Korean.lang", 1, input, data, size);
    LoadAndLook("Windows/Russian.lang", 7, input, data, size);
    return 0;
}
