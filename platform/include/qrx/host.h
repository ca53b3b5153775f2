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
// Line time: milliseconds of the host's monotonic clock, never scaled, wrapping at 32 bits. Serial
// time-outs run on it, so a reply window measured with it holds under any time scale.
DWORD LineTickCount();

// Keeps file attributes in the map file of .platform even where extended attributes work (tests).
void UseAttributeSidecar(bool on);

// Overrides the device path that GetModuleFileNameW reports for the main program.
void SetModuleFileNameOverride(const std::u16string& devicePath);

// ---- The runner's lifeline ------------------------------------------------------------------------
// Makes this process the device's power: a pipe whose write end only this process holds. A program
// started with the returned read end at descriptor kLifelineFd and with this process's environment
// (which now names the pipe), and every program it starts with CreateProcessW in turn, ends when this
// process ends, however it ends: SIGTERM, then SIGKILL 5 s later. -1 when no pipe could be made.
constexpr int kLifelineFd = 4;
int OpenLifeline();

// ---- Removable storage ----------------------------------------------------------------------------
// A storage volume is a folder of the device root ("SD Card"); a missing folder is a removed volume.
// RemoveVolume moves the folder aside into <root>/.platform/volumes/<name>, keeping its content, and
// ArriveVolume moves it back (an empty folder when none was kept; a folder already there and no kept
// copy: it stays). The kept copy is the volume's state: it outlasts the programs and restarts.
// Both then send WM_DEVICECHANGE (DBT_DEVICEREMOVECOMPLETE or DBT_DEVICEARRIVAL, a DEV_BROADCAST_PORT
// of type DBT_DEVTYP_PORT naming the folder) to every top-level window of every program of the device,
// through the screen server when one runs, else to this process's own. Each window gets it on its own
// thread, as a sent message, when that thread next handles sent messages (without a screen server the
// calling thread's own windows get it before the call returns); the call never waits for another
// thread. Names are matched without regard to case.
// False, with the error set, for a name that is empty, starts with a dot, holds a separator, a control
// character or outer spaces (ERROR_INVALID_NAME); for an unknown volume (ERROR_FILE_NOT_FOUND); when a
// removed copy is kept and a folder (or file) of that name has come back meanwhile, on removal and on
// arrival alike (ERROR_ALREADY_EXISTS: neither is replaced nor merged with the other); when the name
// is a file (ERROR_DIRECTORY). Removing a removed volume only sends the event again.
bool RemoveVolume(const std::string& name);
bool ArriveVolume(const std::string& name);
// True while a removed copy of the volume is kept aside (the volume is out), whatever is in the root.
bool VolumeKeptAside(const std::string& name);

}  // namespace qrx
