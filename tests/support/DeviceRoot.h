// A fresh device root in a temporary folder for one test, with the usual storage folders.
#pragma once
#include <gtest/gtest.h>

#include <string>

class TempDeviceRoot {
public:
    // withCard false leaves out "SD Card", as with the card removed.
    explicit TempDeviceRoot(bool withCard = true);
    ~TempDeviceRoot();
    TempDeviceRoot(const TempDeviceRoot&) = delete;
    TempDeviceRoot& operator=(const TempDeviceRoot&) = delete;

    const std::string& Path() const { return m_path; }
    // Host path of a path below the root ("NAND Flash/a.bin").
    std::string Host(const std::string& relative) const { return m_path + "/" + relative; }
    void WriteFile(const std::string& relative, const std::string& bytes) const;
    std::string ReadFile(const std::string& relative) const;
    // The messages of the debug log, each line without its time stamp.
    std::string DebugMessages() const;

private:
    std::string m_path;
};

// Test fixture that gives every test its own device root.
class DeviceRootTest : public ::testing::Test {
protected:
    TempDeviceRoot root;
};
