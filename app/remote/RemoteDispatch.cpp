#include "app/RemoteDispatch.h"

#include <cstdio>
#include <cstring>

#include "app/LinkPort.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Pages.h"
#include "app/RemoteFields.h"
#include "ui/ShellPanel.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "radiolink/QrxFrame.h"

namespace {

constexpr size_t kBody = qrxframe::kMaxBody + 1;
// The model name field holds 63 characters and its terminator.
constexpr int kModelChars = 63;

struct Limit {
    UINT msg;
    double low, high;
    size_t offset;  // a double of the settings record
    BOOL axes;      // the graph's axes follow the settings maxima
};
const Limit kLimits[] = {
    {1154, 0, 400, offsetof(SettingsRecord, dMinCurrent), TRUE},  // H9
    {1156, 0, 150, offsetof(SettingsRecord, dMaxVoltage), TRUE},  // H1
    {1157, 0, 400, offsetof(SettingsRecord, dMaxCurrent), TRUE},  // H2
    {1158, 0, 200, offsetof(SettingsRecord, dCutVoltage), FALSE}, // H3
    {1159, 0, 450, offsetof(SettingsRecord, dCutCurrent), FALSE}, // H4
    {1163, 0, 150, offsetof(SettingsRecord, dMinVoltage), TRUE},  // H8
};

const char* CodeOf(UINT msg) {
    static const char* const kCodes[] = {
        "B0", "B1", "B2", "B3", "B4", "B5", "B6", "B7", "", "",  "C0", "C1", "C2", "C3", "C4",
        "C5", "C6", "",   "",   "",   "E0", "E1", "E2", "E3", "", "",  "",   "",   "",   "H9",
        "H0", "H1", "H2", "H3", "H4", "H5", "H6", "H7", "H8", "", "S0", "S2", "S1", "S3"};
    const UINT k = msg - WM_PCCOMM_FIRST;
    return k < sizeof kCodes / sizeof kCodes[0] ? kCodes[k] : "";
}

void ModelText(char* out, size_t size) {
    if (WideCharToMultiByte(CP_ACP, 0, g_Settings.szModelName, -1, out, static_cast<int>(size), nullptr, nullptr) <= 0)
        out[0] = '\0';
    out[size - 1] = '\0';
}

void Body(char* body, const char* code, const char* text) { std::snprintf(body, kBody, "%s,%s,", code, text); }

BOOL IsRemote(const CMainFrame& f) { return f.m_bRemoteControl != 0; }

void SetIcon(CMainFrame& f, int icon, int on) {
    if (f.m_pTopBarWnd) f.m_pTopBarWnd->SetIcon(icon, on);
}

void ResetAxes(CMainFrame& f) {
    if (f.m_pOperationWnd) f.m_pOperationWnd->SetGraphAxes(TRUE, 0, 0, 0);
}

// B4: the name cut to the field, stored whole or not at all.
void StoreModelName(const char* text) {
    WCHAR name[64] = {};
    const int chars = static_cast<int>(strnlen(text, kModelChars));
    if (chars > 0 && MultiByteToWideChar(CP_ACP, 0, text, chars, name, kModelChars) <= 0) name[0] = 0;
    name[kModelChars] = 0;
    std::memcpy(g_Settings.szModelName, name, sizeof name);
}

// The H rows; 0 refuses.
BOOL SetLimit(CMainFrame& f, UINT msg, const char* field) {
    double value = 0;
    long whole = 0;
    switch (msg) {
        case 1155:  // H0
            if (!ParseRemoteWhole(field, &whole) || (whole != 50 && whole != 60)) return FALSE;
            g_Settings.wFrequency = static_cast<WORD>(whole);
            AdminRefreshFrequencyText(f);
            return SaveSettingFile();
        case 1160:  // H5
        case 1161:  // H6
            if (!ParseRemoteWhole(field, &whole) || whole < 0 || whole > 4000) return FALSE;
            (msg == 1160 ? g_Settings.wLimitH5 : g_Settings.wLimitH6) = static_cast<WORD>(whole);
            return SaveSettingFile();
        case 1162: {  // H7
            WORD limits[3];
            if (!ParseRemoteLimits(field, limits)) return FALSE;
            g_Settings.nBatTempLimit = static_cast<SHORT>(limits[0]);
            g_Settings.wTransTempLimit = limits[1];
            g_Settings.nHeatsinkLimit = static_cast<SHORT>(limits[2]);
            return SaveSettingFile();
        }
        default:
            break;
    }
    for (const Limit& l : kLimits) {
        if (l.msg != msg) continue;
        if (!ParseRemoteNumber(field, &value) || value < l.low || value > l.high) return FALSE;
        std::memcpy(reinterpret_cast<BYTE*>(&g_Settings) + l.offset, &value, sizeof value);
        // H1, H3 and H8 are voltages, the others currents.
        if (msg == 1156 || msg == 1158 || msg == 1163) AdminRefreshVoltText(f);
        else AdminRefreshAmpText(f);
        const BOOL saved = SaveSettingFile();
        if (l.axes) ResetAxes(f);
        return saved;
    }
    return FALSE;
}

int StartRun(CMainFrame& f, UINT msg) {
    COperationWnd* op = f.m_pOperationWnd;
    if (!op) return 1;
    ClosePopup(FALSE);
    f.ResetPages();
    if (msg == 1136) return op->StartProgram(1);
    return msg == 1137 ? op->StartRestoration(1) : op->StartDischarge(1);
}

}  // namespace

void SendRemoteReply(CMainFrame& frame, const char* body) {
    if (!body || !body[0]) return;
    if (g_Settings.wBtRemote) BtSendCommand(body);
    else if (frame.m_pLinkPort) frame.m_pLinkPort->SendRecord(body);
}

void SendRemoteError(CMainFrame& frame, int code) {
    if (g_Settings.wBtRemote) BtSendErrorCode(code);
    else LinkSendError(frame, code);
}

LRESULT DispatchRemoteCommand(CMainFrame& f, UINT msg, WPARAM wParam) {
    COperationWnd* op = f.m_pOperationWnd;
    const char* field = reinterpret_cast<const char*>(wParam);
    const char* code = CodeOf(msg);
    const BOOL idle = OperationIsIdle(f);
    char body[kBody] = {};
    char text[160];
    int refuse = 0;

    switch (msg) {
        case 1125:  // B0: the record goes out by itself
            if (op) op->SendStatusRecord(0, 1);
            return 0;
        case 1126:
        case 1127:
        case 1128:
            if (msg == 1128) {
                const int bt = wParam == 1;
                g_Settings.wBtRemote = static_cast<WORD>(bt);
                SetIcon(f, TOPBAR_BT_ICON, bt);
            } else {
                g_Settings.dwRemoteStreaming = msg == 1126;
                SaveSettingFile();
            }
            ModelText(text, sizeof text);
            Body(body, code, text);
            break;
        case 1129:
            StoreModelName(field ? field : "");
            AdminRefreshModelText(f);
            UpdateModelLabel();
            SaveSettingFile();
            ModelText(text, sizeof text);
            Body(body, code, text);
            break;
        case 1130: {
            const int n = static_cast<int>(wParam) - '0';
            if (n < 1 || n > 6) refuse = REMOTE_ERROR_STEP;
            else FormatStepReply(n, g_OpMode.steps[n - 1], body, sizeof body);
            break;
        }
        case 1131: {
            const BYTE first = f.m_McuVersion[0];
            const int level = first == 240 ? 10 : first == 241 ? 20 : first == 242 ? 23 : 0;
            std::snprintf(body, sizeof body, "B6,%s,%d.%d.%d", "44", level / 10, level % 10, f.m_McuVersion[3]);
            break;
        }
        case 1132:
            std::snprintf(body, sizeof body, "B7,%d,", g_Settings.wUnitEnable);
            break;
        case 1135:
            if (!IsRemote(f) || idle) refuse = REMOTE_ERROR_REFUSED;
            else OperationStopRun(f, 0);
            break;
        case 1136:
            if (IsRemote(f) && idle) {
                if (StartRun(f, msg)) refuse = REMOTE_ERROR_REFUSED;
            } else {
                ClosePopup(FALSE);
                if (op && op->ApplyProgramEdit(1) && op->Panel()) InvalidateRect(op->Panel()->GetHwnd(), nullptr, FALSE);
            }
            break;
        case 1137:
        case 1138:
            if (!IsRemote(f) || !idle || StartRun(f, msg)) refuse = REMOTE_ERROR_REFUSED;
            break;
        case 1139:
            AdminShow(f, 0);
            SettingShow(f, 0);
            OperationShow(f, 1);
            if (f.m_pTopBarWnd) f.m_pTopBarWnd->SetPage(SHELL_OPERATION, 5, 1);
            SetIcon(f, TOPBAR_PC_ICON, 1);
            f.m_bRemoteControl = 1;
            break;
        case 1140:
            SetIcon(f, TOPBAR_PC_ICON, 0);
            f.m_bRemoteControl = 0;
            break;
        case 1141:
            if (!IsRemote(f) || !op) refuse = REMOTE_ERROR_REFUSED;
            else op->PauseResume();
            break;
        case 1145:
        case 1146:
        case 1147:
        case 1148: {
            double value = 0;
            DWORD seconds = 0;
            int number = 0;
            ProgramStep step{};
            int ok = IsRemote(f) && op && field;
            if (ok && msg == 1145) ok = ParseRemoteNumber(field, &value) && op->SetRemoteVolt(value);
            if (ok && msg == 1146) ok = ParseRemoteNumber(field, &value) && op->SetRemoteAmp(value);
            if (ok && msg == 1147) ok = ParseRemoteTime(field, &seconds) && op->SetRemoteTime(seconds);
            if (ok && msg == 1148) ok = ParseRemoteStep(field, &number, &step) && op->SetRemoteStep(number, &step);
            if (!ok) refuse = REMOTE_ERROR_REFUSED;
            else SaveOpModeFile();
            break;
        }
        case 1154:
        case 1155:
        case 1156:
        case 1157:
        case 1158:
        case 1159:
        case 1160:
        case 1161:
        case 1162:
        case 1163:
            if (!idle || !field || !SetLimit(f, msg, field)) refuse = REMOTE_ERROR_REFUSED;
            break;
        case 1165: {
            SYSTEMTIME t;
            if (!field || !ParseRemoteClock(field, &t) || !SetSystemTime(&t)) refuse = REMOTE_ERROR_REFUSED;
            break;
        }
        case 1166: {
            const size_t length = field ? std::strlen(field) : 0;
            // An empty field (Bluetooth: no closing comma) must not wipe the stored number.
            if (!field || length == 0 || length > SERIAL_TEXT_MAX || !SaveSerialFile(field, static_cast<DWORD>(length)))
                refuse = REMOTE_ERROR_REFUSED;
            break;
        }
        case 1167: {
            char serial[SERIAL_TEXT_MAX + 1];
            const DWORD length = LoadSerialFile(serial, sizeof serial);
            if (length == 0) refuse = REMOTE_ERROR_REFUSED;
            else std::snprintf(body, sizeof body, "S1,%.*s,", static_cast<int>(length), serial);
            break;
        }
        case 1168:
            break;
        case WM_PCCOMM_UNIT_STOP:
            OperationStopRun(f, 0);
            return 0;
        default:
            return 0;
    }
    if (refuse) {
        SendRemoteError(f, refuse);
        return 0;
    }
    // The rows whose reply is the code and the field (or only the code) as received.
    if (!body[0] && code[0]) {
        if (code[0] == 'C') std::snprintf(body, sizeof body, "%s,", code);
        else Body(body, code, field ? field : "");
    }
    SendRemoteReply(f, body);
    return 0;
}
