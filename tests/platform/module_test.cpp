#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

std::string DataFile(const std::string& name) {
    std::ifstream in(std::string(QRX_RES_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC res = FindResourceW(module, name, type);
    if (!res) return "<missing>";
    HGLOBAL loaded = LoadResource(module, res);
    auto* bytes = static_cast<const char*>(LockResource(loaded));
    return bytes ? std::string(bytes, SizeofResource(module, res)) : "<unlocked>";
}

std::u16string String(HMODULE module, UINT id) {
    WCHAR buf[64];
    int n = LoadStringW(module, id, buf, 64);
    EXPECT_EQ(static_cast<size_t>(n), std::u16string(buf).size());
    return buf;
}

TEST(ModuleTest, ResourcesOfTheProgramGiveTheExactBytes) {
    EXPECT_EQ(DataFile("res_blob.bin"), ResourceBytes(nullptr, MAKEINTRESOURCEW(1), RT_RCDATA));
    EXPECT_EQ(DataFile("res_module_blob.bin"), ResourceBytes(nullptr, u"named.BLOB", RT_RCDATA));
    EXPECT_EQ(DataFile("res_blob.bin"), ResourceBytes(GetModuleHandleW(nullptr), u"#1", u"#10"));
    // A bitmap resource is the file without its file header.
    EXPECT_EQ(DataFile("res_image.bmp").substr(14), ResourceBytes(nullptr, MAKEINTRESOURCEW(3), RT_BITMAP));

    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_RCDATA);
    EXPECT_EQ(LockResource(LoadResource(nullptr, res)), LockResource(LoadResource(nullptr, res)));

    EXPECT_EQ(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(2), RT_RCDATA));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(99)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, FindResourceW(nullptr, u"Named", RT_RCDATA));
    EXPECT_EQ(0u, SizeofResource(nullptr, reinterpret_cast<HRSRC>(&res)));
}

TEST(ModuleTest, LoadStringCopiesTruncatesAndPoints) {
    EXPECT_EQ(u"Charge", String(nullptr, 1));
    EXPECT_EQ(u"Line one\nLine two\tTabbed", String(nullptr, 2));
    EXPECT_EQ(u"Back\\slash and \"quotes\"; [brackets] ${notavar}", String(nullptr, 3));
    EXPECT_EQ(u"last of block one", String(nullptr, 15));
    EXPECT_EQ(u"first of block two", String(nullptr, 16));
    EXPECT_EQ(u" spaced id", String(nullptr, 40));
    EXPECT_EQ(u"\xCDA9\xC804 \U0001F50B", String(nullptr, 100));
    EXPECT_EQ(u"top", String(nullptr, 65535));

    WCHAR buf[8] = {u'x', u'x'};
    EXPECT_EQ(0, LoadStringW(nullptr, 4, buf, 8));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(0, LoadStringW(nullptr, 0x10001, buf, 8));
    EXPECT_EQ(3, LoadStringW(nullptr, 1, buf, 4));
    EXPECT_EQ(std::u16string(u"Cha"), buf);
    EXPECT_EQ(0, LoadStringW(nullptr, 1, buf, 1));
    EXPECT_EQ(0, buf[0]);

    const WCHAR* direct = nullptr;
    EXPECT_EQ(6, LoadStringW(nullptr, 1, reinterpret_cast<LPWSTR>(&direct), 0));
    ASSERT_NE(nullptr, direct);
    EXPECT_EQ(u"Charge", std::u16string(direct, 6));
}

TEST(ModuleTest, ProgramNameAndHandle) {
    Dl_info info{};
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&DataFile), &info));
    HMODULE self = GetModuleHandleW(nullptr);
    EXPECT_EQ(info.dli_fbase, static_cast<void*>(self));

    WCHAR buf[MAX_PATH];
    const std::u16string expected = u"\\Windows\\qrx_platform_tests.exe";
    EXPECT_EQ(expected.size(), GetModuleFileNameW(nullptr, buf, MAX_PATH));
    EXPECT_EQ(expected, buf);
    EXPECT_EQ(expected.size(), GetModuleFileNameW(self, buf, static_cast<DWORD>(expected.size() + 1)));
    SetLastError(0);
    EXPECT_EQ(expected.size(), GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(expected.size())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(expected.substr(0, expected.size() - 1), buf);
    EXPECT_EQ(0u, GetModuleFileNameW(nullptr, buf, 0));

    EXPECT_EQ(self, GetModuleHandleW(u"QRX_PLATFORM_TESTS.EXE"));
    EXPECT_EQ(nullptr, GetModuleHandleW(u"Other.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(0u, GetModuleFileNameW(reinterpret_cast<HMODULE>(&buf), buf, MAX_PATH));

    qrx::SetModuleFileNameOverride(u"\\Windows\\QRX.exe");
    EXPECT_EQ(16u, GetModuleFileNameW(nullptr, buf, MAX_PATH));
    EXPECT_EQ(std::u16string(u"\\Windows\\QRX.exe"), buf);
    EXPECT_EQ(self, GetModuleHandleW(u"qrx.exe"));
    qrx::SetModuleFileNameOverride(u"");
    EXPECT_EQ(expected.size(), GetModuleFileNameW(nullptr, buf, MAX_PATH));
}

using ModuleRootTest = DeviceRootTest;

TEST_F(ModuleRootTest, EachModuleHasItsOwnTableAndDevicePath) {
    std::filesystem::copy_file(QRX_RES_MODULE_PATH, root.Host("Windows/ResModule.dll"));
    void* lib = dlopen(root.Host("Windows/ResModule.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, lib) << dlerror();
    auto anchor = reinterpret_cast<const void* (*)()>(dlsym(lib, "QrxResModuleAnchor"));
    ASSERT_NE(nullptr, anchor);
    Dl_info info{};
    ASSERT_NE(0, dladdr(anchor(), &info));
    auto module = static_cast<HMODULE>(info.dli_fbase);

    EXPECT_EQ(DataFile("res_module_blob.bin"), ResourceBytes(module, MAKEINTRESOURCEW(1), RT_RCDATA));
    EXPECT_EQ(u"Module string", String(module, 1));
    EXPECT_EQ(u"seven", String(module, 7));
    EXPECT_EQ(u"", String(nullptr, 7));
    EXPECT_EQ(u"Charge", String(nullptr, 1));
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(22u, GetModuleFileNameW(module, buf, MAX_PATH));
    EXPECT_EQ(std::u16string(u"\\Windows\\ResModule.dll"), buf);

    // Once unloaded, its resources are gone rather than pointing at unmapped memory.
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), RT_RCDATA);
    ASSERT_EQ(0, dlclose(lib));
    EXPECT_EQ(nullptr, FindResourceW(module, MAKEINTRESOURCEW(1), RT_RCDATA));
    EXPECT_EQ(nullptr, LoadResource(module, res));
}

TEST_F(ModuleRootTest, DebugOutputKeepsWholeLinesAndStaysBounded) {
    OutputDebugStringW(u"first\r\n");
    OutputDebugStringW(u"\xCDA9 second");
    EXPECT_EQ("first\n\xEC\xB6\xA9 second\n", root.DebugMessages());

    setenv("QRX_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    OutputDebugStringW(u"echoed\n");
    std::string echoed = testing::internal::GetCapturedStderr();
    unsetenv("QRX_DEBUG");
    std::string log = root.ReadFile(".platform/debug.log");
    EXPECT_EQ(log.substr(log.size() - echoed.size()), echoed);  // the same stamped line
    EXPECT_EQ("first\n\xEC\xB6\xA9 second\nechoed\n", root.DebugMessages());

    root.WriteFile(".platform/debug.log", "");
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::u16string line = u"thread " + std::u16string(1, u'A' + t) + u" " + std::u16string(3000, u'a' + t);
            for (int i = 0; i < kLines; ++i) OutputDebugStringW(line.c_str());
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(root.DebugMessages());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(3009u, line.size());
        char tag = line[7];
        EXPECT_EQ(std::string(3000, static_cast<char>('a' + (tag - 'A'))), line.substr(9));
    }
    EXPECT_EQ(kThreads * kLines, count);

    // Past 4 MB the log moves aside, replacing the older one, and a new one starts.
    root.WriteFile(".platform/debug.log.1", "oldest\n");
    root.WriteFile(".platform/debug.log", std::string(4 << 20, 'x'));
    OutputDebugStringW(u"tips it over");
    OutputDebugStringW(u"fresh");
    std::string aside = root.ReadFile(".platform/debug.log.1");
    EXPECT_EQ(std::string(4 << 20, 'x'), aside.substr(0, 4 << 20));
    EXPECT_EQ("] tips it over\n", aside.substr(aside.find(']', 4 << 20)));
    EXPECT_EQ("fresh\n", root.DebugMessages());
}

TEST_F(ModuleRootTest, DebugLinesCarryTheDeviceTime) {
    SYSTEMTIME set{2031, 2, 0, 3, 4, 5, 6, 0};
    ASSERT_TRUE(SetLocalTime(&set));
    qrx::SetTickCountStart(4000000000u);
    DWORD before = GetTickCount();
    OutputDebugStringW(u"stamped");
    DWORD after = GetTickCount();
    std::string line = root.ReadFile(".platform/debug.log");
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0, tick = 0;
    char text[16] = {};
    ASSERT_EQ(9, std::sscanf(line.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u [%u] %15s", &y, &mo, &d, &h, &mi, &sec, &ms,
                             &tick, text))
        << line;
    EXPECT_EQ(std::vector<unsigned>({2031, 2, 3, 4, 5}), std::vector<unsigned>({y, mo, d, h, mi})) << line;
    EXPECT_GE(sec, 6u);
    EXPECT_LE(sec, 9u);
    EXPECT_GE(tick, before);
    EXPECT_LE(tick, after);
    EXPECT_STREQ("stamped", text);
}

}  // namespace
