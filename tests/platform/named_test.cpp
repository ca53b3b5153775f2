#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "DeviceRoot.h"
#include "windows.h"

extern char** environ;

namespace {

class NamedObjects : public DeviceRootTest {};

TEST_F(NamedObjects, SameNameSameObjectInsideTheProcess) {
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, u"Ready");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0u, GetLastError());
    HANDLE b = CreateEventW(nullptr, TRUE, TRUE, u"Ready");  // existing: its own settings are ignored
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b, 0));
    SetEvent(a);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a, 0));  // auto reset, one object

    HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Ready");
    ASSERT_NE(nullptr, opened);
    SetEvent(opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));

    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, u"ready");  // names are case-sensitive
    EXPECT_EQ(0u, GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, u"Ready"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 0, 1, u"Ready"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    for (HANDLE h : {a, b, opened, other}) CloseHandle(h);
    EXPECT_EQ(nullptr, OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Ready"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, u"Ready");
    EXPECT_EQ(0u, GetLastError());
    CloseHandle(fresh);

    HANDLE unnamed1 = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE unnamed2 = CreateEventW(nullptr, FALSE, FALSE, u"");
    EXPECT_EQ(0u, GetLastError());
    SetEvent(unnamed1);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(unnamed2, 0));
    CloseHandle(unnamed1);
    CloseHandle(unnamed2);
}

TEST_F(NamedObjects, NamedMutexAndSemaphoreShareState) {
    HANDLE m1 = CreateMutexW(nullptr, TRUE, u"Lock");
    std::thread other([] {
        HANDLE m2 = CreateMutexW(nullptr, TRUE, u"Lock");  // exists: no ownership taken
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m2, 0));
        EXPECT_FALSE(ReleaseMutex(m2));
        CloseHandle(m2);
    });
    other.join();
    EXPECT_TRUE(ReleaseMutex(m1));
    CloseHandle(m1);

    HANDLE s1 = CreateSemaphoreW(nullptr, 0, 2, u"Slots");
    HANDLE s2 = CreateSemaphoreW(nullptr, 2, 2, u"Slots");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s2, 0));
    ReleaseSemaphore(s1, 1, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s2, 0));
    EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 3, 2, u"Slots"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    CloseHandle(s1);
    CloseHandle(s2);

    std::u16string tooLong(MAX_PATH + 1, u'x');
    EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, tooLong.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
}

// A second program of the device holding a name until it is told to go or killed.
class Helper {
public:
    explicit Helper(const std::string& name, const char* option = nullptr) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string path = QRX_NAMED_HELPER;
        char* argv[] = {path.data(), const_cast<char*>(name.c_str()), const_cast<char*>(option), nullptr};
        if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }
    ~Helper() {
        Kill();
        if (m_stdin >= 0) close(m_stdin);
        if (m_stdout >= 0) close(m_stdout);
    }
    // What GetLastError() said after the helper created the name; empty when it failed.
    std::string Report() {
        std::string line;
        char c;
        while (m_stdout >= 0 && read(m_stdout, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
};

TEST_F(NamedObjects, ExistenceIsVisibleToOtherProgramsAndDiesWithThem) {
    const std::u16string names[] = {u"QRX_SingleInstance", u"Ünïcode-名前", std::u16string(200, u'n')};
    for (const auto& name : names) {
        Helper first(QrxToUtf8(name));
        ASSERT_EQ("0", first.Report());

        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        // Our object is our own: a second handle here sees it as existing too.
        HANDLE again = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        CloseHandle(again);
        CloseHandle(h);

        first.Kill();  // no clean-up runs: the lock must vanish with the process
        h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        EXPECT_EQ(0u, GetLastError());

        Helper second(QrxToUtf8(name));
        EXPECT_EQ("183", second.Report());
        CloseHandle(h);
        second.Kill();

        Helper third(QrxToUtf8(name));
        EXPECT_EQ("0", third.Report());
    }

    // A program started by a holder must not inherit the hold: the name goes with the holder.
    Helper parent("Held", "child");
    std::string report = parent.Report();
    ASSERT_EQ(0u, report.rfind("0 ", 0)) << report;
    pid_t child = static_cast<pid_t>(std::stoi(report.substr(2)));
    parent.Kill();
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, u"Held");
    EXPECT_EQ(0u, GetLastError());
    CloseHandle(h);
    kill(child, SIGKILL);
}

}  // namespace
