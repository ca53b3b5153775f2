// The calibration tool without its dialog: fields, the reply state machine and texts, and the line
// to a simulated MCU.
#include <windows.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "app/McuFrame.h"
#include "sim/McuSim.h"
#include "trimset/CalCore.h"

namespace {

using Bytes = std::vector<BYTE>;

std::u16string Typed(CCalField& f, const char* keys) {
    for (const char* k = keys; *k; ++k) f.Key(static_cast<WCHAR>(*k));
    return f.Text();
}

TEST(TrimsetTest, FieldsTakeOnlySoundDecimals) {
    CCalField f;
    f.Init(FALSE, u"");
    EXPECT_EQ(Typed(f, ".0.12.3"), u"12.3");  // "." and "0" first refused, a second "." too
    EXPECT_EQ(Typed(f, "4567890"), u"12.3456789");
    EXPECT_FALSE(f.Key(u'1'));  // an 11th
    EXPECT_EQ(f.Count(), 10);
    f.Clear();
    f.Init(TRUE, u"1300");
    EXPECT_EQ(Typed(f, ".5"), u"13005");
    f.Clear();
    EXPECT_EQ(Typed(f, "07"), u"7");

    WORD v = 0;
    struct Case { const char16_t* text; bool ok; WORD value; };
    for (const Case& c : {Case{u"2.3", true, 230}, Case{u"12.345", true, 1234}, Case{u"655.35", true, 65535},
                          Case{u"655.36", false, 0}, Case{u"700", false, 0}, Case{u"99999999999", false, 0},
                          Case{u"1.2.3", false, 0}, Case{u"", true, 0}}) {
        v = 7;
        EXPECT_EQ(CalHundredths(c.text, &v) != 0, c.ok) << QrxToUtf8(c.text);
        if (c.ok) {
            EXPECT_EQ(v, c.value) << QrxToUtf8(c.text);
        }
    }
    EXPECT_FALSE(CalWholeNumber(u"70000", &v));
    EXPECT_TRUE(CalWholeNumber(u"65535", &v));
    EXPECT_EQ(v, 65535);
}

class TrimsetRootTest : public DeviceRootTest {};

// Spins count hundredths of a volt and tenths of an ampere, start at their fields and follow keys.
TEST_F(TrimsetRootTest, SpinsFollowTheirFields) {
    CCalTool tool;
    tool.Init(2.3);
    EXPECT_EQ(tool.SpinPos(CAL_VOLT), 10000);
    EXPECT_EQ(tool.SpinPos(CAL_AMP), 1000);
    tool.Focus(CAL_AMP);
    tool.ClearField();
    for (char16_t k : u"12.5") if (k) tool.Key(k);
    EXPECT_EQ(tool.SpinPos(CAL_AMP), 125);
    tool.SpinTo(CAL_AMP, 126);
    EXPECT_EQ(std::u16string(tool.FieldText(CAL_AMP)), u"12.6");
    tool.SpinTo(CAL_VOLT, 1405);
    EXPECT_EQ(std::u16string(tool.FieldText(CAL_VOLT)), u"14.05");
    tool.Focus(CAL_NONE);
    EXPECT_FALSE(tool.Key(u'1'));
}

// A settings file of 986 bytes with its sum; `off` spoils the sum.
void Settings(TempDeviceRoot& root, const std::u16string& model, int off = 0) {
    std::string data(986, '\0');
    for (size_t i = 0; i < model.size(); ++i) data[128 + 2 * i] = static_cast<char>(model[i]);
    unsigned sum = off;
    for (int i = 0; i < 984; ++i) sum += static_cast<unsigned char>(data[i]);
    data[984] = static_cast<char>(sum & 0xFF);
    data[985] = static_cast<char>((sum >> 8) & 0xFF);
    root.WriteFile("NAND Flash/System/Setting.bin", data);
}

TEST_F(TrimsetRootTest, ModelCheckPicksPortAndFields) {
    CCalTool tool;
    Settings(root, u"Z-330X");
    tool.Init(1.0);
    EXPECT_TRUE(tool.Model());
    EXPECT_EQ(tool.Port(), 6);
    EXPECT_EQ(std::u16string(tool.FieldText(CAL_VOLT)), u"30.0");
    EXPECT_EQ(std::u16string(tool.FieldText(CAL_NTC2)), u"1500");
    EXPECT_EQ(tool.SpinPos(CAL_VOLT), 3000);
    EXPECT_EQ(tool.SpinPos(CAL_AMP), 300);
    EXPECT_TRUE(tool.Pt100Enabled());
    Settings(root, u"Z-330X", 1);
    tool.Init(2.2);
    EXPECT_FALSE(tool.Model());
    EXPECT_EQ(tool.Port(), 2);
    EXPECT_FALSE(tool.Pt100Enabled());
}

Bytes Frame(const Bytes& payload) {
    BYTE out[MCU_FRAME_MAX(64)];
    DWORD n = McuEncodeFrame(payload.data(), static_cast<DWORD>(payload.size()), out, sizeof out);
    return Bytes(out, out + n);
}

// Every frame the receiver takes from the bytes, as payloads with their checksum.
std::vector<Bytes> Receive(CCalReceiver& r, const Bytes& bytes) {
    std::vector<Bytes> frames;
    for (BYTE b : bytes)
        if (r.Push(b)) frames.emplace_back(r.Frame(), r.Frame() + r.Length());
    return frames;
}

TEST(TrimsetTest, ReceiverCutsOnlyWholeSoundFrames) {
    CCalReceiver r;
    auto frames = Receive(r, Frame({0x03, 0x05}));
    ASSERT_EQ(frames.size(), 1u);
    CalValues values;
    CalTexts texts;
    WPARAM w = 9;
    EXPECT_EQ(CalHandleReply(frames[0].data(), 3, TRUE, FALSE, values, texts, &w), WM_CAL_EEPROM_WRITTEN);

    Bytes bad = Frame({0x03, 0x05});
    bad[2] ^= 1;
    EXPECT_TRUE(Receive(r, bad).empty());
    // A start inside a frame restarts it; an escaped 0x85 comes back whole.
    Bytes restart{0x81, 0x03, 0x07};
    Bytes esc = Frame({0x03, 0x01, 0x85});
    EXPECT_EQ(esc[3], 0x80);
    restart.insert(restart.end(), esc.begin(), esc.end());
    frames = Receive(r, restart);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][2], 0x85);
    EXPECT_EQ(CalHandleReply(frames[0].data(), 4, TRUE, FALSE, values, texts, &w), WM_CAL_VOLT_OFFSET);
    EXPECT_EQ(w, 0x85u);
    // Framing wins over an escape: 80 82 ends the frame, which is dropped, and 80 81 starts one.
    EXPECT_TRUE(Receive(r, {0x81, 0x03, 0x05, 0xF5, 0x80, 0x82}).empty());
    Bytes resync{0x81, 0x03, 0x80};
    Bytes good = Frame({0x03, 0x06});
    resync.insert(resync.end(), good.begin(), good.end());
    EXPECT_EQ(Receive(r, resync).size(), 1u);
    // Over 1023 bytes: dropped up to the next start.
    Bytes flood{0x81};
    flood.insert(flood.end(), 1100, 0x11);
    flood.push_back(0x82);
    EXPECT_TRUE(Receive(r, flood).empty());
    EXPECT_EQ(Receive(r, good).size(), 1u);
}

Bytes CalRead(SHORT voff, float vscale, SHORT aoff, float ascale, WORD pt100, size_t cut = 0) {
    Bytes p{0x03, 0x07, static_cast<BYTE>(voff >> 8), static_cast<BYTE>(voff)};
    BYTE f[4];
    std::memcpy(f, &vscale, 4);
    p.insert(p.end(), f, f + 4);
    p.insert(p.end(), {static_cast<BYTE>(aoff >> 8), static_cast<BYTE>(aoff)});
    std::memcpy(f, &ascale, 4);
    p.insert(p.end(), f, f + 4);
    p.insert(p.end(), {static_cast<BYTE>(pt100 >> 8), static_cast<BYTE>(pt100)});
    p.resize(p.size() - cut);
    return p;
}

// Replies into texts: lengths checked, PT100 only where the board has it, wild floats bounded.
TEST(TrimsetTest, RepliesBecomeBoundedTexts) {
    CalValues v;
    CalTexts t;
    WPARAM w = 0;
    auto handle = [&](Bytes p, BOOL pt100, BOOL model = FALSE) {
        p.push_back(McuChecksum(p.data(), static_cast<DWORD>(p.size())));
        return CalHandleReply(p.data(), static_cast<DWORD>(p.size()), pt100, model, v, t, &w);
    };
    EXPECT_EQ(handle(CalRead(-12, 1.5f, 3, 0.25f, 10400), TRUE), WM_CAL_VALUES);
    EXPECT_EQ(std::u16string(t.volt), u"Volt Offset : -12, ScaleF : 1.500000\r\nPT100 : 10400");
    EXPECT_EQ(std::u16string(t.amp), u"Amp Offset : 3, ScaleF : 0.25");
    // Revision 2.2: PT100 keeps its value; 12 data bytes are enough then, 11 never.
    EXPECT_EQ(handle(CalRead(1, 1.0f, 3, 0.25f, 9999, 2), FALSE), WM_CAL_VALUES);
    EXPECT_NE(std::u16string(t.volt).find(u"PT100 : 10400"), std::u16string::npos);
    EXPECT_EQ(handle(CalRead(5, 1.0f, 3, 0.25f, 0, 2), TRUE), 0u);
    EXPECT_EQ(handle(CalRead(5, 1.0f, 3, 0.25f, 0, 3), FALSE), 0u);
    EXPECT_EQ(handle({0x03, 0x02, 0x00, 0x01}, TRUE), 0u);
    EXPECT_EQ(handle({0x03, 0x04, 0x00, 0x00, 0x01}, TRUE), WM_CAL_AMP_SCALE);
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(handle({0x02, 0x00, 0x01, 0x02, 0x03}, TRUE), 0u);  // the run poll's reply

    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(handle(CalRead(0, 1e38f, 0, nan, 0), TRUE), WM_CAL_VALUES);
    EXPECT_EQ(std::u16string(t.volt), u"Volt Offset : 0, ScaleF : ---\r\nPT100 : 0");
    Bytes ntc{0x03, 0x0A, 0xFF, 0xFE};
    BYTE f[4];
    const float inf = std::numeric_limits<float>::infinity();
    std::memcpy(f, &inf, 4);
    ntc.insert(ntc.end(), f, f + 4);
    ntc.insert(ntc.end(), {0xFF, 0xFF, 0x05, 0xDC});
    EXPECT_EQ(handle(ntc, FALSE, TRUE), WM_CAL_VALUES);
    EXPECT_EQ(std::u16string(t.ntc1), u"65535");
    EXPECT_EQ(std::u16string(t.ntc2), u"1500");
    EXPECT_EQ(std::u16string(t.amp), u"Amp Offset : 0, ScaleF : ---\r\nDisA Offset : -2, ScaleF : ---\r\n");
    ntc.resize(ntc.size() - 1);
    EXPECT_EQ(handle(ntc, FALSE, TRUE), 0u);
}

TEST(TrimsetTest, RunStartBytes) {
    BYTE p[6][5];
    DWORD n[6];
    auto rows = [&]() {
        std::vector<Bytes> r;
        for (int i = 0; i < 6; ++i) r.emplace_back(p[i], p[i] + n[i]);
        return r;
    };
    CalRunStart(TRUE, 2, 1440, 500, p, n);
    EXPECT_EQ(rows(), (std::vector<Bytes>{{1, 2, 0x10, 0xA0, 0x05}, {1, 2, 0x11, 0xF4, 0x01}, {1, 2, 0x14, 0},
                                          {1, 2, 0x1A, 0}, {1, 2, 0x19, 0}, {1, 2, 0x15, 1}}));
    CalRunStart(TRUE, 6, 1440, 500, p, n);
    EXPECT_EQ(rows()[3], (Bytes{1, 2, 0x1A, 1}));
    for (int port : {2, 6}) {
        CalRunStart(FALSE, port, 1440, 500, p, n);
        EXPECT_EQ(rows(), (std::vector<Bytes>{{1, 2, 0x10, 200, 0}, {1, 2, 0x11, 0xF4, 0x01}, {1, 2, 0x14, 1},
                                              {1, 2, 0x1A, 1}, {1, 2, 0x19, 1}, {1, 2, 0x15, 1}}));
    }
}

// Messages the receive thread posts, gathered on the test's thread.
std::vector<MSG> g_posted;
LRESULT CALLBACK Record(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg >= WM_CAL_EEPROM_WRITTEN && msg <= WM_CAL_VALUES) g_posted.push_back(MSG{h, msg, w, l, 0, {}});
    return DefWindowProcW(h, msg, w, l);
}

class TrimsetLineTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Record;
        wc.lpszClassName = u"CAL_TEST";
        RegisterClassW(&wc);
        hwnd = CreateWindowExW(0, u"CAL_TEST", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        g_posted.clear();
    }
    void TearDown() override { DestroyWindow(hwnd); }
    void Start(int port) {
        sim::McuSimConfig c;
        c.port = port;
        mcu = std::make_unique<sim::McuSim>(c);
        ASSERT_TRUE(mcu->Start()) << mcu->Error();
    }
    // Pumps the test thread's queue until a message of that id arrived.
    bool WaitPosted(UINT msg) {
        return bounded::WaitUntil([&] {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            for (const MSG& p : g_posted)
                if (p.message == msg) return true;
            return false;
        });
    }
    std::vector<Bytes> Requests() {
        std::vector<Bytes> r;
        for (const auto& e : mcu->Log()) r.push_back(e.request);
        return r;
    }
    HWND hwnd = nullptr;
    std::unique_ptr<sim::McuSim> mcu;
};

TEST_F(TrimsetLineTest, ReadsRunsStopsAndExitsOnTheLine) {
    Start(2);
    CCalTool tool;
    tool.Init(2.3);
    ASSERT_TRUE(tool.Connect(hwnd));
    ASSERT_TRUE(tool.Link().IsOpen());
    tool.Timer();
    ASSERT_TRUE(WaitPosted(WM_CAL_VALUES));
    CalTexts t;
    tool.Link().Texts(&t);
    EXPECT_EQ(std::u16string(t.volt), u"Volt Offset : 0, ScaleF : 1.000000\r\nPT100 : 10000");
    const WCHAR* refusal = nullptr;
    EXPECT_TRUE(tool.Command(IDC_CAL_SAVE, FALSE, &refusal));
    ASSERT_TRUE(WaitPosted(WM_CAL_EEPROM_WRITTEN));

    tool.Focus(CAL_VOLT);
    tool.ClearField();
    for (char16_t k : u"700") if (k) tool.Key(k);
    EXPECT_FALSE(tool.Command(IDC_CAL_REF_V, FALSE, &refusal));
    EXPECT_NE(refusal, nullptr);
    tool.ClearField();
    for (char16_t k : u"14.4") if (k) tool.Key(k);
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(tool.Command(IDC_CAL_CHARGE, FALSE, &refusal));
    EXPECT_GE(GetTickCount() - t0, 6u * CAL_RUN_GAP_MS);  // a pause after each frame
    EXPECT_TRUE(tool.Running());
    tool.Timer();
    EXPECT_TRUE(tool.Command(IDC_CAL_STOP, FALSE, &refusal));
    tool.Timer();  // values are read again after STOP
    EXPECT_TRUE(tool.Command(IDC_CAL_DISCHARGE, FALSE, &refusal));
    tool.Exit();  // the output goes off before the port is handed back
    ASSERT_TRUE(mcu->WaitForLog(19, bounded::Scaled()));

    std::vector<Bytes> r;
    std::vector<DWORD> ticks;
    for (const auto& e : mcu->Log()) {
        if (e.request.empty()) continue;
        r.push_back(e.request);
        ticks.push_back(e.tick);
    }
    ASSERT_EQ(r.size(), 18u);
    EXPECT_EQ(r[2], (Bytes{1, 2, 0x10, 0xA0, 0x05}));
    EXPECT_EQ(r[7], (Bytes{1, 2, 0x15, 1}));
    EXPECT_GT(ticks[7] - ticks[2], 0u);
    EXPECT_EQ(r[8], (Bytes{2, 2, 0}));
    EXPECT_EQ(r[9], (Bytes{1, 2, 0x15, 0}));
    EXPECT_EQ(r[10], (Bytes{1, 3, 7}));
    EXPECT_EQ(r[11], (Bytes{1, 2, 0x10, 200, 0}));
    EXPECT_EQ(r[17], (Bytes{1, 2, 0x15, 0}));
    EXPECT_EQ(mcu->Snapshot().set.output, 0);
}

}  // namespace
