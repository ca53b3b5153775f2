// Host-side controls of the platform layer: how the device maps onto this machine. Not part of the
// platform's API; used by tools, peers and tests.
#pragma once
#include <string>
#include "types.h"

namespace qrx {

// Host folder of the device root: QRX_DEVICE_ROOT, else the folder above the program's own
// "Windows" folder when the program is installed in a device root, else /tmp/qrx-device-<uid>.
const std::string& DeviceRoot();
// <device root>/.platform/<name>, creating the .platform folder when missing.
std::string PlatformStatePath(const std::string& name);
// Re-reads QRX_DEVICE_ROOT, QRX_TIME_SCALE and the clock offset; for tests that switch roots.
void ReloadHostConfig();

// Maps a device path onto the host: "\" and "/" both separate, each component is matched without
// regard to case, ".." never leaves the root. Components that do not exist keep their spelling.
// False when the path is empty or too long.
bool MapDevicePath(const WCHAR* devicePath, std::string& hostPath);
// The device path of a host path inside the root ("\Windows\QRX.exe"); false outside the root.
bool HostToDevicePath(const std::string& hostPath, std::u16string& devicePath);

// The time scale in force (QRX_TIME_SCALE, at least 1).
double TimeScale();
// Makes GetTickCount continue from the given value, so a test can reach the 32-bit wrap.
void SetTickCountStart(DWORD start);
// Device milliseconds as a real duration in nanoseconds under the time scale.
long long DeviceMsToRealNs(DWORD ms);

// Keeps file attributes in the map file of .platform even where extended attributes work (tests).
void UseAttributeSidecar(bool on);

// Overrides the device path that GetModuleFileNameW reports for the main program.
void SetModuleFileNameOverride(const std::u16string& devicePath);

}  // namespace qrx
