// The operation page on the real main window, driven by single rounds of its operation thread fed with
// measurement records, with a simulated MCU answering the commands the rounds and the starts send.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "app/MicomPort.h"
#include "app/OperationWnd.h"
#include "sim/McuSim.h"

namespace operation_fixture {

using namespace controller_harness;

inline std::vector<int>& RemoteCodes() {
    static std::vector<int> codes;
    return codes;
}
inline void RecordRemote(int code) { RemoteCodes().push_back(code); }

inline std::vector<int> Events() {
    std::vector<int> codes;
    for (const Recorded& r : RecordLog())
        if (r.msg == WM_OPERATION_EVENT) codes.push_back(static_cast<int>(r.wParam));
    return codes;
}

inline McuStatusRecord Record(double volts, double amps, BYTE errors = 0, int freqCode = 2) {
    McuStatusRecord r{};
    r.Volt = static_cast<WORD>(volts * 100 + 0.5);
    r.Current = static_cast<WORD>(amps * 100 + 0.5);
    r.BatteryTemp = 2500;
    r.TransTemp = 3000;
    r.HeatsinkTemp = 3000;
    r.State = static_cast<BYTE>(freqCode << 3);
    r.Errors = errors;
    return r;
}

inline ProgramStep Step(DWORD direction, int kind, double volts, double amps, DWORD seconds, WORD capacity = 0) {
    ProgramStep s{};
    s.dwEnable = 1;
    s.dwDirection = direction;
    s.byKind = static_cast<BYTE>(kind);
    s.dVoltage = volts;
    s.dCurrent = amps;
    s.dwTime = seconds;
    s.wCapacity = capacity;
    return s;
}

// Without an MCU at start-up the page's operation thread stays parked, so the test drives single rounds.
class OperationPage : public ControllerTest {
protected:
    void BeforeStart() override {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
    }
    void SetUp() override {
        ControllerTest::SetUp();
        if (HasFatalFailure()) return;
        page = g_MainFrame.m_pOperationWnd;
        ASSERT_NE(page, nullptr);
        page->m_pfnReportError = RecordRemote;
        RemoteCodes().clear();
    }
    void TearDown() override {
        g_bModelZ330 = FALSE;
        ControllerTest::TearDown();
    }
    // Hands the page a port of its own to the simulated MCU, leaving the thread parked.
    void ConnectMcu() {
        sim = std::make_unique<sim::McuSim>();
        ASSERT_TRUE(sim->Start()) << sim->Error();
        port = std::make_unique<CMicomPort>(nullptr);
        ASSERT_EQ(port->Open(2, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY), 1);
        page->m_pMicomPort = port.get();
    }
    void Tick(const McuStatusRecord& r, int times = 1) {
        for (int i = 0; i < times; ++i) page->RunTick(&r);
        Pump(50);
    }
    // A run of that state started for real on a battery at 12.5 V: Restoration to 14.4 V, Discharge to
    // 10.5 V, a program of one kind-2 step whose direction the test may have set.
    void Begin(int state) {
        if (!sim) ConnectMcu();
        Tick(Record(12.5, 0));
        g_OpMode.dCurrent = 6;
        g_OpMode.dwTime = 3600;
        int result;
        if (state == RUN_STATE_RESTORATION) {
            g_OpMode.dVoltage = 14.4;
            result = page->StartRestoration(1);
        } else if (state == RUN_STATE_DISCHARGE) {
            g_OpMode.dVoltage = 10.5;
            result = page->StartDischarge(1);
        } else {
            const DWORD direction = g_OpMode.steps[state - RUN_STATE_STEP1].dwDirection;
            for (ProgramStep& s : g_OpMode.steps) s = ProgramStep{};
            g_OpMode.steps[state - RUN_STATE_STEP1] = Step(direction, 2, direction ? 10.5 : 14.4, 5, 3600);
            result = page->StartProgram(1);
        }
        ASSERT_EQ(result, 0) << "start of state " << state;
        RecordLog().clear();
        RemoteCodes().clear();
    }
    // The commands the simulated MCU took since the last call, status polls left out.
    std::vector<std::string> Commands() {
        std::vector<std::string> out;
        for (const sim::LogEntry& e : sim->Log())
            if (e.what != "GetCurrentStatus") out.push_back(e.what);
        sim->ClearLog();
        return out;
    }
    std::u16string Text(int control) const { return page->Ctrl(control)->GetText(); }

    COperationWnd* page = nullptr;
    std::unique_ptr<sim::McuSim> sim;
    std::unique_ptr<CMicomPort> port;
};

}  // namespace operation_fixture
