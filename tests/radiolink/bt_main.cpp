// Radiolink.dll drives the GPIO of the device root when it is loaded, before main. So each run starts
// again (fork and exec of itself) in a fresh device root made here, and removes it when that run ends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "BtHarness.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"

std::vector<qrx::DeviceRecord> g_loadRecords;
std::string g_loadLog;

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (std::getenv("QRX_BT_TEST_ROOT") == nullptr) {
        std::string root = (fs::temp_directory_path() / "qrx-bt-XXXXXX").string();
        if (!mkdtemp(root.data())) return 1;
        for (const char* dir : {"Windows", "NAND Flash", "Hard Disk", "SD Card"})
            fs::create_directories(root + "/" + dir);
        setenv("QRX_DEVICE_ROOT", root.c_str(), 1);
        setenv("QRX_BT_TEST_ROOT", root.c_str(), 1);
        const pid_t pid = fork();
        if (pid == 0) {
            execv("/proc/self/exe", argv);
            _exit(127);
        }
        int status = 0;
        while (pid > 0 && waitpid(pid, &status, 0) < 0) {
        }
        std::error_code ec;
        fs::remove_all(root, ec);
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    g_loadRecords = qrx::ReadDeviceRecords("GPIO");
    g_loadLog = DebugMessages();
    if (argc == 2 && std::string(argv[1]) == "--unload-child") return UnloadChild();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
