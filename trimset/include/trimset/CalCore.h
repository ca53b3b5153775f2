// The calibration tool's work without its dialog: entry fields, the MCU's replies cut from the line
// and turned into texts, the commands, and the line itself with its receive thread.
#pragma once
#include <windows.h>

#include "radiolink/UartPort.h"

// Replies the receive thread posts to the dialog: message boxes, and new values to show.
#define WM_CAL_EEPROM_WRITTEN 0x1400
#define WM_CAL_EEPROM_ERASED 0x1401
#define WM_CAL_VOLT_OFFSET 0x1402
#define WM_CAL_VOLT_SCALE 0x1403
#define WM_CAL_AMP_OFFSET 0x1404
#define WM_CAL_AMP_SCALE 0x1405
#define WM_CAL_VALUES 0x1406  // wParam: the reply's code, 0x07 or 0x0A

#define CAL_FIELD_MAX 10
#define CAL_FRAME_MAX 1023
#define CAL_TIMER_ID 4096
#define CAL_TIMER_MS 500
#define CAL_RUN_GAP_MS 20

// Focus targets: the keypad types into this field.
enum CalTarget { CAL_NONE = 0, CAL_VOLT = 1, CAL_AMP = 2, CAL_NTC1 = 3, CAL_NTC2 = 4 };

// One entry field: decimal (volt, amp: one point, no leading "0" or ".") or digits only (NTC, no
// leading "0"); at most CAL_FIELD_MAX characters.
class CCalField {
public:
    void Init(BOOL digitsOnly, const WCHAR* text);
    // TRUE when the key was taken.
    BOOL Key(WCHAR c);
    void Clear();
    const WCHAR* Text() const { return m_text; }
    int Count() const { return m_count; }

private:
    WCHAR m_text[CAL_FIELD_MAX + 1] = {};
    int m_count = 0;
    BOOL m_digitsOnly = FALSE;
};

// A decimal field read exactly, times 100: FALSE above 655.35 or for anything but digits and one
// point. Digits past the second decimal are cut.
BOOL CalHundredths(const WCHAR* text, WORD* out);
// A digits field: FALSE above 65535.
BOOL CalWholeNumber(const WCHAR* text, WORD* out);

// The values the MCU reports with 03 07 and 03 0A.
struct CalValues {
    SHORT voltOffset = 0;
    float voltScale = 0.0f;
    SHORT ampOffset = 0;
    float ampScale = 0.0f;
    WORD pt100 = 0;
    SHORT disOffset = 0;
    float disScale = 0.0f;
    WORD ntc1 = 0;
    WORD ntc2 = 0;
};

// The statics' texts made from them.
struct CalTexts {
    WCHAR volt[96] = {};  // 1000
    WCHAR amp[160] = {};  // 1025
    WCHAR ntc1[8] = {};   // 1037
    WCHAR ntc2[8] = {};   // 1038
};

// Cuts reply frames out of the byte stream: 0x81 starts one (also inside one), 0x82 ends it, a
// 0x80 marks the next byte as escaped; the start and end bytes count as framing even right after
// an escape. A frame longer than CAL_FRAME_MAX is dropped up to the next start.
class CCalReceiver {
public:
    // TRUE when the byte ended a frame whose bytes sum to 0: Frame() holds [group][code][data][sum].
    BOOL Push(BYTE b);
    const BYTE* Frame() const { return m_frame; }
    DWORD Length() const { return m_length; }

private:
    BYTE m_frame[CAL_FRAME_MAX];
    DWORD m_length = 0;
    BYTE m_sum = 0;
    bool m_inFrame = false;
    bool m_escape = false;
};

// What a whole frame means: 0 (ignored), a box message with its wParam, or WM_CAL_VALUES after the
// values and texts were updated. takePt100: the board reports PT100 (revision 2.3 on COM2).
UINT CalHandleReply(const BYTE* frame, DWORD length, BOOL takePt100, BOOL model, CalValues& values,
                    CalTexts& texts, WPARAM* wParam);
// "%f" of a value off the wire, within bounds: "---" when not finite or too large to show.
void CalFormatFloat(WCHAR* out, size_t capacity, float value, int decimals);

// The run start's six payloads, each of 4 or 5 bytes; lengths in lengths.
void CalRunStart(BOOL charge, int port, WORD volts, WORD amps, BYTE payloads[6][5], DWORD lengths[6]);

// The MCU's line: the port object on the event "QRXCOMM", and the receive thread that cuts the
// replies and posts them to the dialog. Every use of the port is under the port's own locks.
class CCalLink {
public:
    CCalLink() = default;
    ~CCalLink() { Close(); }
    CCalLink(const CCalLink&) = delete;
    CCalLink& operator=(const CCalLink&) = delete;

    // FALSE when the event or the port object cannot be made.
    BOOL Create();
    // 115200 baud, 8N1; the port stays closed on failure and frames go nowhere.
    BOOL Open(int port);
    BOOL IsOpen() const { return m_port && m_port->IsOpen(); }
    // The receive thread, posting to notify.
    BOOL Start(HWND notify, BOOL takePt100, BOOL model);
    // One frame; FALSE when not all of it was written.
    BOOL Send(const BYTE* payload, DWORD length);
    // Sends 01 02 15 00 and waits (line time) for the MCU to answer it: closing the port purges
    // what the MCU has not read yet. FALSE when no answer came.
    BOOL OutputOff();
    // The latest texts.
    void Texts(CalTexts* out);
    // Joins the receive thread, then closes the port and the event. Safe to call twice.
    void Close();

private:
    static DWORD WINAPI ReceiveThread(LPVOID param);
    void Receive();

    HANDLE m_event = nullptr;
    HANDLE m_offSeen = nullptr;  // set by the receive thread at the answer to 01 02 15 00
    CUartPort* m_port = nullptr;
    HANDLE m_thread = nullptr;
    HWND m_notify = nullptr;
    BOOL m_takePt100 = FALSE;
    BOOL m_model = FALSE;
    volatile LONG m_stop = 0;
    CRITICAL_SECTION m_lock;
    bool m_lockMade = false;
    CCalReceiver m_receiver;  // the receive thread's
    CalValues m_values;       // the receive thread's
    CalTexts m_texts;         // under m_lock
};

// The tool's state: model, port, fields and focus, the running flag, and the commands of its
// buttons. The dialog shows what it says.
class CCalTool {
public:
    // Model check from the settings, the port and the fields' first texts; revision: the screen
    // board's.
    void Init(double revision);
    // The line: FALSE when there is no port object.
    BOOL Connect(HWND notify);

    BOOL Model() const { return m_model; }
    int Port() const { return m_port; }
    BOOL Pt100Enabled() const { return m_model || m_revision >= 2.25; }
    BOOL Running() const { return m_running; }
    CCalLink& Link() { return m_link; }

    void Focus(int target) { m_focus = target; }
    int Focused() const { return m_focus; }
    const WCHAR* FieldText(int target) const { return m_fields[Index(target)].Text(); }
    // A keypad key ('0'..'9', '.') into the focused field; TRUE when taken.
    BOOL Key(WCHAR c);
    void ClearField();
    // Spin positions: volt in hundredths (0..20000), amp in tenths (0..1000).
    int SpinPos(int target) const;
    // A spin turned to pos: its field shows it.
    void SpinTo(int target, int pos);

    // A button's command. refusal: the box text when a field's value cannot be sent (nothing sent).
    BOOL Command(int id, BOOL dischargeChecked, const WCHAR** refusal);
    void Timer();
    // EXIT: the output off when a run goes on, then the line closed.
    void Exit();

private:
    static int Index(int target) { return target >= CAL_VOLT && target <= CAL_NTC2 ? target - 1 : 0; }
    BOOL Send(const BYTE* payload, DWORD length) { return m_link.Send(payload, length); }
    BOOL SendWord(BYTE type, BYTE group, BYTE code, WORD value);

    BOOL m_model = FALSE;
    int m_port = 2;
    double m_revision = 0.0;
    int m_focus = CAL_NONE;
    BOOL m_running = FALSE;
    CCalField m_fields[4];
    int m_spin[2] = {10000, 1000};
    CCalLink m_link;
};

// Button ids of the dialog.
#define IDC_CAL_VOLT_TEXT 1000
#define IDC_CAL_OFFSET_V 1001
#define IDC_CAL_REF_V 1002
#define IDC_CAL_OFFSET_A 1003
#define IDC_CAL_C_REF_A 1004
#define IDC_CAL_VOLT_EDIT 1005
#define IDC_CAL_AMP_EDIT 1006
#define IDC_CAL_SAVE 1007
#define IDC_CAL_CLEAR 1008
#define IDC_CAL_D_REF_A 1009
#define IDC_CAL_VOLT_SPIN 1010
#define IDC_CAL_AMP_SPIN 1011
#define IDC_CAL_EXIT 1012
#define IDC_CAL_KEY1 1013
#define IDC_CAL_KEY0 1022
#define IDC_CAL_POINT 1023
#define IDC_CAL_CLR 1024
#define IDC_CAL_AMP_TEXT 1025
#define IDC_CAL_PT100 1026
#define IDC_CAL_CHARGE 1027
#define IDC_CAL_DISCHARGE 1028
#define IDC_CAL_STOP 1029
#define IDC_CAL_RADIO_CHARGE 1031
#define IDC_CAL_RADIO_DISCHARGE 1032
#define IDC_CAL_NTC1_EDIT 1034
#define IDC_CAL_NTC2_EDIT 1035
#define IDC_CAL_APPLY 1036
#define IDC_CAL_NTC1_TEXT 1037
#define IDC_CAL_NTC2_TEXT 1038
