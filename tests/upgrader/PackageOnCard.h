// Puts a package built by qrx-mkpackage's library on the card of a test's device root.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "MkPackage.h"
#include "upgrader/FwHeader.h"

inline FwPackageInfo PackageOnCard(const TempDeviceRoot& root, const mkpackage::Options& options) {
    std::vector<uint8_t> p;
    std::string why;
    EXPECT_TRUE(mkpackage::BuildPackage(options, p, why)) << why;
    root.WriteFile("SD Card/QRX3FWDATA.FWD", std::string(p.begin(), p.end()));
    FwPackageInfo info;
    EXPECT_EQ(FWH_OK, ParseFwDataHeader(p.data(), p.size(), p.size(), &info));
    return info;
}
