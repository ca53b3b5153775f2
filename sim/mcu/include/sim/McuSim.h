// Simulated MCU of the power stage: the framed command set on a pseudo-terminal, answered from a
// battery model. Tests use the library in-process; `qrx-sim-mcu` runs it for the device.
#pragma once
#include <array>
#include <functional>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qrx/types.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Wire frame: 0x81, payload and checksum with 0x80..0x8F escaped as 0x80 + low nibble, 0x82.

constexpr BYTE kFrameStart = 0x81;
constexpr BYTE kFrameEnd = 0x82;
constexpr BYTE kFrameEscape = 0x80;
// Longest frame taken from the line; anything longer is dropped up to the next start byte.
constexpr size_t kMaxFrameBytes = 1024;

// Two's complement of the 8-bit sum of 0x81, 0x82 and the payload.
BYTE FrameChecksum(const BYTE* payload, size_t length);
std::vector<BYTE> EncodeFrame(const BYTE* payload, size_t length);
// The same frame added at the end of out.
void AppendFrame(std::vector<BYTE>& out, const BYTE* payload, size_t length);
inline std::vector<BYTE> EncodeFrame(const std::vector<BYTE>& payload) {
    return EncodeFrame(payload.data(), payload.size());
}

// Cuts frames out of a byte stream, one byte at a time.
class FrameDecoder {
public:
    enum class Result { None, Frame, Bad };
    // Frame: Payload() holds the decoded payload (without checksum). Bad: Reason() says why and
    // Raw() holds the rejected bytes.
    Result Push(BYTE b);
    const std::vector<BYTE>& Payload() const { return m_payload; }
    const std::vector<BYTE>& Raw() const { return m_raw; }
    const char* Reason() const { return m_reason; }
    void Reset();

private:
    bool m_inFrame = false;
    bool m_overflow = false;
    std::vector<BYTE> m_raw;
    std::vector<BYTE> m_payload;
    const char* m_reason = "";
};

// ---------------------------------------------------------------------------------------------
// Battery model.

enum class Chemistry { LeadAcid, Agm, Gel };
// "lead", "lead-acid", "flooded", "agm", "gel" (any case).
bool ParseChemistry(const char* text, Chemistry& out);
const char* ChemistryName(Chemistry c);

enum class Connection { Connected, NotConnected, Reversed };

struct BatteryConfig {
    Chemistry chemistry = Chemistry::LeadAcid;
    int nominalVolts = 12;       // 6 to 48, whole 2 V cells
    double capacityAh = 60.0;    // 1 to 3000
    double stateOfCharge = 0.5;  // 0 to 1
    double ambientC = 25.0;      // -30 to 60
};
// Empty when the configuration can be modelled, else what is wrong with it.
std::string CheckBatteryConfig(const BatteryConfig& c);

// A lead-acid battery of 2 V cells: charge counting, open-circuit voltage per chemistry, internal
// resistance, charge acceptance and a slowly settling surface charge, and its own temperature.
// Current is positive while charging and negative while discharging.
class BatteryModel {
public:
    // The configuration is clamped into the modelled ranges.
    explicit BatteryModel(const BatteryConfig& config);

    const BatteryConfig& Config() const { return m_config; }
    int Cells() const { return m_cells; }
    double StateOfCharge() const { return m_soc; }
    double TemperatureC() const { return m_tempC; }
    // Voltage of the surface charge / polarisation layer (whole battery, signed).
    double SurfaceVolts() const { return m_surface; }
    // Open-circuit voltage at the present charge, without surface charge.
    double OpenCircuitVolts() const;
    // Internal resistance of the whole battery at the present charge and temperature.
    double ResistanceOhms() const;
    // Terminal voltage while the given current flows.
    double TerminalVolts(double amps) const;
    // Largest charge current up to limit that keeps the terminal voltage at or below volts.
    double ChargeAmpsAtVolts(double volts, double limit) const;
    // Largest discharge current (as a positive value) up to limit that keeps the terminal voltage
    // at or above volts; 0 when the battery is exhausted.
    double DischargeAmpsAtVolts(double volts, double limit) const;
    // Heat the battery turns out while the current flows, watts.
    double HeatWatts(double amps) const;
    // Advances the model with the current flowing for that many seconds.
    void Step(double amps, double seconds, double ambientC);

    void SetStateOfCharge(double soc);
    void SetTemperatureC(double c) { m_tempC = c; }

private:
    double Overpotential(double amps) const;  // whole battery, signed

    BatteryConfig m_config;
    int m_cells;
    double m_soc;
    double m_tempC;
    double m_surface = 0.0;
};

// ---------------------------------------------------------------------------------------------
// The MCU: set values, output regulation, sensors and the measurement record.

constexpr size_t kStatusRecordSize = 22;

enum class Sensor { Battery, Transformer, Heatsink };

// Values the MCU was given; volts, amperes and degrees in hundredths as on the wire.
struct McuSetValues {
    WORD volts = 0;       // 0x10: charge ceiling / discharge floor
    WORD amps = 0;        // 0x11
    WORD cutVolts = 0;    // 0x12: 0 = not armed
    WORD cutAmps = 0;     // 0x13: 0 = not armed
    BYTE direction = 0;   // 0x14: 1 discharge, else charge
    BYTE output = 0;      // 0x15: 1 on
    BYTE resume = 1;      // 0x16: 0 pause, 1 resume
    SHORT tempLimit = 0;  // 0x18
    BYTE flag19 = 0;      // 0x19: 0 = hold the set voltage (CV, tapering current), 1 = plain constant current
    BYTE flag1A = 0;      // 0x1A: kept and reported, no effect on the model
    bool bootupComplete = false;
    DWORD keepAlives = 0;
    BYTE lastOperation = 0;   // argument of the last 0x03
    bool gotoLoader = false;  // the upgrader's jump request (01 FF 00 02) was received
};

// Calibration values of the converters (command group 3).
struct McuCalibration {
    SHORT voltOffset = 0;
    float voltScale = 1.0f;
    SHORT ampOffset = 0;
    float ampScale = 1.0f;
    SHORT dischargeAmpOffset = 0;
    float dischargeAmpScale = 1.0f;
    WORD pt100 = 10000;
    WORD ntc1 = 1300;
    WORD ntc2 = 1500;
};

// Converter errors of an uncalibrated board: a reading is the true value x gain + offset (volts,
// amperes), before the calibration values correct it.
struct AdcError {
    double voltOffset = 0.0;
    double voltGain = 1.0;
    double ampOffset = 0.0;
    double ampGain = 1.0;
};
// "VOFF,VGAIN,AOFF,AGAIN": offsets within +-50, gains 0.5 to 2.
bool ParseAdcError(const char* text, AdcError& out);

struct McuConfig {
    BatteryConfig battery;
    std::array<BYTE, 4> firmware{242, 1, 0, 4};
    int mainsHz = 60;  // 50 or 60 (the device's default setting is 60); anything else reports code 0
    AdcError adcError;
    // The calibration's EEPROM: read at power-on, written by 03 05, removed by 03 06. Empty: memory only.
    std::string eepromFile;
};

// Everything observable at one moment, for tests.
struct McuSnapshot {
    McuSetValues set;
    McuCalibration calibration;
    double outputVolts = 0.0;  // as the converters read the terminals, calibration applied
    double outputAmps = 0.0;   // magnitude, either direction, as read
    double terminalVolts = 0.0;  // the true values, whatever the converters read
    double terminalAmps = 0.0;
    bool delivering = false;   // current flows this second
    bool constantVoltage = false;
    double stateOfCharge = 0.0;
    double openCircuitVolts = 0.0;
    double batteryC = 0.0, transformerC = 0.0, heatsinkC = 0.0;
    Connection connection = Connection::Connected;
    BYTE cutError = 0;  // 1 voltage, 2 current (latched)
    DWORD seconds = 0;  // model seconds advanced
    std::array<BYTE, kStatusRecordSize> record{};
};

// A condition forced on the measurement record: held for a number of answered status polls, or,
// with polls below 0, until cleared.
template <class T>
struct Held {
    std::optional<T> value;
    int polls = -1;

    void Set(std::optional<T> v, int n) {
        value = n == 0 ? std::nullopt : v;
        polls = value ? n : -1;
    }
    // One status poll was answered; true when the condition ended with it.
    bool CountPoll() {
        if (!value || polls <= 0 || --polls > 0) return false;
        value.reset();
        polls = -1;
        return true;
    }
};

// The measurement record (22 bytes, little-endian): volts and amperes x 100 at the terminals,
// battery and transformer temperatures x 100, the heat sink's thermistor in hundreds of ohms (falls
// as it warms: about 100 at 25 C, 19 at 68 C; 32767 sensor stopped), ten unused bytes, then
//   byte 20: bit 0 output on for charging, bit 1 paused (0x16 0), bit 2 output on, bits 3-4 mains
//            code (1 50 Hz, 2 60 Hz), bit 5 the set voltage holds the current back, bit 6 a battery
//            temperature sensor reads (none without a battery);
//   byte 21: bits 0-1 1 no battery, 2 reversed; bits 2-3 cut-off latched (1 voltage, 2 current),
//            until CmdOperation with the same code; bit 4 battery at or above the temperature limit.
class McuModel {
public:
    explicit McuModel(const McuConfig& config);

    enum class Handled { Reply, Silent, Unknown };
    // Carries out one request payload. Reply: `reply` holds the reply payload; Silent: carried out,
    // no reply (the jump to the loader); Unknown: not a request it knows, ignored. `what` names
    // the command and its argument, or what is wrong with the request.
    Handled Handle(const std::vector<BYTE>& request, std::vector<BYTE>& reply, std::string& what);

    // Runs the model on by that many seconds. The model has no clock of its own: McuSim runs it with
    // the device clock.
    void Advance(int seconds);
    // The device lost power (its port closed): the MCU starts again from its power-on state, output
    // off, set values and a latched cut-off gone, calibration back from EEPROM; the battery keeps its
    // charge and temperature.
    void PowerLoss();
    std::array<BYTE, kStatusRecordSize> StatusRecord() const;
    McuSnapshot Snapshot() const;

    const BatteryModel& Battery() const { return m_battery; }
    BatteryModel& Battery() { return m_battery; }

    // Conditions for the device's stop checks. Each holds for `polls` answered status polls, or
    // until changed when polls is below 0; polls 0 ends it at once.
    // Battery connection (BatConStatus 1 no battery, 2 reversed); Connected ends a held fault.
    void SetConnection(Connection c, int polls = -1);
    // Mains code of the record: 0 none, 1 50 Hz, 2 60 Hz; afterwards the configured mains again.
    void SetFrequencyCode(int code, int polls = -1);
    // Holds a sensor's reading at the given degrees (nullopt: the model's own again); 327.67
    // reports the heat-sink's "sensor stopped" value, 70 or more a hot sink the device flags; 120.01
    // puts the transformer above 12000.
    void SetTemperatureOverride(Sensor s, std::optional<double> celsius, int polls = -1);
    // Holds the measured voltage (VOLT) at the given volts: a battery above what the device allows.
    void SetVoltageOverride(std::optional<double> volts, int polls = -1);
    // The board's cut-off protection trips as if the limit were crossed: output off and
    // CutDetectError latched (1 voltage, 2 current) until CmdOperation with the same code.
    void TripCutOff(int cause);
    // Every held condition and reading back to the model's own; a latched cut-off stays.
    void ClearConditions();

    void SetAmbientC(double c) { m_ambientC = c; }
    void SetFirmware(const std::array<BYTE, 4>& v) { m_firmware = v; }

private:
    void Regulate();
    Handled HandleCalibration(const std::vector<BYTE>& req, std::vector<BYTE>& reply, std::string& what);
    void CheckCutOff();
    void Latch(BYTE cause);
    void CountPoll();
    double Reading(Sensor s) const;
    double VoltsReading() const;
    double AmpsReading() const;
    bool LoadEeprom();
    std::string SaveEeprom(bool erase) const;
    Connection Wiring() const { return m_connection.value.value_or(Connection::Connected); }

    BatteryModel m_battery;
    std::array<BYTE, 4> m_firmware;
    AdcError m_adc;
    std::string m_eepromFile;
    int m_freqCode;
    double m_ambientC;
    McuSetValues m_set;
    McuCalibration m_cal;
    McuCalibration m_eeprom;
    Held<Connection> m_connection;
    Held<int> m_freqOverride;
    Held<double> m_override[3];
    Held<double> m_voltOverride;
    double m_transC, m_sinkC;
    double m_amps = 0.0;   // signed, + charging
    double m_volts = 0.0;  // terminal voltage measured
    bool m_cv = false;
    BYTE m_cutError = 0;
    DWORD m_seconds = 0;
};

// ---------------------------------------------------------------------------------------------
// The MCU in the caller's own thread, without a line or a clock: encoded request frames in, encoded
// reply frames out. Each status poll first ages the battery one second (the device polls once a
// second), so benchmarks and in-process runs drive device hours back to back.
class McuDirect {
public:
    explicit McuDirect(const McuConfig& config = {}) : m_model(config) {}

    // Takes the bytes the device writes (whole frames, or pieces of one: the rest may follow in the
    // next call) and returns the encoded reply frames they produce, empty when there is none. The
    // returned buffer is reused by the next call.
    const std::vector<BYTE>& Exchange(const BYTE* bytes, size_t length);

    McuModel& Model() { return m_model; }
    const McuModel& Model() const { return m_model; }

private:
    McuModel m_model;
    FrameDecoder m_decoder;
    std::vector<BYTE> m_reply;
    std::vector<BYTE> m_answer;
    std::string m_what;
};

// ---------------------------------------------------------------------------------------------
// The simulator on a pseudo-terminal.

enum class Fault {
    None,
    Silence,         // the MCU is deaf: the request is neither carried out nor answered
    BadChecksum,     // the reply's checksum is off by one
    LeadingGarbage,  // a few bytes that are no frame go out before the reply
    WrongReply,      // the reply carries the group and code of another command
    Delay,           // the reply goes out after delayMs device milliseconds
    Flood,           // floodBytes of line noise instead of the reply
    Truncate,        // the reply's payload cut to truncateBytes, with a checksum that fits
    Split,           // the reply goes out in pieces of splitBytes, splitGapMs line time apart
};
const char* FaultName(Fault f);

struct FaultSetup {
    Fault kind = Fault::None;
    int count = 1;        // replies it spoils; below 0 until cleared
    int group = -1;       // only requests of this group (-1 any)
    int code = -1;        // and this code (-1 any)
    DWORD delayMs = 800;  // line (host) milliseconds, past the link's 600 ms
    size_t floodBytes = 2048;
    size_t truncateBytes = 2;
    size_t splitBytes = 3;
    DWORD splitGapMs = 20;

    // The next `polls` status polls (GetCurrentStatus) only; below 0 until cleared.
    static FaultSetup StatusPolls(Fault kind, int polls) {
        FaultSetup f;
        f.kind = kind;
        f.count = polls;
        f.group = 0x02;
        f.code = 0x00;
        return f;
    }
};

struct LogEntry {
    DWORD tick = 0;             // GetTickCount when the frame was taken
    bool rejected = false;      // a bad frame or an unknown request: not answered
    std::vector<BYTE> request;  // decoded payload; the raw bytes of a bad frame
    std::string what;           // command and argument, or why the frame was rejected
    std::vector<BYTE> reply;    // reply payload the MCU gave (before any fault)
    Fault fault = Fault::None;  // what spoiled the reply
};
// One line of the log file: "[tick] request -> reply what".
std::string FormatLogEntry(const LogEntry& e);

// Another program on the MCU's line: the PMC boot loader takes the line from the jump frame on and
// gives it back when it starts a firmware (sim/pmc). Called on the responder thread.
class LineTakeover {
public:
    virtual ~LineTakeover() = default;
    virtual bool Owns() = 0;  // the line's bytes are the loader's
    virtual void Jump() = 0;  // the jump frame came
    // Bytes from the line; send(reply, delay in line ms) answers. A firmware started gives its version.
    using Send = std::function<bool(const std::vector<BYTE>&, DWORD)>;
    virtual std::optional<std::array<BYTE, 4>> Take(const BYTE* data, size_t n, const Send& send) = 0;
};

struct McuSimConfig {
    McuConfig mcu;
    LineTakeover* takeover = nullptr;  // the PMC loader on the same line, when one runs
    int port = 2;               // COM number recorded in the port map; 0 leaves the map alone
    std::string logFile;        // every log entry is appended here when set
    size_t logLimit = 100000;   // entries kept in memory; the oldest go first
    std::string controlSocket;  // Unix socket that takes control commands (ControlCommand) when set
};

// The control socket of a simulator serving COM`port` in the device root in force:
// <root>/.platform/mcu<port>.sock.
std::string ControlSocketPath(int port);

class McuSim {
public:
    explicit McuSim(const McuSimConfig& config = {});
    ~McuSim();
    McuSim(const McuSim&) = delete;
    McuSim& operator=(const McuSim&) = delete;

    // Opens the pseudo-terminal, records its path for the port and starts the responder. When the
    // device closes the port (or dies) the MCU takes it as a power cut (McuModel::PowerLoss).
    bool Start();
    // Stops the responder, closes the terminal and removes the port-map entry (when it is still
    // ours). Safe to call twice.
    void Stop();
    bool Running() const { return m_thread.joinable(); }
    // Host path of the terminal's slave side (empty before Start).
    const std::string& SlavePath() const { return m_slavePath; }
    // Why Start failed.
    const std::string& Error() const { return m_error; }

    // Line faults: the replies to the matching requests are lost or spoiled.
    void InjectFault(const FaultSetup& fault);
    void ClearFault() { InjectFault(FaultSetup{}); }
    // Record conditions, as McuModel's; polls counts answered status polls, below 0 until changed.
    void SetConnection(Connection c, int polls = -1);
    void SetFrequencyCode(int code, int polls = -1);
    void SetTemperatureOverride(Sensor s, std::optional<double> celsius, int polls = -1);
    void SetVoltageOverride(std::optional<double> volts, int polls = -1);
    void TripCutOff(int cause);
    // The line fault and every record condition cleared.
    void ClearFaults();

    void SetStateOfCharge(double soc);
    // Runs the battery on by that many seconds beyond what the device clock has run it.
    void Advance(int seconds);
    // The state now: the battery has aged with the device clock up to this moment.
    McuSnapshot Snapshot();

    std::vector<LogEntry> Log() const;
    void ClearLog();
    // Waits (real time) until the log holds at least count entries; false on time-out.
    bool WaitForLog(size_t count, DWORD timeoutMs) const;

private:
    void LoaderBytes(const BYTE* data, size_t n);
    void Run();
    void CatchUp();
    bool ListenControl();
    void ServeControl();
    void OnFrame(const std::vector<BYTE>& payload);
    void OnBadFrame(const std::vector<BYTE>& raw, const char* reason);
    void OnLineClosed();
    void Record(LogEntry&& e);
    bool SendAll(const std::vector<BYTE>& bytes);
    bool Pause(DWORD lineMs);

    McuSimConfig m_config;
    McuModel m_model;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_logCond;
    std::deque<LogEntry> m_log;
    size_t m_logTotal = 0;
    FaultSetup m_fault;
    FILE* m_logFile = nullptr;
    int m_master = -1;
    int m_wake = -1;
    int m_control = -1;
    unsigned long m_controlInode = 0;
    DWORD m_clockMs = 0;  // device clock up to which the battery has aged
    std::string m_slavePath;
    std::string m_error;
    bool m_mapped = false;
    std::thread m_thread;
};

// ---------------------------------------------------------------------------------------------
// Control commands: one line of text, for the control socket of a running simulator and for tests.
//   silence N                  the next N status polls go unanswered (0 ends it)
//   battery connected|disconnected|reversed [N]
//   transformer|heatsink|battery-temp C|off [N]    sensor reading held at C degrees
//   volts V|off [N]            measured voltage held at V volts
//   mains 0|50|60 [N]          mains frequency reported (0: none)
//   cutoff voltage|current     the board's cut-off protection trips
//   clear                      every fault and held condition ends
//   soc PERCENT                the battery's state of charge
//   truncate BYTES [N]         the next N replies (all without N) cut to BYTES payload bytes
//   split BYTES [N]            the next N replies (all without N) sent in pieces of BYTES
//   state                      "ok soc=P volts=V amps=A battery-temp=C transformer=C heatsink=C
//                              output=0|1 direction=0|1 paused=0|1 seconds=N terminal-volts=V"
//                              (soc in per cent; volts as read, terminal-volts the true voltage)
// N counts answered status polls (replies for truncate and split); without it a condition holds until
// changed.
bool ControlCommand(McuSim& sim, const std::string& line, std::string& reply);

// Sends one command line to the control socket at `path`; the simulator's reply in `reply` ("ok" or
// "ok " and the answer, or the reason it was refused, or why the socket could not be reached). True
// when carried out.
bool SendControlCommand(const std::string& path, const std::string& line, std::string& reply);

}  // namespace sim
