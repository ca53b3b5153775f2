// The far end of the wired link on COM5: a host computer that sends "$QRX," requests and collects the
// device's frames, and an attached unit that answers the D records. One pseudo-terminal recorded as
// the COM port; with `hostTerminal` a second one is the host's end, relayed both ways (the command-line
// host `qrx-remote` opens it). Faults: splits, garbage, delays, silent or stale acknowledgements,
// a unit that stops answering D3, a unit that asks to stop the run.
#pragma once
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// "$QRX,<body><sum>\r\n".
std::string LinkFrame(const std::string& body);

struct LinkSimConfig {
    int port = 5;               // COM number recorded in the port map; 0 leaves it alone
    bool unit = false;          // answer D records as the attached unit
    bool hostTerminal = false;  // a second pseudo-terminal is the host's end
};

class LinkSim {
public:
    explicit LinkSim(const LinkSimConfig& config = {});
    ~LinkSim();
    LinkSim(const LinkSim&) = delete;
    LinkSim& operator=(const LinkSim&) = delete;

    bool Start();
    void Stop();
    const std::string& SlavePath() const { return m_slavePath; }
    const std::string& HostPath() const { return m_hostPath; }
    const std::string& Error() const { return m_error; }

    // Host side: bytes to the device, in `pieces` writes apart by `gapMs` (real time).
    void Send(const std::string& bytes, int pieces = 1, int gapMs = 20);
    void SendRecord(const std::string& body) { Send(LinkFrame(body)); }
    // The device's frames (whole lines), oldest first; Take empties the list.
    std::vector<std::string> Frames() const;
    std::vector<std::string> Take();
    // Waits (real time) until a frame of the device starts with "$QRX,<prefix>"; false on time-out.
    bool WaitFrame(const std::string& prefix, int timeoutMs) const;
    // The frames that start with "$QRX,<prefix>".
    size_t Count(const std::string& prefix) const;

    // Unit side. Silent: that D code (0..3, -1 none) gets no answer. D3 values: status, hundredths.
    void SetSilent(int code);
    void SetD3Values(int status, int volts, int amps);
    // Answers every acknowledgement this much later (real time).
    void SetAckDelay(int ms);
    // The unit on its own: an acknowledgement nobody asked for, or D4 with that request.
    void SendAck(int code) { SendRecord("D" + std::to_string(code) + ",0,"); }
    void SendStop(int request = 11) { SendRecord("D4," + std::to_string(request) + ","); }

private:
    void Run();
    void OnDeviceLine(const std::string& line);
    void Write(int fd, const std::string& bytes);

    LinkSimConfig m_config;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_cond;
    int m_master = -1, m_slave = -1, m_hostMaster = -1, m_hostSlave = -1, m_wake = -1;
    std::string m_slavePath, m_hostPath, m_error;
    bool m_mapped = false;
    std::thread m_thread;
    std::string m_pending;
    std::vector<std::string> m_frames;
    int m_silent = -1;
    int m_ackDelayMs = 0;
    int m_status = 0, m_volts = 1250, m_amps = 500;
};

}  // namespace sim
