// A device root in a temporary folder for the fuzz targets that read and write files. One per run:
// making one per input would cost more than the code under test.
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>

#include "qrx/host.h"

class FuzzRoot {
public:
    FuzzRoot(const char* tag, std::initializer_list<const char*> folders) {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / ("qrx-fuzz-" + std::string(tag) + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data())) {
            fprintf(stderr, "%s: no temporary folder\n", tag);
            abort();
        }
        m_path = pattern;
        for (const char* folder : folders) fs::create_directories(m_path + "/" + folder);
        setenv("QRX_DEVICE_ROOT", m_path.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~FuzzRoot() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    FuzzRoot(const FuzzRoot&) = delete;
    FuzzRoot& operator=(const FuzzRoot&) = delete;

    void Put(const std::string& relative, const std::string& bytes) const {
        std::ofstream out(m_path + "/" + relative, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Get(const std::string& relative) const {
        std::ifstream in(m_path + "/" + relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Remove(const std::string& relative) const {
        std::error_code ec;
        std::filesystem::remove_all(m_path + "/" + relative, ec);
    }

private:
    std::string m_path;
};
