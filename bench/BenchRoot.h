// A device root of its own for a benchmark, so the port map of a real one is left alone.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "qrx/host.h"

class BenchRoot {
public:
    BenchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qrx-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
        const char* old = getenv("QRX_DEVICE_ROOT");
        if (old != nullptr) m_old = old;
        setenv("QRX_DEVICE_ROOT", m_path.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~BenchRoot() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
        if (m_old.empty()) {
            unsetenv("QRX_DEVICE_ROOT");
        } else {
            setenv("QRX_DEVICE_ROOT", m_old.c_str(), 1);
        }
        qrx::ReloadHostConfig();
    }
    bool Ok() const { return !m_path.empty(); }

private:
    std::string m_path;
    std::string m_old;
};
