// Bytes from the wired link in random chunks through the frame cutter and the checks of CLinkPort:
// nothing out of bounds, every queued request one of the table with a terminated field, the queue
// bounded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/LinkPort.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "link frames: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the chunk sizes.
    if (size < 1) return 0;
    unsigned seed = data[0];
    ++data;
    --size;
    static CLinkPort link(nullptr, nullptr);
    LinkRequest r;
    while (link.TakeRequest(&r)) {
    }
    size_t at = 0;
    int taken = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t chunk = 1 + (seed >> 16) % 97;
        link.Feed(data + at, at + chunk <= size ? chunk : size - at);
        at += chunk;
        while (link.TakeRequest(&r)) {
            ++taken;
            Check((r.message >= 1125 && r.message <= 1168) || r.message == WM_PCCOMM_UNIT_STOP, "message outside the table");
            Check(strnlen(r.field, sizeof r.field) < sizeof r.field, "field not terminated");
            Check(taken <= static_cast<int>(size), "more requests than bytes");
        }
    }
    return 0;
}
