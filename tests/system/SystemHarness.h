// Helpers of the system tests: real programs in a temporary device root.
#pragma once
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <windows.h>

#include "DeviceRoot.h"

namespace system_harness {

// Polls until done() holds; false after `seconds` of host time.
inline bool WaitUntil(const std::function<bool()>& done, int seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Exit code of a spawned host process, or -1 when it did not end in time (it is killed then).
inline int WaitExit(pid_t pid, int seconds = 30) {
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool HasLine(const std::string& path, const std::string& line) {
    std::istringstream in(Slurp(path));
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
}

// Copies a built program into the device root, executable.
inline void Install(const TempDeviceRoot& root, const char* built, const std::string& relative) {
    std::filesystem::path target = root.Host(relative);
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(built, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
}

// A device program started with CreateProcessW; ended and its handles closed when it goes out of scope.
class Program {
public:
    Program(const WCHAR* image, const std::u16string& commandLine) {
        std::u16string line = commandLine;
        m_started = CreateProcessW(image, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &m_pi);
    }
    ~Program() {
        if (!m_started) return;
        if (WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(m_pi.hProcess, 1);
            WaitForSingleObject(m_pi.hProcess, 30000);
        }
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return m_started != FALSE; }
    // The exit code, or -1 when it did not end within the bound.
    DWORD Wait(DWORD ms = 30000) {
        DWORD code = static_cast<DWORD>(-1);
        if (WaitForSingleObject(m_pi.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(m_pi.hProcess, &code);
        return code;
    }
    bool Running() {
        DWORD code = 0;
        return GetExitCodeProcess(m_pi.hProcess, &code) && code == STILL_ACTIVE;
    }
    void Kill() { TerminateProcess(m_pi.hProcess, 9); }

private:
    PROCESS_INFORMATION m_pi{};
    BOOL m_started = FALSE;
};

}  // namespace system_harness
