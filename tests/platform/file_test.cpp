#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;

HANDLE Open(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes = 0) {
    return CreateFileW(path, access, share, nullptr, disposition, attributes, nullptr);
}

std::string ReadAll(HANDLE h) {
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    std::string out;
    char buf[64];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    return out;
}

bool Write(HANDLE h, const std::string& bytes) {
    DWORD n = 0;
    return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
}

std::vector<std::u16string> List(const WCHAR* pattern) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE)
        return {u"<error " + std::u16string(1, static_cast<char16_t>(u'0' + GetLastError())) + u">"};
    do names.emplace_back(fd.cFileName);
    while (FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    return names;
}

using Files = DeviceRootTest;

}  // namespace

TEST_F(Files, DispositionsCreateOpenAndReportAsThePlatformDoes) {
    const WCHAR* path = u"\\NAND Flash\\Data.bin";
    EXPECT_EQ(Open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(path, kRW, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(u"\\NAND Flash\\No\\Data.bin", kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(u"\\nand flash", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Open(u"\\NAND Flash\\*.bin", kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(Open(u"\\.platform", kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    HANDLE h = Open(u"\\nand flash\\Data.bin", kRW, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(h, "hello"));
    CloseHandle(h);
    EXPECT_EQ(root.ReadFile("NAND Flash/Data.bin"), "hello");  // new file spelled as asked
    EXPECT_EQ(Open(path, kRW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = Open(u"\\NAND FLASH\\DATA.BIN", kRW, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadAll(h), "hello");
    CloseHandle(h);
    h = Open(path, kRW, 0, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);
    h = Open(u"\\NAND Flash\\Other.bin", kRW, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
    EXPECT_FALSE(CloseHandle(h));
}

TEST_F(Files, ReadsWritesSeeksAndTruncates) {
    HANDLE h = Open(u"\\NAND Flash\\f.bin", kRW, 0, CREATE_ALWAYS);
    ASSERT_TRUE(Write(h, "0123456789"));
    char buf[16];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // at the end: success, nothing
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    EXPECT_TRUE(ReadFile(h, buf, 2, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "67");
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 8u);  // unchanged by the failure

    LONG high = 1;  // 4 GiB + 3: a sparse position past the 32-bit range
    EXPECT_EQ(SetFilePointer(h, 3, &high, FILE_BEGIN), 3u);
    EXPECT_EQ(high, 1);
    high = -1;  // back by 4 GiB
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 3u);
    EXPECT_EQ(high, 0);

    EXPECT_TRUE(SetEndOfFile(h));
    DWORD sizeHigh = 7;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 3u);
    EXPECT_EQ(sizeHigh, 0u);
    EXPECT_EQ(ReadAll(h), "012");
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);

    // Access is what the handle was opened for.
    h = Open(u"\\NAND Flash\\f.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(h));
    CloseHandle(h);
    h = Open(u"\\NAND Flash\\f.bin", 0, 0, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);
    CloseHandle(h);
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Files, SharingIsEnforcedBetweenOpenHandles) {
    const WCHAR* path = u"\\NAND Flash\\shared.bin";
    root.WriteFile("NAND Flash/shared.bin", "keep");
    HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE second = Open(u"\\nand flash\\SHARED.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    // The first does not share writing: a writer is refused, and its truncation never happens.
    EXPECT_EQ(Open(path, kRW, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(root.ReadFile("NAND Flash/shared.bin"), "keep");
    // A reader that will not share reading conflicts with the first's access.
    EXPECT_EQ(Open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    HANDLE query = Open(path, 0, 0, OPEN_EXISTING);  // a query takes nothing and denies nothing
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    second = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    CloseHandle(query);

    // A duplicate keeps the share alive until the last handle goes.
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(nullptr, reader, nullptr, &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CloseHandle(reader);
    EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    CloseHandle(dup);
    HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\nothing.bin", path, FALSE));
    root.WriteFile("NAND Flash/src.bin", "new");
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\src.bin", path, FALSE));  // target held without write sharing
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);
}

TEST_F(Files, ReadOnlyIsEnforcedByTheLayer) {
    const WCHAR* path = u"\\NAND Flash\\ro.bin";
    HANDLE h = Open(path, kRW, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(h, "data"));  // the creating handle keeps its access
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(path), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(fs::status(root.Host("NAND Flash/ro.bin")).permissions() & fs::perms::owner_write, fs::perms::none);

    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        EXPECT_EQ(Open(path, kRW, 0, disposition), INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << disposition;
    }
    EXPECT_EQ(Open(path, GENERIC_READ, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);  // would overwrite
    h = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_EQ(ReadAll(h), "data");
    CloseHandle(h);
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    root.WriteFile("NAND Flash/src.bin", "src");
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\src.bin", path, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(_wfopen(path, u"wb"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wfopen(path, u"r+b"), nullptr);
    FILE* f = _wfopen(path, u"rb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(root.ReadFile("NAND Flash/ro.bin"), "data");

    ASSERT_TRUE(SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(path), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_NE(fs::status(root.Host("NAND Flash/ro.bin")).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_TRUE(DeleteFileW(path));

    // A file made read-only on the host side counts as read-only too.
    root.WriteFile("NAND Flash/host.bin", "h");
    fs::permissions(root.Host("NAND Flash/host.bin"), fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(GetFileAttributesW(u"\\NAND Flash\\host.bin"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileW(u"\\NAND Flash\\host.bin"));
}

TEST_F(Files, AttributesPersistInTheFileOrTheStateMap) {
    const WCHAR* path = u"\\Hard Disk\\a.txt";
    root.WriteFile("Hard Disk/a.txt", "a");
    EXPECT_EQ(GetFileAttributesW(path), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(u"\\hard disk"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    ASSERT_TRUE(SetFileAttributesW(
        path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(path),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesW(u"\\Hard Disk", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY));
    char raw[4];
    EXPECT_EQ(getxattr(root.Host("Hard Disk/a.txt").c_str(), "user.qrx.attrs", raw, sizeof raw), 4);

    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\no\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\a.txt\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // Where extended attributes are missing the bits live in a map that follows renames.
    struct Sidecar {
        Sidecar() { qrx::UseAttributeSidecar(true); }
        ~Sidecar() { qrx::UseAttributeSidecar(false); }
    } sidecar;
    root.WriteFile("Hard Disk/b.txt", "b");
    ASSERT_TRUE(SetFileAttributesW(u"\\Hard Disk\\b.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_NE(root.ReadFile(".platform/attrs").find("Hard Disk/b.txt"), std::string::npos);
    ASSERT_TRUE(CreateDirectoryW(u"\\Hard Disk\\Sub", nullptr));
    ASSERT_TRUE(MoveFileW(u"\\Hard Disk\\b.txt", u"\\Hard Disk\\Sub\\c.txt"));
    ASSERT_TRUE(MoveFileW(u"\\Hard Disk\\Sub", u"\\Hard Disk\\Moved"));
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\Moved\\C.TXT"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(DeleteFileW(u"\\Hard Disk\\Moved\\c.txt"));
    root.WriteFile("Hard Disk/Moved/c.txt", "again");  // a new file under the old name has none
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\Moved\\c.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
}

TEST_F(Files, FileTimesRoundTrip) {
    HANDLE h = Open(u"\\NAND Flash\\t.bin", kRW, 0, CREATE_ALWAYS);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
    // Within a day of now, as FILETIME counts from 1601.
    ULONGLONG w = static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
    ULONGLONG expected = (static_cast<ULONGLONG>(time(nullptr)) + 11644473600ull) * 10000000ull;
    EXPECT_LT(w > expected ? w - expected : expected - w, 864000000000ull);

    FILETIME when{0x12345670u, 0x01D9ABCDu}, access{0x00000010u, 0x01D00000u}, birth{1, 1};
    ASSERT_TRUE(SetFileTime(h, &birth, &access, &when));  // the creation time is accepted
    FILETIME a2, w2;
    ASSERT_TRUE(GetFileTime(h, nullptr, &a2, &w2));
    EXPECT_EQ(w2.dwLowDateTime, when.dwLowDateTime);
    EXPECT_EQ(w2.dwHighDateTime, when.dwHighDateTime);
    EXPECT_EQ(a2.dwLowDateTime, access.dwLowDateTime);
    CloseHandle(h);

    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(u"\\NAND Flash\\T.BIN", &fd);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fd.ftLastWriteTime.dwLowDateTime, when.dwLowDateTime);
    EXPECT_EQ(fd.ftLastWriteTime.dwHighDateTime, when.dwHighDateTime);
    EXPECT_TRUE(CloseHandle(find));  // a find handle closes either way

    h = Open(u"\\NAND Flash\\t.bin", GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &when));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
}

TEST_F(Files, FindMatchesWildcardsWithoutRegardToCase) {
    root.WriteFile("NAND Flash/Log/b.CSV", "12345");
    root.WriteFile("NAND Flash/Log/a.csv", "1");
    root.WriteFile("NAND Flash/Log/README", "");
    root.WriteFile("NAND Flash/Log/c.csv.bak", "");
    fs::create_directories(root.Host("NAND Flash/Log/Sub"));
    using V = std::vector<std::u16string>;
    EXPECT_EQ(List(u"\\nand flash\\log\\*.csv"), (V{u"a.csv", u"b.CSV"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Log\\*.*"), (V{u"a.csv", u"b.CSV", u"c.csv.bak", u"README", u"Sub"}));
    EXPECT_EQ(List(u"/NAND Flash/Log/?.c*"), (V{u"a.csv", u"b.CSV", u"c.csv.bak"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Log\\readme"), (V{u"README"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Log\\readme.*"), (V{u"README"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Log\\*.txt"), (V{u"<error 2>"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Nope\\*"), (V{u"<error 3>"}));
    EXPECT_EQ(List(u"\\NAND Flash\\Log\\.."), (V{u"<error 2>"}));

    qrx::PlatformStatePath("x");
    V top = List(u"\\*");
    EXPECT_EQ(std::count(top.begin(), top.end(), u".platform"), 0);
    EXPECT_EQ(top, (V{u"Hard Disk", u"NAND Flash", u"SD Card", u"Windows"}));
    EXPECT_EQ(List(u"*"), top);
    EXPECT_EQ(List(u"\\.platform\\*"), (V{u"<error 3>"}));

    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(u"\\NAND Flash\\Log\\b.csv", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_EQ(fd.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(h);
    EXPECT_FALSE(FindClose(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    h = FindFirstFileW(u"\\NAND Flash\\Log\\S*", &fd);
    EXPECT_EQ(fd.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(h);
}

TEST_F(Files, CopyMoveDeleteAndFolderEdgeCases) {
    root.WriteFile("NAND Flash/a.bin", "alpha");
    ASSERT_TRUE(SetFileAttributesW(u"\\NAND Flash\\a.bin", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(CopyFileW(u"\\NAND Flash\\A.BIN", u"\\Hard Disk\\b.bin", TRUE));
    EXPECT_EQ(root.ReadFile("Hard Disk/b.bin"), "alpha");
    EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\b.bin"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\a.bin", u"\\Hard Disk\\b.bin", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    root.WriteFile("NAND Flash/a.bin", "second");
    EXPECT_TRUE(CopyFileW(u"\\NAND Flash\\a.bin", u"\\Hard Disk\\B.bin", FALSE));
    EXPECT_EQ(root.ReadFile("Hard Disk/b.bin"), "second");  // overwritten in place of the old spelling
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\a.bin", u"\\nand flash\\A.bin", FALSE));  // onto itself
    EXPECT_EQ(root.ReadFile("NAND Flash/a.bin"), "second");
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\none", u"\\Hard Disk\\c.bin", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileW(u"\\NAND Flash\\a.bin", u"\\Hard Disk", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_FALSE(MoveFileW(u"\\NAND Flash\\a.bin", u"\\Hard Disk\\b.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileW(u"\\NAND Flash\\a.bin", u"\\NAND Flash\\A.BIN"));  // a change of case
    EXPECT_TRUE(fs::exists(root.Host("NAND Flash/A.BIN")));
    EXPECT_FALSE(fs::exists(root.Host("NAND Flash/a.bin")));
    EXPECT_FALSE(MoveFileW(u"\\NAND Flash\\gone", u"\\NAND Flash\\x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileW(u"\\NAND Flash\\A.BIN", u"\\No\\x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // Replacing: one rename over the old file, only file over file, never a read-only one.
    root.WriteFile("NAND Flash/new.bin", "new");
    EXPECT_TRUE(MoveFileExW(u"\\NAND Flash\\new.bin", u"\\Hard Disk\\B.BIN", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(root.ReadFile("Hard Disk/b.bin"), "new");
    EXPECT_FALSE(fs::exists(root.Host("NAND Flash/new.bin")));
    EXPECT_FALSE(MoveFileExW(u"\\NAND Flash\\A.BIN", u"\\Hard Disk", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesW(u"\\Hard Disk\\b.bin", FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(MoveFileExW(u"\\NAND Flash\\A.BIN", u"\\Hard Disk\\b.bin", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(root.ReadFile("Hard Disk/b.bin"), "new");
    EXPECT_FALSE(MoveFileExW(u"\\NAND Flash\\A.BIN", u"\\Hard Disk\\c.bin", 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_FALSE(DeleteFileW(u"\\NAND Flash"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"\\NAND Flash\\gone"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(CreateDirectoryW(u"\\NAND Flash", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"\\No\\Dir", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(RemoveDirectoryW(u"\\NAND Flash"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(u"\\"));
    EXPECT_TRUE(fs::exists(root.Path()));
    EXPECT_TRUE(RemoveDirectoryW(u"\\sd card"));
    EXPECT_FALSE(fs::exists(root.Host("SD Card")));

    ULARGE_INTEGER avail, total, free;
    EXPECT_TRUE(GetDiskFreeSpaceExW(u"\\NAND Flash", &avail, &total, &free));
    EXPECT_GT(total.QuadPart, 0u);
    EXPECT_LE(avail.QuadPart, free.QuadPart);
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"\\SD Card", &avail, &total, &free));  // the card is out
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, StreamsReadAndWriteUtf16Lines) {
    FILE* f = _wfopen(u"\\NAND Flash\\Text.txt", u"wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fputws(u"first\r\nsecond line\n\u00E9\U0001F600", f), 0);
    fclose(f);
    EXPECT_EQ(root.ReadFile("NAND Flash/Text.txt").substr(0, 4), std::string("f\0i\0", 4));
    root.WriteFile("NAND Flash/Text.txt", root.ReadFile("NAND Flash/Text.txt") + "x");  // odd last byte

    f = _wfopen(u"\\nand flash\\TEXT.TXT", u"rb");
    ASSERT_NE(f, nullptr);
    WCHAR line[8];
    ASSERT_NE(fgetws(line, 8, f), nullptr);
    EXPECT_EQ(std::u16string(line), u"first\r\n");
    ASSERT_NE(fgetws(line, 8, f), nullptr);  // count-1 units at most
    EXPECT_EQ(std::u16string(line), u"second ");
    ASSERT_NE(fgetws(line, 8, f), nullptr);
    EXPECT_EQ(std::u16string(line), u"line\n");
    ASSERT_NE(fgetws(line, 8, f), nullptr);
    EXPECT_EQ(std::u16string(line), u"\u00E9\U0001F600");
    EXPECT_EQ(fgetws(line, 8, f), nullptr);
    EXPECT_EQ(fgetws(line, 0, f), nullptr);
    fclose(f);

    EXPECT_EQ(_wfopen(u"\\NAND Flash\\Text.txt", u"q"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_wfopen(u"\\NAND Flash\\none.txt", u"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wfopen(u"\\NAND Flash", u"r"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wmkdir(u"\\NAND Flash\\Dir"), 0);
    EXPECT_EQ(_wmkdir(u"\\NAND Flash\\dir"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(_wrename(u"\\NAND Flash\\text.txt", u"\\NAND Flash\\Dir\\t.txt"), 0);
    EXPECT_EQ(_wrmdir(u"\\NAND Flash\\Dir"), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(_wremove(u"\\NAND Flash\\Dir\\t.txt"), 0);
    EXPECT_EQ(_wremove(u"\\NAND Flash\\Dir\\t.txt"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wrmdir(u"\\NAND Flash\\Dir"), 0);
}
