#include "upgrader/PartArchive.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {
// Large pieces: every write is a system call, and the OS image alone is 16 MiB.
constexpr DWORD kPiece = 0x100000;
}

HZIP OpenPackagePart(const WCHAR* package, DWORD offset, DWORD size, std::vector<BYTE>& part, int& count) {
    count = 0;
    if (size < 4) return nullptr;
    HANDLE f = CreateFileW(package, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return nullptr;
    part.resize(size);
    DWORD read = 0;
    bool ok = SetFilePointer(f, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
              ReadFile(f, part.data(), size, &read, nullptr) && read == size;
    CloseHandle(f);
    if (!ok) return nullptr;
    part[0] = 'P';
    part[1] = 'K';
    HZIP zip = OpenZipMemory(part.data(), size, nullptr);
    ZipItemInfo item{};
    if (zip && GetZipItem(zip, -1, &item) == ZR_OK && item.index > 0 && item.index <= kMaxPartEntries) {
        count = item.index;
        return zip;
    }
    if (zip) CloseZip(zip);
    return nullptr;
}

EntryResult EntryToFile(HZIP zip, int index, DWORD declared, const std::u16string& path, std::vector<BYTE>& head,
                        const std::function<void(DWORD)>& written) {
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return EntryResult::Write;
    // One uninitialised piece per entry, no larger than the entry (the reader wants at least a byte).
    const DWORD pieceSize = std::clamp<DWORD>(declared, 1, kPiece);
    std::unique_ptr<BYTE[]> piece(new (std::nothrow) BYTE[pieceSize]);
    if (!piece) {
        CloseHandle(out);
        return EntryResult::Write;
    }
    std::fill(head.begin(), head.end(), 0);
    DWORD done = 0;
    EntryResult result = EntryResult::Ok;
    for (;;) {
        DWORD r = UnzipZipItemToMemory(zip, index, piece.get(), pieceSize);
        if (r != ZR_OK && r != ZR_MORE) {
            result = EntryResult::Corrupt;
            break;
        }
        // The reader fills whole pieces up to the member's declared end, which it checks against the
        // CRC; the last piece holds the rest.
        DWORD left = declared - done;
        DWORD n = r == ZR_MORE ? pieceSize : left;
        if (n > left || n > pieceSize) {
            result = EntryResult::Corrupt;
            break;
        }
        if (done < head.size()) std::memcpy(head.data() + done, piece.get(), std::min<size_t>(n, head.size() - done));
        DWORD put = 0;
        if (n > 0 && (!WriteFile(out, piece.get(), n, &put, nullptr) || put != n)) {
            result = EntryResult::Write;
            break;
        }
        done += n;
        if (written) written(n);
        if (r == ZR_OK) break;
    }
    CloseHandle(out);
    if (result == EntryResult::Ok && done != declared) result = EntryResult::Corrupt;
    return result;
}
