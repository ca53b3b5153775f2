// Processes started in a device root, and libraries loaded from it.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "DeviceRoot.h"
#include "windows.h"

extern char** environ;

namespace {

constexpr DWORD kLong = 60000;  // generous bound for anything that must happen

class ProcessTest : public DeviceRootTest {
protected:
    void SetUp() override {
        std::filesystem::copy_file(QRX_PROCESS_CHILD, root.Host("Windows/Child.exe"));
    }

    // Starts Child.exe with the given command line; the handles are closed by the test.
    PROCESS_INFORMATION Start(const char16_t* commandLine) {
        PROCESS_INFORMATION pi{};
        std::u16string line = commandLine;
        EXPECT_TRUE(CreateProcessW(u"\\Windows\\Child.exe", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   nullptr, &pi))
            << GetLastError();
        return pi;
    }

    // Runs to the end and returns the exit code.
    DWORD Finish(PROCESS_INFORMATION& pi) {
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, kLong), WAIT_OBJECT_0);
        DWORD code = 0xDEADBEEF;
        EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    }

    // What the child recorded: module path, instance and show command, command line.
    std::u16string Record(DWORD pid) {
        std::string bytes = root.ReadFile("NAND Flash/child-" + std::to_string(pid) + ".txt");
        std::u16string text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return text;
    }

    std::u16string CommandLineSeen(DWORD pid) {
        std::u16string text = Record(pid);
        size_t first = text.find(u'\n');
        size_t second = first == std::u16string::npos ? first : text.find(u'\n', first + 1);
        return second == std::u16string::npos ? u"<no record>" : text.substr(second + 1);
    }

    // True once the host no longer holds the process, not even as a zombie.
    static bool Reaped(pid_t pid) {
        for (int i = 0; i < 3000; ++i) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD)
                return true;
            usleep(10000);
        }
        return false;
    }
};

TEST_F(ProcessTest, CommandLineArrivesExactly) {
    const char16_t* lines[] = {
        u"8000",
        u"",
        u"  two  spaces and a tab\t",
        u"\"quoted\" \\\"escaped\\\" 'single'",
        u"Gr\u00F6\u00DFe \uC804\uC555 \u96FB\u5727 \U0001F50B",
        u"lone \xD800 surrogate \xDC00",
    };
    for (const char16_t* line : lines) {
        PROCESS_INFORMATION pi = Start(line);
        DWORD pid = pi.dwProcessId;
        EXPECT_EQ(Finish(pi), 7u);
        EXPECT_EQ(CommandLineSeen(pid), std::u16string(line));
    }

    // The child sees itself as the device program, with the usual WinMain arguments.
    PROCESS_INFORMATION pi = Start(u"x");
    DWORD pid = pi.dwProcessId;
    EXPECT_NE(pi.hThread, nullptr);
    EXPECT_EQ(pi.dwThreadId, pid);
    Finish(pi);
    EXPECT_EQ(Record(pid), u"\\Windows\\Child.exe\ninstance 5\nx");

    // No command line at all is an empty one.
    ASSERT_TRUE(CreateProcessW(u"\\Windows\\Child.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                               &pi));
    pid = pi.dwProcessId;
    Finish(pi);
    EXPECT_EQ(CommandLineSeen(pid), u"");
}

TEST_F(ProcessTest, ImageFromTheCommandLine) {
    struct Case {
        const char16_t* line;
        const char16_t* seen;
    } cases[] = {
        {u"child  rest of  line", u"rest of  line"},
        {u"\"\\Windows\\Child.exe\" \"arg\"", u"\"arg\""},
        {u"  \\WINDOWS\\child.EXE", u""},
        {u"Child.exe 42 ", u"42 "},
    };
    for (const auto& c : cases) {
        std::u16string line = c.line;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi))
            << GetLastError();
        DWORD pid = pi.dwProcessId;
        Finish(pi);
        EXPECT_EQ(CommandLineSeen(pid), std::u16string(c.seen));
    }
    std::u16string empty = u"   ";
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(CreateProcessW(nullptr, empty.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CreateProcessW(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProcessTest, BadImagesFailAtOnce) {
    root.WriteFile("Windows/Text.exe", "just text");
    chmod(root.Host("Windows/Text.exe").c_str(), 0644);
    root.WriteFile("Windows/Garbage.exe", "garbage, but executable");
    chmod(root.Host("Windows/Garbage.exe").c_str(), 0755);
    std::filesystem::create_directories(root.Host("Windows/Folder.exe"));
    struct Case {
        const char16_t* image;
        DWORD error;
    } cases[] = {
        {u"\\Windows\\Nothing.exe", ERROR_FILE_NOT_FOUND},
        {u"Nothing.exe", ERROR_FILE_NOT_FOUND},
        {u"\\No Folder\\Child.exe", ERROR_PATH_NOT_FOUND},
        {u"\\Windows\\Text.exe", ERROR_ACCESS_DENIED},
        {u"\\Windows\\Folder.exe", ERROR_ACCESS_DENIED},
        {u"\\Windows\\Garbage.exe", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        PROCESS_INFORMATION pi{};
        std::u16string line = u"8000";
        SetLastError(0);
        EXPECT_FALSE(CreateProcessW(c.image, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
        EXPECT_EQ(GetLastError(), c.error) << QrxToUtf8(c.image);
        EXPECT_EQ(pi.hProcess, nullptr);
    }
    // A command line beyond the platform's limit is refused, not cut.
    std::u16string huge(40000, u'a');
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(CreateProcessW(u"\\Windows\\Child.exe", huge.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                nullptr, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProcessTest, ExitCodes) {
    struct Case {
        const char16_t* line;
        DWORD code;
    } cases[] = {
        {u"exit 0", 0},
        {u"exit 42", 42},
        {u"exit 1000", 1000},              // beyond the host's 8 bits
        {u"exit 4294967295", 0xFFFFFFFFu},
        {u"exitprocess 300", 300},
        {u"signal 15", 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        PROCESS_INFORMATION pi = Start(c.line);
        EXPECT_EQ(Finish(pi), c.code) << QrxToUtf8(c.line);
    }
}

// A program whose parent ended without waiting still exits with its own code: reporting the code
// into the parent's closed pipe must not end it with SIGPIPE.
TEST(ProcessExit, ReportIntoAClosedPipeDoesNotKill) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    setenv("QRX_EXIT_FD", std::to_string(fds[1]).c_str(), 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child starts afresh and takes the pipe
    EXPECT_EXIT(
        {
            qrx::ReportExitCode(7);
            _exit(7);
        },
        ::testing::ExitedWithCode(7), "");
    unsetenv("QRX_EXIT_FD");
    close(fds[1]);
}

TEST_F(ProcessTest, WaitsTimeOutsAndTermination) {
    PROCESS_INFORMATION pi = Start(u"sleep 600000");
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 50), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    // A second handle by id is the same process.
    HANDLE opened = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pi.dwProcessId);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(TerminateProcess(opened, 1234));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 1234u);
    EXPECT_TRUE(GetExitCodeProcess(opened, &code));
    EXPECT_EQ(code, 1234u);
    // Once ended, it stays signalled and cannot be ended again.
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(TerminateProcess(pi.hProcess, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_EQ(Finish(pi), 1234u);

    // Not a process handle.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(GetExitCodeProcess(event, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(TerminateProcess(event, 1));
    CloseHandle(event);
    EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
}

TEST_F(ProcessTest, WaitForMultipleObjectsOnProcessAndEvent) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PROCESS_INFORMATION pi = Start(u"sleep 600000");
    HANDLE both[] = {pi.hProcess, event};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), WAIT_TIMEOUT);
    // The event wakes a waiter while the process runs on.
    std::thread setter([&] {
        Sleep(20);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kLong), WAIT_OBJECT_0 + 1);
    setter.join();
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), WAIT_TIMEOUT);
    // The process ending wakes a waiter for both.
    std::thread killer([&] { TerminateProcess(pi.hProcess, 9); });
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, kLong), WAIT_OBJECT_0);
    killer.join();
    ResetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(Finish(pi), 9u);

    // A short-lived child ends by itself while being waited for.
    pi = Start(u"sleep 50");
    HANDLE again[] = {event, pi.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, again, FALSE, kLong), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(Finish(pi), 0u);
    CloseHandle(event);
}

TEST_F(ProcessTest, PrimaryThreadEndsWithTheProcess) {
    PROCESS_INFORMATION pi = Start(u"sleep 600000");
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code)) << GetLastError();
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 20), WAIT_TIMEOUT);
    // A thread handle is no process handle.
    EXPECT_FALSE(GetExitCodeProcess(pi.hThread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The thread handle outlives the process handle and still sees the end.
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    HANDLE opened = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pi.dwProcessId);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(TerminateProcess(opened, 4321));
    EXPECT_EQ(WaitForSingleObject(pi.hThread, kLong), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code));
    EXPECT_EQ(code, 4321u);
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_FALSE(GetExitCodeThread(pi.hThread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A child ending by itself: waiting on the thread alone gives the full code.
    pi = Start(u"exit 100000");
    EXPECT_EQ(WaitForSingleObject(pi.hThread, kLong), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code));
    EXPECT_EQ(code, 100000u);
    HANDLE both[] = {pi.hProcess, pi.hThread};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetExitCodeThread(pi.hThread, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Finish(pi), 100000u);

    // Threads of this process keep their own codes.
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 17; }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 17u);
    CloseHandle(thread);
}

TEST(CurrentProcess, WaitableButNeverSignalled) {
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 30), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    // Another object still wakes a waiter that also waits on this process.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE handles[] = {GetCurrentProcess(), event};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 20), WAIT_TIMEOUT);
    std::thread setter([&] { SetEvent(event); });
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLong), WAIT_OBJECT_0 + 1);
    setter.join();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 20), WAIT_TIMEOUT);
    // Waited for from another thread too.
    DWORD fromThread = WAIT_FAILED;
    std::thread waiter([&] { fromThread = WaitForSingleObject(GetCurrentProcess(), 10); });
    waiter.join();
    EXPECT_EQ(fromThread, WAIT_TIMEOUT);
    CloseHandle(event);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), WAIT_TIMEOUT);
}

TEST_F(ProcessTest, NoZombieAndOtherProcesses) {
    // Handles closed at once, nobody waiting: the child is still reaped.
    PROCESS_INFORMATION pi = Start(u"exit 3");
    pid_t pid = static_cast<pid_t>(pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(Reaped(pid));
    // Ids of no process.
    EXPECT_FALSE(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0x7FFFFFF0u));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A process this layer did not start can be waited for and ended; it stays the starter's to reap.
    pid_t other = 0;
    char program[] = "sleep";
    char seconds[] = "600";
    char* argv[] = {program, seconds, nullptr};
    ASSERT_EQ(posix_spawnp(&other, "sleep", nullptr, nullptr, argv, environ), 0);
    HANDLE h = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(other));
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(TerminateProcess(h, 55));
    EXPECT_EQ(WaitForSingleObject(h, kLong), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 55u);
    int status = 0;
    EXPECT_EQ(waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(CloseHandle(h));
}

class LibraryTest : public DeviceRootTest {
protected:
    void SetUp() override { std::filesystem::copy_file(QRX_PROCESS_LIB, root.Host("Windows/ProcLib.dll")); }
};

TEST_F(LibraryTest, LoadByDeviceNameAndResolve) {
    HMODULE lib = LoadLibraryW(u"proclib");
    ASSERT_NE(lib, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryW(u"\\WINDOWS\\ProcLib.dll"), lib);
    EXPECT_EQ(GetModuleHandleW(u"ProcLib.dll"), lib);
    EXPECT_EQ(GetModuleHandleW(u"procLIB"), lib);
    EXPECT_EQ(GetModuleHandleW(u"\\Windows\\proclib.dll"), lib);
    WCHAR path[MAX_PATH];
    EXPECT_GT(GetModuleFileNameW(lib, path, MAX_PATH), 0u);
    EXPECT_EQ(std::u16string(path), u"\\Windows\\ProcLib.dll");
    // The module handle reaches the library's own resources.
    WCHAR text[64];
    EXPECT_EQ(LoadStringW(lib, 1, text, 64), 14);
    EXPECT_EQ(std::u16string(text), u"Library string");

    using Add = int (*)(int, int);
    using Twice = int (*)(int);
    FARPROC add = GetProcAddressW(lib, u"ProcLibAdd");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(reinterpret_cast<Add>(add)(2, 3), 5);
    FARPROC twice = GetProcAddress(lib, "ProcLibTwice");
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(reinterpret_cast<Twice>(twice)(21), 42);
    // By ordinal, through the library's table.
    EXPECT_EQ(GetProcAddressW(lib, MAKEINTRESOURCEW(1)), add);
    EXPECT_EQ(GetProcAddress(lib, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(2))), twice);

    struct Missing {
        FARPROC proc;
        const char* what;
    } missing[] = {
        {GetProcAddressW(lib, u"ProcLibNothing"), "unknown name"},
        {GetProcAddressW(lib, MAKEINTRESOURCEW(5)), "ordinal not in the table"},
        {GetProcAddressW(lib, MAKEINTRESOURCEW(9)), "ordinal of a name not exported"},
        {GetProcAddress(lib, "malloc"), "export of a library it depends on"},
        {GetProcAddress(lib, ""), "empty name"},
        {GetProcAddressW(GetModuleHandleW(nullptr), u"ProcLibAdd"), "the program is another module"},
    };
    for (const auto& m : missing) {
        EXPECT_EQ(m.proc, nullptr) << m.what;
    }
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(lib, u"ProcLibNothing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // Loads are counted: the library stays until the last FreeLibrary.
    EXPECT_TRUE(FreeLibrary(lib));
    EXPECT_EQ(GetModuleHandleW(u"ProcLib.dll"), lib);
    EXPECT_EQ(reinterpret_cast<Add>(GetProcAddressW(lib, u"ProcLibAdd"))(4, 5), 9);
    EXPECT_TRUE(FreeLibrary(lib));
    EXPECT_EQ(GetModuleHandleW(u"ProcLib.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(lib));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(LibraryTest, MissingAndBadLibraries) {
    root.WriteFile("Windows/Bad.dll", "not a library at all");
    struct Case {
        const char16_t* name;
        DWORD error;
    } cases[] = {
        {u"Nothing.dll", ERROR_MOD_NOT_FOUND},
        {u"\\No Folder\\ProcLib.dll", ERROR_MOD_NOT_FOUND},
        {u"\\NAND Flash\\ProcLib.dll", ERROR_MOD_NOT_FOUND},
        {u"Bad", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(c.name), nullptr) << QrxToUtf8(c.name);
        EXPECT_EQ(GetLastError(), c.error) << QrxToUtf8(c.name);
    }
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetProcAddressW(nullptr, u"ProcLibAdd"), nullptr);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(GetModuleHandleW(u"Nothing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
