// Bytes from a Bluetooth host in chunks through the receive ring, the line cut and the request check
// into a recording notify: nothing out of bounds, every message one of the table, fields terminated.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "radiolink/QrxFrame.h"
#include "radiolink/UartPort.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "bt line: %s\n", what);
    abort();
}

struct Sent {
    unsigned message;
    uintptr_t param;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the chunk sizes, the second one's low bit the streaming flag.
    if (size < 2) return 0;
    unsigned seed = data[0];
    const bool streaming = (data[1] & 1) != 0;
    data += 2;
    size -= 2;
    static CUartRing ring;
    ring.Reset();
    qrxframe::LineCutter cutter;
    const qrxframe::Rules rules{false, 1};
    std::vector<Sent> notify;
    size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t chunk = 1 + (seed >> 16) % 97;
        for (size_t i = at; i < size && i < at + chunk; ++i) ring.Put(data[i]);
        at += chunk;
        BYTE b;
        while (ring.Get(&b)) {
            if (!cutter.Push(b)) continue;
            Check(cutter.Length() >= 1 && cutter.Length() <= qrxframe::kMaxLine, "line out of bounds");
            Check(cutter.Line()[cutter.Length() - 1] == '\n', "line without its LF");
            qrxframe::Request r;
            qrxframe::ParseLine(cutter.Line(), cutter.Length(), streaming, rules, r);
            if (r.outcome == qrxframe::Outcome::Error) {
                Check(r.error == qrxframe::kErrorChecksum || r.error == qrxframe::kErrorCode, "unknown error code");
                continue;
            }
            if (r.outcome != qrxframe::Outcome::Request) continue;
            Check(r.message ==
                      qrxframe::MessageOfCode(static_cast<char>(cutter.Line()[5]), static_cast<char>(cutter.Line()[6])),
                  "message not of its code");
            Check(r.message >= 1125 && r.message <= 1168, "message outside the table");
            Check(!(streaming && r.message == 1125), "B0 taken while streaming");
            Check(strnlen(r.field, sizeof r.field) < sizeof r.field, "field not terminated");
            notify.push_back({r.message, r.kind == qrxframe::Param::Field ? 0 : r.param});
        }
    }
    return 0;
}
