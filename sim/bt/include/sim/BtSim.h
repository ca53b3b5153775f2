// Simulated Bluetooth module on the display board: AT commands on a pseudo-terminal recorded as a COM
// port, the connection line (GPIO 83) it holds, the reset (84) and pairing (82) lines it watches, and
// a host that connects when the module's settings let it and then talks through the module.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrx/types.h"

namespace sim {

enum class BtType { Btm4504c1x, Bcd100 };
// "btm4504c1x" or "bcd100" (any case).
bool ParseBtType(const char* text, BtType& out);

struct BtSimConfig {
    BtType type = BtType::Bcd100;
    int port = 4;                           // COM number recorded in the port map; 0 leaves it alone
    bool pace = false;                      // answers go out at 9600 baud
    std::string logFile;                    // every log entry is appended here when set
    std::string hostAddr = "0017E9A0B1C2";  // the host's Bluetooth address
    bool autoConnect = false;               // the host connects whenever the module lets it
    bool hostTerminal = false;              // a second pseudo-terminal is the host's end
};

struct BtLogEntry {
    enum Kind : char { Command = 'C', Pin = 'P', ToHost = '>', ToDevice = '<', Link = 'L' };
    DWORD tick = 0;  // GetTickCount
    Kind kind = Command;
    std::string text;   // the command or line as received (CR LF shown as \r \n)
    std::string reply;  // what the module answered to a command
};
// "[tick] C AT+NAME?\r -> +NAME:...".
std::string FormatBtLogEntry(const BtLogEntry& e);

class BtSim {
public:
    explicit BtSim(const BtSimConfig& config = {});
    ~BtSim();
    BtSim(const BtSim&) = delete;
    BtSim& operator=(const BtSim&) = delete;

    // Opens the terminal(s), records the port, sets the connection line to "no host", starts.
    bool Start();
    // Stops, closes, removes the port-map entry while it is still ours. Safe twice.
    void Stop();
    const std::string& SlavePath() const { return m_slavePath; }
    // The host's end with hostTerminal: bytes written there go to the device once connected.
    const std::string& HostPath() const { return m_hostPath; }
    const std::string& Error() const { return m_error; }

    // Host side. Connect asks for the link; it comes up as soon as the module allows it, and again
    // a little after the module hangs up (ATH, ATZ, reset).
    void HostConnect();
    // The host is lost: the link ends, bytes in flight are lost; HostConnect again to reconnect.
    void HostDrop();
    bool HostConnected() const;
    // Sends bytes to the device through the link; false when not connected.
    bool HostSend(const std::string& bytes);
    // Takes what the device sent to the host since the last take.
    std::string HostTake();
    // What the host got so far, without taking it.
    std::string HostPeek() const;
    // Waits (real time) until what the host got holds `text`; false on time-out.
    bool WaitHost(const std::string& text, int timeoutMs) const;

    // Faults. Deaf: nothing is heard or answered. Garbage: n noise bytes before the next host line
    // (ending in LF) or inside it. Split: the next host line goes in `pieces` writes. Flood: n bytes
    // without LF to the device at once, while connected.
    void SetDeaf(bool deaf);
    void InjectGarbage(size_t n, bool insideLine);
    void InjectSplit(int pieces);
    bool Flood(size_t n);

    // Every byte the device wrote to the module, and the log.
    std::string DeviceBytes() const;
    std::vector<BtLogEntry> Log() const;
    // Commands heard, as received (each ending in CR), oldest first.
    std::vector<std::string> Commands() const;
    int Mode() const;

private:
    void Run();
    void OnDeviceBytes(const char* data, size_t n);
    void OnCommand(const std::string& command);
    void WatchPins();
    void TryConnect();
    void SetLink(bool up, const char* why);
    bool Allowed() const;
    void Record(BtLogEntry::Kind kind, const std::string& text, const std::string& reply = "");
    void WriteDevice(const std::string& bytes);
    void WriteHost(const std::string& bytes);
    void RelayToDevice(const std::string& bytes);

    BtSimConfig m_config;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_hostCond;
    int m_master = -1, m_slave = -1, m_wake = -1;
    int m_hostMaster = -1, m_hostSlave = -1;
    std::string m_slavePath, m_hostPath, m_error;
    bool m_mapped = false;
    std::thread m_thread;
    FILE* m_logFile = nullptr;

    // Module state, under m_lock.
    bool m_connected = false;
    bool m_wantLink = false;
    bool m_commandMode = false;
    bool m_deaf = false;
    bool m_inReset = false;
    DWORD m_pairing = 0;
    DWORD m_watchedLine = 0;  // line time the pins were last looked at
    DWORD m_hangupLine = 0;   // line time of the last hang-up: the host waits a little
    int m_mode = 0;
    std::string m_raddr, m_scanAddr;
    bool m_scanAny = false;
    std::string m_pending;      // command or data line being collected
    std::string m_deviceBytes;  // everything the device wrote
    std::string m_toHost;
    std::string m_hostLine;  // bytes from the host terminal up to LF
    std::vector<BtLogEntry> m_log;
    size_t m_garbage = 0;
    bool m_garbageInside = false;
    int m_split = 0;
};

}  // namespace sim
