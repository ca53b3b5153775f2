#include "ui/ZipArchive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "DeviceRoot.h"
#include "ui/ZipReader.h"

namespace {

// 2020-05-17 10:30:20 in the zip's DOS layout.
constexpr uLong kDosDate = ((2020u - 1980u) << 25) | (5u << 21) | (17u << 16) | (10u << 11) | (30u << 5) | 10u;
constexpr DWORD kUnixTime = 1600000000u;

struct Member {
    Member(std::string n, std::string d, std::string extra = "", uLong attr = 0, const char* pw = nullptr,
           int how = Z_DEFLATED)
        : name(std::move(n)),
          data(std::move(d)),
          localExtra(std::move(extra)),
          externalAttr(attr),
          password(pw),
          method(how) {}
    std::string name;
    std::string data;
    std::string localExtra;
    uLong externalAttr;
    const char* password;
    int method;
};

DWORD CrcStep(DWORD crc, BYTE b) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    return crc;
}

DWORD Crc32(const std::string& data) {
    DWORD crc = 0xFFFFFFFFu;
    for (char c : data) crc = CrcStep(crc, BYTE(c));
    return ~crc;
}

std::string Le16(unsigned v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string Le32(DWORD v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string Noise(size_t size) {
    std::string s(size, ' ');
    DWORD x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = char('a' + (x >> 16) % 26);
    }
    return s;
}

// Writes the archive under the device root and returns its bytes.
std::string BuildZip(const TempDeviceRoot& root, const std::string& relative, const std::vector<Member>& members) {
    zipFile zf = zipOpen64(root.Host(relative).c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zf, nullptr);
    for (const Member& m : members) {
        zip_fileinfo zi{};
        zi.dosDate = kDosDate;
        zi.external_fa = m.externalAttr;
        const void* extra = m.localExtra.empty() ? nullptr : m.localExtra.data();
        EXPECT_EQ(zipOpenNewFileInZip3(zf, m.name.c_str(), &zi, extra, uInt(m.localExtra.size()), nullptr, 0, nullptr,
                                       m.method, m.method ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, 8,
                                       Z_DEFAULT_STRATEGY, m.password, Crc32(m.data)),
                  ZIP_OK);
        EXPECT_EQ(zipWriteInFileInZip(zf, m.data.data(), unsigned(m.data.size())), ZIP_OK);
        EXPECT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    EXPECT_EQ(zipClose(zf, nullptr), ZIP_OK);
    return root.ReadFile(relative);
}

// Traditional zip encryption done here: the library's own writer builds its keys from a table of
// the wrong width on 64-bit hosts, so its archives are not what other tools write.
class ZipCrypto {
public:
    explicit ZipCrypto(const char* password) {
        for (; *password; ++password) Update(BYTE(*password));
    }
    char Encrypt(char plain) {
        DWORD t = (m_k[2] | 2) & 0xFFFF;
        char cipher = char(BYTE(plain) ^ BYTE((t * (t ^ 1)) >> 8));
        Update(BYTE(plain));
        return cipher;
    }

private:
    void Update(BYTE c) {
        m_k[0] = CrcStep(m_k[0], c);
        m_k[1] = (m_k[1] + (m_k[0] & 0xFF)) * 134775813u + 1;
        m_k[2] = CrcStep(m_k[2], BYTE(m_k[1] >> 24));
    }
    DWORD m_k[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// One stored member encrypted with password.
std::string EncryptedZip(const TempDeviceRoot& root, const std::string& relative, const std::string& data,
                         const char* password) {
    DWORD crc = Crc32(data);
    ZipCrypto keys(password);
    std::string body;
    for (char c : "0123456789" + Le16(crc >> 16) + data) body += keys.Encrypt(c);
    zipFile zf = zipOpen64(root.Host(relative).c_str(), APPEND_STATUS_CREATE);
    zip_fileinfo zi{};
    zi.dosDate = kDosDate;
    EXPECT_EQ(zipOpenNewFileInZip2(zf, "secret.txt", &zi, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1), ZIP_OK);
    EXPECT_EQ(zipWriteInFileInZip(zf, body.data(), unsigned(body.size())), ZIP_OK);
    EXPECT_EQ(zipCloseFileInZipRaw(zf, data.size(), crc), ZIP_OK);
    EXPECT_EQ(zipClose(zf, nullptr), ZIP_OK);
    std::string zip = root.ReadFile(relative);
    zip[6] |= 1;
    zip[zip.rfind("PK\x01\x02") + 8] |= 1;
    root.WriteFile(relative, zip);
    return zip;
}

std::u16string Str(const WCHAR* s) { return s; }

ULONGLONG Ticks(const FILETIME& t) { return ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime; }

class ZipArchiveTest : public DeviceRootTest {};

TEST_F(ZipArchiveTest, ItemsAreCountedCleanedAndFoundIgnoringCase) {
    std::string longName(300, 'n');
    std::string zip = BuildZip(root, "NAND Flash/t.zip",
                               {{"main_bg.bmp", "bg"},
                                {"C:\\..\\x\\img.bmp", "img"},
                                {"/a/b.bmp", "ab"},
                                {"a/../../x.bmp", "x"},
                                {"..\\y.bmp", "y"},
                                {"d:e/..", "z"},
                                {longName, "long"}});
    HZIP hz = OpenZipMemory(zip.data(), DWORD(zip.size()), nullptr);
    ASSERT_NE(hz, nullptr);
    EXPECT_EQ(GetLastZipResult(), ZR_OK);

    ZipItemInfo item{};
    EXPECT_EQ(GetZipItem(hz, -1, &item), ZR_OK);
    EXPECT_EQ(item.index, 7);
    EXPECT_EQ(Str(item.name), u"");
    EXPECT_EQ(GetZipItem(hz, 7, &item), ZR_ARGS);
    EXPECT_EQ(GetZipItem(hz, -2, &item), ZR_ARGS);
    EXPECT_EQ(GetLastZipResult(), ZR_ARGS);

    int index = -5;
    EXPECT_EQ(FindZipItem(hz, u"MAIN_BG.BMP", true, &index, &item), ZR_OK);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(item.index, 0);
    EXPECT_EQ(Str(item.name), u"main_bg.bmp");
    EXPECT_FALSE(item.nameCleaned);
    EXPECT_EQ(item.unc_size, 2);
    EXPECT_EQ(FindZipItem(hz, u"MAIN_BG.BMP", false, &index, &item), ZR_NOTFOUND);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(item.index, -1);

    // No cleaned name may climb out of the folder it is extracted to.
    const char16_t* cleaned[] = {u"x\\img.bmp", u"a/b.bmp", u"x.bmp", u"y.bmp", u""};
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(GetZipItem(hz, i, &item), ZR_OK) << i;
        EXPECT_EQ(Str(item.name), cleaned[i - 1]) << i;
        EXPECT_TRUE(item.nameCleaned) << i;  // and marked, for readers that must refuse such a name
    }
    EXPECT_EQ(Str(CleanZipName(u"a/..//C:\\..\\b")), u"b");

    // Names longer than the record holds are refused, never cut or overrun.
    EXPECT_EQ(GetZipItem(hz, 6, &item), ZR_CORRUPT);
    std::u16string longWide(longName.begin(), longName.end());
    EXPECT_EQ(FindZipItem(hz, longWide.c_str(), true, &index, &item), ZR_NOTFOUND);

    // Times come from the DOS date taken as local time.
    ASSERT_EQ(GetZipItem(hz, 0, &item), ZR_OK);
    FILETIME local{};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&item.mtime, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ((std::vector<int>{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond}),
              (std::vector<int>{2020, 5, 17, 10, 30, 20}));
    EXPECT_EQ(Ticks(item.atime), Ticks(item.mtime));
    EXPECT_EQ(CloseZip(hz), ZR_OK);
}

TEST_F(ZipArchiveTest, MembersAreReadInPiecesAndPasswordsChecked) {
    std::string big = Noise(10000);
    std::string zip = BuildZip(root, "NAND Flash/t.zip", {{"big.bin", big}, {"empty.bin", ""}});
    HZIP hz = OpenZipMemory(zip.data(), DWORD(zip.size()), nullptr);
    ASSERT_NE(hz, nullptr);

    std::vector<char> buf(4096);
    std::string got;
    EXPECT_EQ(UnzipZipItemToMemory(hz, 0, buf.data(), 0x600), ZR_MORE);
    got.append(buf.data(), 0x600);
    DWORD r;
    while ((r = UnzipZipItemToMemory(hz, 0, buf.data(), DWORD(buf.size()))) == ZR_MORE)
        got.append(buf.data(), buf.size());
    EXPECT_EQ(r, ZR_OK);
    got.append(buf.data(), big.size() - got.size());
    EXPECT_EQ(got, big);

    // An exactly sized buffer ends the member; a 0-length read is never mistaken for the end.
    std::vector<char> whole(big.size());
    EXPECT_EQ(UnzipZipItemToMemory(hz, 0, whole.data(), 0), ZR_MORE);
    EXPECT_EQ(UnzipZipItemToMemory(hz, 0, whole.data(), DWORD(whole.size())), ZR_OK);
    EXPECT_EQ(std::string(whole.begin(), whole.end()), big);
    EXPECT_EQ(UnzipZipItemToMemory(hz, 1, buf.data(), 0), ZR_OK);
    EXPECT_EQ(UnzipZipItemToMemory(hz, 0, nullptr, 16), ZR_ARGS);
    EXPECT_EQ(UnzipZipItemToMemory(hz, 2, buf.data(), 16), ZR_ARGS);
    EXPECT_EQ(UnzipZipItemToMemory(hz, -1, buf.data(), 16), ZR_ARGS);
    EXPECT_EQ(UnzipZipItem(hz, 0, buf.data(), 16, 4), ZR_ARGS);

    // Closing tells how the last call on the archive ended.
    EXPECT_EQ(CloseZip(hz), ZR_ARGS);

    // The header check tells a wrong or missing password from the right one.
    std::string locked = EncryptedZip(root, "NAND Flash/p.zip", "classified", "right");
    for (const char* password : {static_cast<const char*>(nullptr), "wrong", "right"}) {
        hz = OpenZipMemory(locked.data(), DWORD(locked.size()), password);
        ASSERT_NE(hz, nullptr);
        DWORD r = UnzipZipItemToMemory(hz, 0, buf.data(), 64);
        if (password != nullptr && std::string(password) == "right") {
            EXPECT_NE(r, ZR_PASSWORD);
        } else {
            EXPECT_EQ(r, ZR_PASSWORD) << (password ? password : "none");
        }
        EXPECT_EQ(CloseZip(hz), r);
    }
    hz = OpenZipFile(u"\\NAND Flash\\p.zip", nullptr);
    ASSERT_NE(hz, nullptr);
    EXPECT_EQ(UnzipZipItem(hz, 0, const_cast<char16_t*>(u"locked.txt"), 0, 2), ZR_PASSWORD);
    struct stat st {};
    EXPECT_NE(stat(root.Host("locked.txt").c_str(), &st), 0);
    EXPECT_EQ(CloseZip(hz), ZR_PASSWORD);
}

TEST_F(ZipArchiveTest, BadHandlesArgumentsAndArchivesGiveTheirCodes) {
    std::string zip = BuildZip(root, "NAND Flash/t.zip", {{"a.txt", "alpha"}});
    ZipItemInfo item{};
    int index = 0;
    EXPECT_EQ(FindZipItem(nullptr, u"a.txt", true, &index, &item), ZR_ARGS);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(GetZipItem(nullptr, 0, &item), ZR_ARGS);
    EXPECT_EQ(UnzipZipItemToMemory(nullptr, 0, &item, 4), ZR_ARGS);
    EXPECT_EQ(CloseZip(nullptr), ZR_ARGS);
    EXPECT_EQ(GetLastZipResult(), ZR_ARGS);

    CZipReader other;
    HZIP__ foreign{2, &other};
    EXPECT_EQ(GetZipItem(&foreign, 0, &item), ZR_WRONGKIND);
    EXPECT_EQ(CloseZip(&foreign), ZR_WRONGKIND);

    CZipReader reader;
    EXPECT_EQ(reader.Open(zip.data(), DWORD(zip.size()), 9), ZR_ARGS);
    EXPECT_EQ(reader.Open(zip.data(), DWORD(zip.size()), ZIP_MEMORY), ZR_OK);
    EXPECT_EQ(reader.Open(zip.data(), DWORD(zip.size()), ZIP_MEMORY), ZR_INUSE);
    EXPECT_EQ(Str(reader.BaseFolder()), u"\\");
    EXPECT_EQ(reader.GetItem(0, nullptr), ZR_ARGS);

    std::string garbage = Noise(300);
    EXPECT_EQ(OpenZipMemory(garbage.data(), DWORD(garbage.size()), nullptr), nullptr);
    EXPECT_EQ(GetLastZipResult(), ZR_NOFILE);
    EXPECT_EQ(OpenZipMemory(zip.data(), DWORD(zip.size() - 10), nullptr), nullptr);
    EXPECT_EQ(OpenZipMemory(nullptr, 10, nullptr), nullptr);
    EXPECT_EQ(GetLastZipResult(), ZR_ARGS);
    EXPECT_EQ(OpenZipFile(u"\\NAND Flash\\missing.zip", nullptr), nullptr);
    EXPECT_EQ(GetLastZipResult(), ZR_NOFILE);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(OpenZipHandle(event, nullptr), nullptr);  // has no position to start from
    EXPECT_EQ(GetLastZipResult(), ZR_SEEK);
    CloseHandle(event);

    // A flipped data byte is caught by the checksum, not passed on.
    std::string stored = BuildZip(root, "NAND Flash/s.zip", {{"s.txt", "stored-text-here", "", 0, nullptr, 0}});
    stored[stored.find("stored-text")] = 'S';
    HZIP hz = OpenZipMemory(stored.data(), DWORD(stored.size()), nullptr);
    ASSERT_NE(hz, nullptr);
    char buf[64];
    EXPECT_EQ(UnzipZipItemToMemory(hz, 0, buf, sizeof buf), ZR_FLATE);
    EXPECT_EQ(CloseZip(hz), ZR_FLATE);
}

TEST_F(ZipArchiveTest, StreamsStayInsideTheirSource) {
    const char block[] = "0123456789";
    DWORD result = 1;
    ArchiveStream* s = ArchiveStreamOpen(block, 10, ZIP_MEMORY, &result);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(result, ZR_OK);
    char buf[16] = {};
    EXPECT_EQ(ArchiveStreamRead(buf, 4, 3, s), 2u);  // 10 bytes are two whole items
    EXPECT_EQ(ArchiveStreamTell(s), 10u);
    EXPECT_EQ(ArchiveStreamRead(buf, 1, 4, s), 0u);
    EXPECT_NE(ArchiveStreamSeek(s, 11, 0), 0);
    EXPECT_NE(ArchiveStreamSeek(s, -1, 0), 0);
    EXPECT_NE(ArchiveStreamSeek(s, LLONG_MAX, 1), 0);
    EXPECT_NE(ArchiveStreamSeek(s, 0, 7), 0);
    EXPECT_EQ(ArchiveStreamTell(s), 10u);
    EXPECT_EQ(ArchiveStreamSeek(s, -3, 2), 0);
    EXPECT_EQ(ArchiveStreamRead(buf, 1, 16, s), 3u);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(ArchiveStreamRead(buf, 0x10000, 0x10000, s), 0u);
    EXPECT_TRUE(s->error);
    EXPECT_EQ(ArchiveStreamClose(s), 0);
    EXPECT_EQ(ArchiveStreamClose(nullptr), -1);
    EXPECT_EQ(ArchiveStreamOpen(block, 10, 4, &result), nullptr);
    EXPECT_EQ(result, ZR_ARGS);

    // A handle stream counts from where the handle stood, so an archive may follow other bytes.
    std::string zip = BuildZip(root, "NAND Flash/t.zip", {{"inner.txt", "inside"}});
    root.WriteFile("NAND Flash/p.bin", "JUNK" + zip);
    HANDLE h = CreateFileW(u"\\NAND Flash\\p.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    s = ArchiveStreamOpen(h, 0, ZIP_HANDLE, &result);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ArchiveStreamTell(s), 0u);
    EXPECT_EQ(ArchiveStreamRead(buf, 1, 2, s), 2u);
    EXPECT_EQ(std::string(buf, 2), "PK");
    EXPECT_EQ(ArchiveStreamSeek(s, 0, 0), 0);
    EXPECT_EQ(ArchiveStreamClose(s), 0);  // not owned: the handle stays usable

    HZIP hz = OpenZipHandle(h, nullptr);
    ASSERT_NE(hz, nullptr);
    int index = -1;
    EXPECT_EQ(FindZipItem(hz, u"inner.txt", false, &index, nullptr), ZR_OK);
    EXPECT_EQ(UnzipZipItemToMemory(hz, index, buf, sizeof buf), ZR_OK);
    EXPECT_EQ(std::string(buf, 6), "inside");
    EXPECT_EQ(CloseZip(hz), ZR_OK);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(ZipArchiveTest, ExtraFieldsAreWalkedWithinTheirLength) {
    std::string overlong = "XX" + Le16(200) + "abc";
    std::string shortUt = "UT" + Le16(5) + "\x07" + Le32(kUnixTime);
    std::string zip = BuildZip(root, "NAND Flash/t.zip", {{"a", "1", overlong}, {"b", "2", shortUt}});
    HZIP hz = OpenZipMemory(zip.data(), DWORD(zip.size()), nullptr);
    ASSERT_NE(hz, nullptr);
    ZipItemInfo a{}, b{};
    ASSERT_EQ(GetZipItem(hz, 0, &a), ZR_OK);
    ASSERT_EQ(GetZipItem(hz, 1, &b), ZR_OK);
    EXPECT_EQ(Ticks(a.mtime), Ticks(a.ctime));
    EXPECT_EQ(Ticks(b.mtime), kUnixTime * 10000000ULL + 116444736000000000ULL);
    // The flags promise three times but the block holds one.
    EXPECT_EQ(Ticks(b.atime), Ticks(a.mtime));
    EXPECT_EQ(Ticks(b.ctime), Ticks(a.mtime));
    EXPECT_EQ(CloseZip(hz), ZR_OK);
}

TEST_F(ZipArchiveTest, MembersAreExtractedToFilesAndHandles) {
    std::string ut = "UT" + Le16(5) + "\x01" + Le32(kUnixTime);
    std::string zip = BuildZip(root, "NAND Flash/t.zip",
                               {{"dir/", "", "", FILE_ATTRIBUTE_DIRECTORY},
                                {"dir/sub/a.txt", "alpha text", ut},
                                {"b.txt", "bravo", "", FILE_ATTRIBUTE_READONLY}});
    std::string stored = "stored-text-here";
    BuildZip(root, "NAND Flash/bad.zip", {{"c.txt", stored, "", 0, nullptr, 0}});
    std::string bad = root.ReadFile("NAND Flash/bad.zip");
    bad[bad.find(stored)] = 'S';
    root.WriteFile("NAND Flash/bad.zip", bad);

    HZIP hz = OpenZipFile(u"\\NAND Flash\\t.zip", nullptr);
    ASSERT_NE(hz, nullptr);
    ZipItemInfo item{};
    ASSERT_EQ(GetZipItem(hz, 0, &item), ZR_OK);
    EXPECT_EQ(item.attr, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(UnzipZipItem(hz, 0, const_cast<char16_t*>(u"made\\deep"), 0, 2), ZR_OK);
    struct stat st {};
    EXPECT_EQ(stat(root.Host("made/deep").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(UnzipZipItem(hz, 1, const_cast<char16_t*>(u"out\\dir\\sub\\a.txt"), 0, 2), ZR_OK);
    EXPECT_EQ(root.ReadFile("out/dir/sub/a.txt"), "alpha text");
    ASSERT_EQ(stat(root.Host("out/dir/sub/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, time_t(kUnixTime));

    // Relative targets that try to climb stay under the base folder.
    EXPECT_EQ(UnzipZipItem(hz, 2, const_cast<char16_t*>(u"a/../../escaped.txt"), 0, 2), ZR_OK);
    EXPECT_EQ(UnzipZipItem(hz, 2, const_cast<char16_t*>(u"..\\also.txt"), 0, 2), ZR_OK);
    EXPECT_EQ(root.ReadFile("escaped.txt"), "bravo");
    EXPECT_EQ(root.ReadFile("also.txt"), "bravo");
    EXPECT_NE(stat((root.Path() + "/../escaped.txt").c_str(), &st), 0);
    EXPECT_EQ(UnzipZipItem(hz, 2, const_cast<char16_t*>(u"\\NAND Flash\\abs\\b.txt"), 0, 2), ZR_OK);
    EXPECT_EQ(root.ReadFile("NAND Flash/abs/b.txt"), "bravo");
    EXPECT_EQ(UnzipZipItem(hz, 2, const_cast<char16_t*>(u"folder\\"), 0, 2), ZR_NOFILE);

    HANDLE h = CreateFileW(u"\\NAND Flash\\h.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(UnzipZipItem(hz, 1, h, 0, 1), ZR_OK);
    EXPECT_EQ(UnzipZipItem(hz, 0, h, 0, 1), ZR_OK);  // a folder writes nothing
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "!", 1, &written, nullptr));  // still the caller's open handle
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(root.ReadFile("NAND Flash/h.txt"), "alpha text!");
    EXPECT_EQ(UnzipZipItem(hz, 1, INVALID_HANDLE_VALUE, 0, 1), ZR_ARGS);
    EXPECT_EQ(UnzipZipItem(hz, 3, const_cast<char16_t*>(u"x.txt"), 0, 2), ZR_ARGS);
    EXPECT_EQ(CloseZip(hz), ZR_ARGS);

    // A member failing its checksum leaves no file behind.
    hz = OpenZipFile(u"\\NAND Flash\\bad.zip", nullptr);
    ASSERT_NE(hz, nullptr);
    EXPECT_EQ(UnzipZipItem(hz, 0, const_cast<char16_t*>(u"c.txt"), 0, 2), ZR_FLATE);
    EXPECT_NE(stat(root.Host("c.txt").c_str(), &st), 0);
    EXPECT_EQ(CloseZip(hz), ZR_FLATE);

    EXPECT_TRUE(EnsureDirectory(u"\\NAND Flash\\new", u"a\\b"));
    EXPECT_EQ(stat(root.Host("NAND Flash/new/a/b").c_str(), &st), 0);
    EXPECT_FALSE(EnsureDirectory(u"\\NAND Flash", u"a\\..\\..\\up"));
}

TEST_F(ZipArchiveTest, HolderKeepsOneArchiveAndServesLookups) {
    EXPECT_FALSE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    EXPECT_FALSE(IsArchiveLoaded());
    std::string big = Noise(5000);
    std::string zip = BuildZip(root, "Windows/QRX.zip", {{"main_bg.bmp", big}, {"Icon.bmp", "icon"}});
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    EXPECT_TRUE(IsArchiveLoaded());
    DWORD size = 0;
    const BYTE* buffer = GetArchiveBuffer(&size);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(size, zip.size());
    EXPECT_EQ(memcmp(buffer, zip.data(), size), 0);

    ZipItemInfo item{};
    int index = -1;
    ASSERT_TRUE(FindArchiveItem(buffer, size, u"MAIN_BG.BMP", &item, &index));
    EXPECT_EQ(index, 0);
    std::vector<char> target(size_t(item.unc_size));
    ASSERT_TRUE(UnzipArchiveItem(buffer, size, target.data(), &item, index));
    EXPECT_EQ(std::string(target.begin(), target.end()), big);
    EXPECT_FALSE(FindArchiveItem(buffer, size, u"none.bmp", &item, &index));
    EXPECT_EQ(index, -1);

    // A record smaller than the member, or no target at all, is not success.
    ASSERT_TRUE(FindArchiveItem(buffer, size, u"main_bg.bmp", &item, &index));
    item.unc_size = 100;
    EXPECT_FALSE(UnzipArchiveItem(buffer, size, target.data(), &item, index));
    EXPECT_EQ(GetLastZipResult(), ZR_MORE);
    EXPECT_FALSE(UnzipArchiveItem(buffer, size, nullptr, &item, index));
    item.unc_size = -1;
    EXPECT_FALSE(UnzipArchiveItem(buffer, size, target.data(), &item, index));

    // A load that fails keeps the archive that was there.
    EXPECT_FALSE(LoadArchiveFile(u"\\Windows\\missing.zip"));
    EXPECT_TRUE(IsArchiveLoaded());
    EXPECT_EQ(GetArchiveBuffer(&size), buffer);
    EXPECT_EQ(size, zip.size());

    FreeArchiveFile();
    EXPECT_FALSE(IsArchiveLoaded());
    EXPECT_EQ(GetArchiveBuffer(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

}  // namespace
