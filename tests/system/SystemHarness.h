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

}  // namespace system_harness
