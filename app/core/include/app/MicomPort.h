// The serial link to the MCU that runs the power stage: one request/reply transaction at a time for
// every thread of the program, and the command set on top of it.
#pragma once
#include <windows.h>

#include <atomic>

#define MCU_REPLY_SIZE 1024
#define MCU_MAX_REQUEST 256
#define MCU_REPLY_TIMEOUT_MS 600
#define MCU_ATTEMPTS 2
#define MCU_BAUD_RATE 115200

#pragma pack(push, 1)
// The measurement record of GetCurrentStatus; volts and amperes in hundredths, temperatures in
// hundredths of a degree Celsius.
struct McuStatusRecord {
    WORD Volt;
    WORD Current;
    SHORT BatteryTemp;
    SHORT TransTemp;
    SHORT HeatsinkTemp;  // 32767: sensor stopped
    BYTE Unused[10];
    BYTE State;
    BYTE Errors;

    int Charge() const { return State & 0x01; }
    int Pause() const { return (State >> 1) & 0x01; }
    int Start() const { return (State >> 2) & 0x01; }
    int Freq() const { return (State >> 3) & 0x03; }  // 1 = 50 Hz, 2 = 60 Hz
    int VoltCheck() const { return (State >> 5) & 0x01; }
    int TempCheck() const { return (State >> 6) & 0x01; }
    int BatConStatus() const { return Errors & 0x03; }
    int CutDetectError() const { return (Errors >> 2) & 0x03; }  // 1 voltage, 2 current
    int TempLimitError() const { return (Errors >> 4) & 0x01; }
};
#pragma pack(pop)
static_assert(sizeof(McuStatusRecord) == 22);
static_assert(offsetof(McuStatusRecord, HeatsinkTemp) == 8);
static_assert(offsetof(McuStatusRecord, State) == 20);

// What a measurement record may hold; anything else is a corrupt reply. The largest model charges
// up to 150 V and 100 A: a third more voltage leaves the idle over-voltage notice room to show, half
// again the current is beyond any output. Temperatures lie between absolute zero (a missing sensor
// reads low and is shown as N.C) and 200 degrees, or the heat sink's "sensor stopped".
#define MCU_STATUS_MAX_VOLT 20000
#define MCU_STATUS_MAX_CURRENT 15000
#define MCU_STATUS_MIN_TEMP (-27315)
#define MCU_STATUS_MAX_TEMP 20000
#define MCU_HEATSINK_STOPPED 32767
#define MCU_STATUS_REPLY_SIZE (2 + sizeof(McuStatusRecord))

// Decodes the reply payload of GetCurrentStatus (group 02, code 00, the record little-endian) into
// *status: 1 when it is exactly that reply with every value within the limits above, else 0 with
// *status untouched.
int McuDecodeStatus(const BYTE* reply, DWORD length, McuStatusRecord* status);

class CMicomPort {
public:
    explicit CMicomPort(HWND owner);
    virtual ~CMicomPort();
    CMicomPort(const CMicomPort&) = delete;
    CMicomPort& operator=(const CMicomPort&) = delete;

    // 1 when "COM<comNumber>:" is open; reopening closes the previous handle first.
    int Open(int comNumber, DWORD baudRate, BYTE dataBits, BYTE stopBits, BYTE parity);
    // Waits for a running transaction to end; a no-op when not open.
    void Close();
    // Reads what is queued, at most size bytes; the count read. A flood of more than
    // MCU_REPLY_SIZE queued bytes is dropped whole and gives 0.
    int Read(BYTE* buffer, DWORD size);
    // Encodes and writes one frame; the payload length when the whole frame went out, else 0.
    int Write(const BYTE* payload, DWORD length);
    // Sends the request (type, group, code, arguments) and waits for the reply of the same group and
    // code, two attempts of MCU_REPLY_TIMEOUT_MS; the decoded reply length in reply (which holds
    // MCU_REPLY_SIZE bytes), or 0.
    // Virtual so that an in-process peer can stand in for the line (benchmarks).
    virtual int Transact(const BYTE* payload, DWORD length, BYTE* reply);

    BOOL IsOpen() const { return m_open.load() != 0; }
    HWND Owner() const { return m_owner; }

private:
    void CloseLocked();
    // Waits up to timeoutMs for at least one byte and appends what is queued behind have bytes of
    // buffer; the number of bytes added, or -1 when the port failed.
    int WaitAndAppend(BYTE* buffer, DWORD have, DWORD size, DWORD timeoutMs);

    HWND m_owner;
    HANDLE m_semaphore;
    HANDLE m_port;
    std::atomic<int> m_open;
    CRITICAL_SECTION m_writeLock;
};

// Volts, amperes or degrees as the MCU's hundredths, rounded to nearest; 0 when the result lies
// outside 0..65535 (or the value is not a number), so no wrapped value reaches the MCU.
int McuHundredths(double value, WORD* out);

// Commands: 1 on success, 0 otherwise (also for a null or closed port).
int CmdBootupComplete(CMicomPort* port);
int CmdKeepAlive(CMicomPort* port);
int CmdOperation(CMicomPort* port, BYTE code);
int CmdSet10(CMicomPort* port, WORD voltage);  // set voltage, volts x 100
int CmdSet11(CMicomPort* port, WORD current);  // set current, amperes x 100
int CmdCutVoltage(CMicomPort* port, WORD voltage);
int CmdCutCurrent(CMicomPort* port, WORD current);
int CmdSet14(CMicomPort* port, BYTE direction);  // 1 discharge
int CmdSet15(CMicomPort* port, BYTE output);     // 1 on, 0 off
int CmdSet16(CMicomPort* port, BYTE resume);     // 0 pause, 1 resume
int CmdSetTempLimit(CMicomPort* port, WORD limit);  // degrees x 100
int CmdSet19(CMicomPort* port, int flag);  // sends 0 for 1, else 1
int CmdSet1A(CMicomPort* port, int flag);  // as CmdSet19
// Copies the four version bytes only on success.
int GetFWVersion(CMicomPort* port, BYTE version[4]);
// Copies the record only on success.
int GetCurrentStatus(CMicomPort* port, McuStatusRecord* status);

// The start-up sequence on the controller's fields (main window, MCU COM number, MCU port, firmware
// version bytes) and the limits of g_Settings: creates *mcuPort when it is null, opens it at 115200
// 8N1, reads the firmware version and sends the boot-up notice and the cut-off and temperature limits.
// 1 when the port is open (the pages may then be given the port); command failures only reach the
// debug output. The link port of the wired link is the controller's to create.
int InitMcu(HWND owner, int comNumber, CMicomPort** mcuPort, BYTE version[4]);
