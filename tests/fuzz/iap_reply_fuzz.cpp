// A PMC loader reply over arbitrary bytes: the check never reads past what came nor writes past the
// caller's buffer, whatever the reply claims.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "upgrader/ComIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    WORD checksum = static_cast<WORD>(data[0] | data[1] << 8);
    DWORD sequence = data[2] | data[3] << 8;
    DWORD outLength = data[4] % 72;
    bool checkSequence = data[5] & 1;
    std::vector<BYTE> reply(data + 6, data + size);
    std::vector<BYTE> out(outLength);
    DWORD copied = 0;
    if (CheckIapReply(reply.data(), static_cast<DWORD>(reply.size()), checksum, sequence, checkSequence,
                      out.empty() ? nullptr : out.data(), outLength, &copied) &&
        (copied > outLength || copied + 8 > reply.size()))
        __builtin_trap();
    return 0;
}
