#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Units(std::u16string_view text) {
    Bytes b;
    for (char16_t c : text) {
        b.push_back(static_cast<BYTE>(c & 0xFF));
        b.push_back(static_cast<BYTE>(c >> 8));
    }
    return b;
}

struct Sample {
    const char16_t* name;
    DWORD type;
    Bytes data;
};

std::vector<Sample> Samples() {
    Bytes allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<BYTE>(i));
    const char16_t tricky[] = u"say \"hi\"\\ \r\n\t\x01 \xCDA9\xC804 \U0001F50B \xD800 end ";
    return {
        {u"Folder", REG_SZ, Units(std::u16string_view(u"SD Card", 8))},
        {nullptr, REG_SZ, Units(std::u16string_view(u"default", 8))},
        {u"Path", REG_EXPAND_SZ, Units(std::u16string_view(u"%ROOT%\\x", 9))},
        {u"List", REG_MULTI_SZ, Units(std::u16string_view(u"a\0bc\0\0", 6))},
        {u"Tricky", REG_SZ, Units(std::u16string_view(tricky, sizeof tricky / 2))},
        {u"Blob", REG_BINARY, allBytes},
        {u"Mask", REG_DWORD, {0x10, 0, 0, 0}},
        {u"Nothing", REG_NONE, {}},
        {u"Odd \"name\" = \\", REG_SZ, {0x41, 0x00, 0x42}},  // no terminator, odd size: kept as given
        {u"Wide", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"ShortDword", REG_DWORD, {7, 0}},
    };
}

void ExpectSamples(HKEY key) {
    for (const auto& s : Samples()) {
        SCOPED_TRACE(s.name ? std::string(s.name, s.name + 4) : std::string("default"));
        BYTE buf[600] = {};
        DWORD type = 99, size = sizeof buf;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, s.name, nullptr, &type, buf, &size));
        EXPECT_EQ(s.type, type);
        EXPECT_EQ(s.data, Bytes(buf, buf + size));
    }
}

HKEY Create(HKEY base, const char16_t* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(base, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition));
    return key;
}

DWORD QueryDword(HKEY key, const char16_t* name) {
    DWORD value = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
    return value;
}

void SetDword(HKEY key, const char16_t* name, DWORD value) {
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4));
}

std::u16string ValueName(int program, int i) {
    return u"p" + std::u16string(1, u'0' + program) + u"_" + std::u16string(1, u'0' + i / 10) +
           std::u16string(1, u'0' + i % 10);
}

// Changes whenever the file is replaced: a new inode, or at least a new change time.
std::string FileIdentity(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec);
}

// For a forked child, which must not use the test's assertions.
bool HasDword(HKEY key, const char16_t* name, DWORD expected) {
    DWORD value = 0, size = 4;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           value == expected;
}

// Runs body in a forked child, as another program of the device; returns its failure count.
template <class Body>
int InOtherProgram(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = bounded::WaitChild(pid);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

using RegistryTest = DeviceRootTest;

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripAndSurviveARestart) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\Profiles\\SDMMC");
    for (const auto& s : Samples())
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, s.name, 0, s.type, s.data.data(), static_cast<DWORD>(s.data.size())));
    ExpectSamples(key);
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    std::string text = root.ReadFile(".platform/registry");
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SDMMC]\n"), std::string::npos);
    EXPECT_NE(text.find("\"Folder\"=sz:SD Card\n"), std::string::npos);
    EXPECT_NE(text.find("\"Mask\"=dword:00000010\n"), std::string::npos);

    // A new device with only that file: everything comes back from it alone.
    TempDeviceRoot restarted;
    restarted.WriteFile(".platform/registry", text);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\storagemanager\\profiles\\sdmmc", 0, 0, &key));
    ExpectSamples(key);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SeededAndCorruptFilesKeepWhatIsReadable) {
    std::string seed =
        "\xEF\xBB\xBF; seeded\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Good]\r\n"
        "\"Name\"=sz:COM2:\r\n"
        "\"Broken\"=sz:bad \\q escape\r\n"
        "\"Unclosed=sz:x\r\n"
        "\"BadHex\"=hex:01,zz\r\n"
        "\"BadDword\"=dword:123456789\r\n"
        "\"Unknown\"=float:1.5\r\n"
        "garbage line without structure\r\n"
        "\"Index\"=dword:0000002a\r\n"
        "[HKEY_NOWHERE\\Key]\r\n"
        "\"Lost\"=dword:00000001\r\n"
        "[HKEY_LOCAL_MACHINE\\Bad\x01Name]\r\n"
        "\"Lost\"=dword:00000001\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Good\r\n"
        "\"Lost\"=dword:00000001\r\n"
        "\"Bytes\"=hex:de,ad\r\n" +
        std::string(5000, '[') + "\n" + std::string("\0\xff\xfe\"\"=\n", 8);
    root.WriteFile(".platform/registry", seed);

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Good", 0, 0, &key));
    WCHAR text[16];
    DWORD size = sizeof text, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"name", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
    EXPECT_EQ(std::u16string(u"COM2:"), text);
    EXPECT_EQ(12u, size);
    EXPECT_EQ(42u, QueryDword(key, u"Index"));
    for (const char16_t* bad : {u"Broken", u"Unclosed", u"BadHex", u"BadDword", u"Unknown", u"Lost", u"Bytes"})
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, bad, nullptr, nullptr, nullptr, nullptr));
    HKEY other;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Bad\x01Name", 0, 0, &other));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Bad", 0, 0, &other));

    // Writing keeps the readable part.
    SetDword(key, u"New", 5);
    RegCloseKey(key);
    std::string rewritten = root.ReadFile(".platform/registry");
    EXPECT_NE(rewritten.find("\"Name\"=sz:COM2:\n"), std::string::npos);
    EXPECT_NE(rewritten.find("\"Index\"=dword:0000002a\n"), std::string::npos);

    // Pure noise: no crash, nothing found, and the store stays usable.
    std::string noise;
    unsigned seedValue = 12345;
    for (int i = 0; i < 200000; ++i) {
        seedValue = seedValue * 1103515245u + 12345u;
        noise += static_cast<char>(seedValue >> 16);
    }
    root.WriteFile(".platform/registry", noise);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Good", 0, 0, &key));
    key = Create(HKEY_CURRENT_USER, u"After");
    SetDword(key, u"V", 9);
    EXPECT_EQ(9u, QueryDword(key, u"V"));
    RegCloseKey(key);
}

TEST_F(RegistryTest, QuerySizeContract) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Size");
    const char16_t value[] = u"Hello";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"Greeting", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), 12));

    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"GREETING", nullptr, &type, nullptr, &size));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

    BYTE buf[32];
    memset(buf, 0xAA, sizeof buf);
    size = 11;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"Greeting", nullptr, &type, buf, &size));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(0xAA, buf[11]);

    size = 12;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Greeting", nullptr, nullptr, buf, &size));
    EXPECT_EQ(0, memcmp(buf, value, 12));
    EXPECT_EQ(0xAA, buf[12]);
    size = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Greeting", nullptr, nullptr, buf, &size));
    EXPECT_EQ(12u, size);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"Missing", nullptr, nullptr, buf, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key, u"Greeting", nullptr, nullptr, buf, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(key, u"X", 0, REG_BINARY, nullptr, 4));
    std::vector<BYTE> huge((1u << 20) + 1);
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExW(key, u"Huge", 0, REG_BINARY, huge.data(), static_cast<DWORD>(huge.size())));
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeysAndValuesEnumerateInOrderWithTheNameContract) {
    DWORD disposition = 0;
    HKEY parent = Create(HKEY_LOCAL_MACHINE, u"Enum", &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"ENUM", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    for (const char16_t* name : {u"beta", u"Alpha\\Deep\\Deeper", u"Gamma", u"alpha b"}) RegCloseKey(Create(parent, name));

    std::vector<std::u16string> names;
    WCHAR buf[32];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 32;
        LONG r = RegEnumKeyExW(parent, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, r);
        EXPECT_EQ(std::u16string(buf).size(), cch);
        names.emplace_back(buf);
    }
    EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"alpha b", u"beta", u"Gamma"}), names);
    DWORD cch = 7;  // "alpha b" needs 8 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(parent, 1, buf, &cch, nullptr, nullptr, nullptr, nullptr));
    cch = 8;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExW(parent, 1, buf, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(7u, cch);

    SetDword(parent, u"First", 1);
    SetDword(parent, u"Second", 2);
    SetDword(parent, u"FIRST", 3);  // same value, new content
    DWORD value = 0, size = 4, type = 0;
    cch = 32;
    ASSERT_EQ(ERROR_SUCCESS,
              RegEnumValueW(parent, 0, buf, &cch, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(std::u16string(u"First"), buf);
    EXPECT_EQ(3u, value);
    cch = 32;
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(parent, 1, buf, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(4u, size);
    cch = 6;  // "Second" needs 7
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(parent, 1, buf, &cch, nullptr, nullptr, nullptr, nullptr));
    cch = 32;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(parent, 2, buf, &cch, nullptr, nullptr, nullptr, nullptr));

    // The roots are always there and never closed; stale or foreign handles are refused.
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    HKEY again;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Enum\\Alpha\\Deep", 0, 0, &again));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(again, u"Missing", 0, 0, &parent));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(again));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(again));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(again, u"x", nullptr, nullptr, nullptr, nullptr));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(event)));
    CloseHandle(event);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::u16string(256, u'k').c_str(), 0,
                                                       nullptr, 0, 0, nullptr, &again, nullptr));
}

TEST_F(RegistryTest, DeletionOfValuesAndKeys) {
    HKEY parent = Create(HKEY_LOCAL_MACHINE, u"Del");
    HKEY child = Create(parent, u"Child");
    SetDword(parent, u"V", 1);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(parent, u"v"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(parent, u"v"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(parent, u"V", nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(parent, u"Nope"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, u"CHILD"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(child, u"x", 0, REG_NONE, nullptr, 0));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(child, u"x", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del"));
    RegCloseKey(parent);
    EXPECT_EQ(std::string::npos, root.ReadFile(".platform/registry").find("Del"));
}

TEST_F(RegistryTest, ProgramsSeeEachOthersChanges) {
    HKEY shared = Create(HKEY_LOCAL_MACHINE, u"Shared");
    SetDword(shared, u"Start", 1);

    // Two programs writing at once: neither loses the other's values.
    constexpr int kValues = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY key;
            int failures = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, 0, &key) != ERROR_SUCCESS;
            for (int i = 0; i < kValues && !failures; ++i) {
                std::u16string name = ValueName(p, i);
                DWORD value = static_cast<DWORD>(p * 100 + i);
                failures += RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4) !=
                            ERROR_SUCCESS;
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = bounded::WaitChild(pid);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < kValues; ++i) {
            std::u16string name = ValueName(p, i);
            EXPECT_EQ(static_cast<DWORD>(p * 100 + i), QueryDword(shared, name.c_str()));
        }

    // A hand edit of the file reaches an open key too.
    std::string text = root.ReadFile(".platform/registry");
    size_t at = text.find("\"Start\"=dword:00000001");
    ASSERT_NE(std::string::npos, at);
    text.insert(at, "\"Edited\"=sz:by hand\n");
    root.WriteFile(".platform/registry", text);
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(shared, u"Edited", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(16u, size);
    RegCloseKey(shared);
}

TEST_F(RegistryTest, AChangeReplacesTheFileAndNeverWritesIntoIt) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Whole");
    SetDword(key, u"First", 1);
    const std::string file = root.Host(".platform/registry");
    const std::string before = root.ReadFile(".platform/registry");
    // A program that opened the store just before the change reads the old content, all of it.
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    SetDword(key, u"Second", 2);
    {
        qrx::RegistryBatch batch;
        SetDword(key, u"Third", 3);
    }
    std::string seen(before.size() + 64, '\0');
    ssize_t n = pread(fd, seen.data(), seen.size(), 0);
    close(fd);
    seen.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(before, seen);
    const std::string after = root.ReadFile(".platform/registry");
    EXPECT_NE(after.find("\"Second\"=dword:00000002"), std::string::npos);
    EXPECT_NE(after.find("\"Third\"=dword:00000003"), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(root.Host(".platform")))
        EXPECT_EQ(entry.path().filename().string().find("registry.tmp"), std::string::npos) << entry.path();
    RegCloseKey(key);
}

TEST_F(RegistryTest, BatchWritesOnceAndKeepsOtherProgramsChanges) {
    const std::string file = root.Host(".platform/registry");
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Batch");
    RegCloseKey(Create(key, u"Doomed"));
    SetDword(key, u"Before", 1);
    const std::string before = FileIdentity(file);
    constexpr int kValues = 60;
    {
        qrx::RegistryBatch batch;
        DWORD disposition = 0;
        HKEY zones = Create(key, u"Zones", &disposition);
        EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
        HKEY doomed = Create(key, u"Doomed", &disposition);
        EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
        SetDword(doomed, u"Lost", 3);
        for (int i = 0; i < kValues; ++i) SetDword(zones, ValueName(0, i).c_str(), static_cast<DWORD>(i));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"Before"));

        // Seen here at once, while the file is untouched.
        EXPECT_EQ(41u, QueryDword(zones, ValueName(0, 41).c_str()));
        EXPECT_EQ(3u, QueryDword(doomed, u"Lost"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"Before", nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(before, FileIdentity(file));
        EXPECT_EQ(std::string::npos, root.ReadFile(".platform/registry").find("p0_"));

        // Another program writes meanwhile, straight to the file, and deletes a key the batch used.
        EXPECT_EQ(0, InOtherProgram([] {
                      HKEY other;
                      int failures = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Batch", 0, 0, &other) != ERROR_SUCCESS;
                      DWORD value = 7;
                      failures += RegSetValueExW(other, u"Other", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4) !=
                                  ERROR_SUCCESS;
                      failures += RegDeleteKeyW(other, u"Doomed") != ERROR_SUCCESS;
                      return failures;
                  }));
        const std::string byOther = FileIdentity(file);
        EXPECT_NE(before, byOther);
        EXPECT_EQ(7u, QueryDword(key, u"Other"));
        EXPECT_EQ(41u, QueryDword(zones, ValueName(0, 41).c_str()));
        EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(doomed, u"Lost", nullptr, nullptr, nullptr, nullptr));

        {
            qrx::RegistryBatch inner;
            SetDword(key, u"Inner", 9);
            EXPECT_EQ(ERROR_SUCCESS, inner.Commit());
        }
        EXPECT_EQ(byOther, FileIdentity(file));
        EXPECT_EQ(ERROR_SUCCESS, batch.Commit());
        const std::string written = FileIdentity(file);
        EXPECT_NE(byOther, written);
        EXPECT_EQ(ERROR_SUCCESS, batch.Commit());
        EXPECT_EQ(written, FileIdentity(file));
        RegCloseKey(doomed);
        RegCloseKey(zones);
    }

    // Another program sees the whole batch merged with its own change.
    EXPECT_EQ(0, InOtherProgram([] {
                  HKEY zones, batchKey, gone;
                  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Batch", 0, 0, &batchKey) != ERROR_SUCCESS ||
                      RegOpenKeyExW(batchKey, u"Zones", 0, 0, &zones) != ERROR_SUCCESS)
                      return 100;
                  int failures = 0;
                  for (int i = 0; i < kValues; ++i)
                      failures += !HasDword(zones, ValueName(0, i).c_str(), static_cast<DWORD>(i));
                  failures += !HasDword(batchKey, u"Other", 7) + !HasDword(batchKey, u"Inner", 9);
                  failures += RegQueryValueExW(batchKey, u"Before", nullptr, nullptr, nullptr, nullptr) !=
                              ERROR_FILE_NOT_FOUND;
                  failures += RegOpenKeyExW(batchKey, u"Doomed", 0, 0, &gone) != ERROR_FILE_NOT_FOUND;
                  return failures;
              }));

    // Once the batch is over each change is written at once again; a flush inside a batch writes.
    std::string last = FileIdentity(file);
    SetDword(key, u"After", 1);
    EXPECT_NE(last, FileIdentity(file));
    {
        qrx::RegistryBatch batch;
        last = FileIdentity(file);
        SetDword(key, u"Flushed", 2);
        EXPECT_EQ(last, FileIdentity(file));
        EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(key));
        EXPECT_NE(last, FileIdentity(file));
        EXPECT_NE(std::string::npos, root.ReadFile(".platform/registry").find("\"Flushed\"=dword:00000002"));
        last = FileIdentity(file);
    }
    EXPECT_EQ(last, FileIdentity(file));  // nothing left to write
    RegCloseKey(key);
}

TEST_F(RegistryTest, FailedBatchWriteIsReportedAndDropped) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Fail");
    SetDword(key, u"Kept", 1);
    const std::string file = root.Host(".platform/registry");
    const std::string aside = file + ".aside";
    {
        qrx::RegistryBatch batch;
        SetDword(key, u"Pending", 2);
        // Something that cannot be read or replaced stands where the store was.
        ASSERT_EQ(0, rename(file.c_str(), aside.c_str()));
        ASSERT_EQ(0, mkdir(file.c_str(), 0755));
        root.WriteFile(".platform/registry/blocker", "x");
        EXPECT_NE(ERROR_SUCCESS, batch.Commit());
        ASSERT_EQ(0, unlink((file + "/blocker").c_str()));
        ASSERT_EQ(0, rmdir(file.c_str()));
        ASSERT_EQ(0, rename(aside.c_str(), file.c_str()));
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"Pending", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, QueryDword(key, u"Kept"));
    RegCloseKey(key);
}

}  // namespace
