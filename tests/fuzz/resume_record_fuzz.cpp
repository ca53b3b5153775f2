// The resume record check over arbitrary bytes: what it accepts is a record of exactly 536 bytes whose
// path, terminated, names a log in the storage root's Log folder.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/OperationLog.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "resume record: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const WCHAR* root : {u"\\SD Card", u"\\Hard Disk"}) {
        WCHAR path[MAX_PATH + 8];
        for (WCHAR& c : path) c = u'#';
        double volts = 0;
        if (!ParseOperatingRecord(data, size, root, path, &volts)) {
            Check(path[0] == 0, "a refused record left a path");
            continue;
        }
        Check(size == sizeof(OperatingRecord), "size");
        const size_t n = wcslen(path);
        Check(n > 0 && n < MAX_PATH, "path not terminated within the record");
        const std::u16string_view p(path, n);
        Check(p.find(u"..") == std::u16string_view::npos, "a path that climbs");
        Check(IsLogPathOfRoot(path, root), "a path outside the log folder");
    }
    return 0;
}
