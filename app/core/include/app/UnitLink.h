// What the operation page needs of the wired link on COM5 to hand the output to the attached unit:
// the D records and the error record. The link port implements it; tests stand in a double.
#pragma once
#include <windows.h>

#include <atomic>

class CUnitLink {
public:
    virtual ~CUnitLink() = default;
    // 1 while the attached unit answered its hello at start-up.
    virtual BOOL IsUnitConnected() const = 0;
    // D1 set-up, D2 output switch, D3 elapsed seconds: 1 when the unit acknowledged, else 0.
    virtual int SendD1(BYTE mode, WORD value1, WORD value2, DWORD time) = 0;
    virtual int SendD2(int on) = 0;
    virtual int SendD3(DWORD seconds) = 0;
    // "ER,%03d," to the host; nothing while the unit is connected. 1 when written.
    virtual int SendError(int code) = 0;
    // The unit's last D3 reply: volts and amperes in hundredths.
    virtual void GetUnitValues(WORD* volts, WORD* amps) const = 0;
};

// Raised every tick while the attached unit delivers the output, cleared by each of its D3 replies.
inline std::atomic<BYTE> g_byUnitWatchdog{0};
