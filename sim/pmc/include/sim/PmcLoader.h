// The PMC's boot loader: after the MCU's jump frame it owns the line and speaks 64-byte frames
// (command u32, sequence u32, 56 bytes; a reply echoes the request's 16-bit byte sum at 0 and its
// sequence + 1 at 4). A0 erases the program memory and starts an image of a given length, 00 frames
// append to it, RunApp (AD) hands the line back to the MCU only when the image is whole and without
// a hole, and its first four bytes become the MCU's firmware version. The program memory persists in
// <root>/.platform/pmc/, so a restart of the simulator is a power cycle: an incomplete image stays in
// the loader, deaf to MCU frames.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "sim/McuSim.h"

namespace sim {

constexpr size_t kIapFrameSize = 64;
constexpr size_t kPmcProgramMax = 0x20000;

struct IapFaults {
    bool noLoader = false;        // the jump is ignored: the MCU firmware keeps the line
    int failedConnects = 0;       // that many CMD_Connect go unanswered
    int badEchoAt = 0;            // the Kth data frame's reply carries a wrong checksum echo
    int badSequenceAt = 0;        // ... a wrong sequence
    bool shortReplies = false;    // every reply is 8 bytes
    int lostFrameAt = 0;          // the Kth data frame is lost on the line (no reply, nothing stored)
    unsigned lateMs = 0;          // every reply comes that late (line time)
    int powerLossAt = 0;          // at the Kth data frame half of it is stored, then the power goes
};

// Parses "--iap-fault" values: no-loader, connect-fails N, bad-echo K, bad-sequence K, short-replies,
// lost-frame K, late MS, power-loss K. False for anything else.
bool ParseIapFault(const std::string& fault, IapFaults& faults);

class PmcLoader : public LineTakeover {
public:
    // stateDir: the program memory's folder (default <root>/.platform/pmc). The power-loss fault calls
    // powerLoss (default: the process dies by SIGKILL).
    explicit PmcLoader(IapFaults faults = {}, std::string stateDir = "", std::function<void()> powerLoss = {});

    bool Owns() override;
    void Jump() override;
    std::optional<std::array<BYTE, 4>> Take(const BYTE* data, size_t n, const Send& send) override;

    // The version of a whole stored image (its first four bytes); none without one.
    std::optional<std::array<BYTE, 4>> Firmware() const;
    bool ImageWhole() const { return m_complete && !m_holed; }
    size_t Stored() const { return m_image.size(); }
    // Bytes taken from the line so far: a pause on the line counts from the last of them.
    size_t Taken() const { return m_taken; }

private:
    void Frame(const BYTE* f, const Send& send);
    void Reply(const BYTE* request, const std::vector<BYTE>& data, const Send& send, int dataFrame);
    void Erase(DWORD length);
    void Append(const BYTE* bytes, size_t n);
    void SaveState();

    IapFaults m_faults;
    std::string m_dir;
    std::function<void()> m_powerLoss;
    std::atomic<bool> m_active{false};  // read by tests from their own thread
    std::atomic<size_t> m_taken{0};
    bool m_dead = false;  // the power went: nothing more until the next power-on
    std::vector<BYTE> m_partial;
    std::chrono::steady_clock::time_point m_lastByte;
    int m_connects = 0;
    int m_dataFrames = 0;
    DWORD m_length = 0;
    bool m_complete = false;
    bool m_holed = false;
    DWORD m_nextSequence = 0;
    std::vector<BYTE> m_image;
};

// Puts the loader on the MCU's line; a whole stored image's version is the MCU firmware's.
void AttachPmcLoader(McuSimConfig& config, PmcLoader& loader);

}  // namespace sim
