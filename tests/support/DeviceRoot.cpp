#include "DeviceRoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "qrx/host.h"

namespace fs = std::filesystem;

TempDeviceRoot::TempDeviceRoot(bool withCard) {
    std::string pattern = (fs::temp_directory_path() / "qrx-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    fs::create_directories(m_path + "/Windows");
    fs::create_directories(m_path + "/NAND Flash");
    fs::create_directories(m_path + "/Hard Disk");
    if (withCard) fs::create_directories(m_path + "/SD Card");
    setenv("QRX_DEVICE_ROOT", m_path.c_str(), 1);
    qrx::ReloadHostConfig();
}

TempDeviceRoot::~TempDeviceRoot() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
    unsetenv("QRX_DEVICE_ROOT");
    qrx::ReloadHostConfig();
}

void TempDeviceRoot::WriteFile(const std::string& relative, const std::string& bytes) const {
    fs::path p = Host(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDeviceRoot::ReadFile(const std::string& relative) const {
    std::ifstream in(Host(relative), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempDeviceRoot::DebugMessages() const {
    std::istringstream log(ReadFile(".platform/debug.log"));
    std::string messages;
    for (std::string line; std::getline(log, line);) {
        // "2031-02-03 04:05:06.789 [123456] message"
        size_t tick = line.find("] ");
        messages += (tick == std::string::npos ? line : line.substr(tick + 2)) + "\n";
    }
    return messages;
}
