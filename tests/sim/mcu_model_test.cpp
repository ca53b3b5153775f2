// The simulated MCU's power stage and battery: what the device sees over hours of charging.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <unistd.h>
#include <string>
#include <vector>

#include "sim/McuSim.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Do(sim::McuModel& m, const Bytes& request) {
    Bytes reply;
    std::string what;
    EXPECT_EQ(m.Handle(request, reply, what), sim::McuModel::Handled::Reply) << what;
    return reply;
}

void Set16(sim::McuModel& m, BYTE code, unsigned v) {
    Do(m, {0x01, 0x02, code, static_cast<BYTE>(v & 0xFF), static_cast<BYTE>(v >> 8)});
}
void Set8(sim::McuModel& m, BYTE code, BYTE v) { Do(m, {0x01, 0x02, code, v}); }

// Output on: volts and amps in hundredths, direction 1 discharge; cv holds the set voltage (flag 19
// sent as 0), else plain constant current (1).
void StartOutput(sim::McuModel& m, unsigned volts, unsigned amps, BYTE direction, bool cv) {
    Set16(m, 0x10, volts);
    Set16(m, 0x11, amps);
    Set8(m, 0x14, direction);
    Set8(m, 0x19, cv ? 0 : 1);
    Set8(m, 0x15, 1);
}

sim::McuModel Model(double soc, sim::Chemistry chem = sim::Chemistry::LeadAcid, int volts = 12, double ah = 60) {
    sim::McuConfig c;
    c.battery.stateOfCharge = soc;
    c.battery.chemistry = chem;
    c.battery.nominalVolts = volts;
    c.battery.capacityAh = ah;
    return sim::McuModel(c);
}

TEST(BatteryModel, CurvesFollowChemistryChargeAndTemperature) {
    sim::BatteryConfig c;
    c.stateOfCharge = 0.0;
    sim::BatteryModel empty(c);
    c.stateOfCharge = 1.0;
    sim::BatteryModel full(c);
    EXPECT_EQ(full.Cells(), 6);
    EXPECT_NEAR(empty.OpenCircuitVolts() / 6, 1.95, 0.03);
    EXPECT_NEAR(full.OpenCircuitVolts() / 6, 2.12, 0.03);
    EXPECT_GT(empty.ResistanceOhms(), 2 * full.ResistanceOhms());

    c.stateOfCharge = 0.5;
    sim::BatteryModel lead(c);
    for (auto chem : {sim::Chemistry::Agm, sim::Chemistry::Gel}) {
        sim::BatteryConfig other = c;
        other.chemistry = chem;
        EXPECT_GT(sim::BatteryModel(other).OpenCircuitVolts(), lead.OpenCircuitVolts()) << sim::ChemistryName(chem);
    }
    sim::BatteryConfig big = c;
    big.nominalVolts = 48;
    EXPECT_NEAR(sim::BatteryModel(big).OpenCircuitVolts(), 4 * lead.OpenCircuitVolts(), 1e-9);

    sim::BatteryModel cold(c);
    cold.SetTemperatureC(-10);
    EXPECT_GT(cold.ResistanceOhms(), 1.5 * lead.ResistanceOhms());
    EXPECT_GT(lead.TerminalVolts(10), lead.TerminalVolts(1));
    EXPECT_GT(lead.TerminalVolts(1), lead.OpenCircuitVolts());
    EXPECT_LT(lead.TerminalVolts(-10), lead.TerminalVolts(-1));
    EXPECT_LT(lead.TerminalVolts(-1), lead.OpenCircuitVolts());

    EXPECT_TRUE(sim::CheckBatteryConfig({}).empty());
    for (auto bad :
         {sim::BatteryConfig{sim::Chemistry::Gel, 13}, sim::BatteryConfig{sim::Chemistry::Gel, 4},
          sim::BatteryConfig{sim::Chemistry::Gel, 50}, sim::BatteryConfig{sim::Chemistry::Gel, 12, 0.0},
          sim::BatteryConfig{sim::Chemistry::Gel, 12, NAN}, sim::BatteryConfig{sim::Chemistry::Gel, 12, 60, 1.5},
          sim::BatteryConfig{sim::Chemistry::Gel, 12, 60, 0.5, 100}})
        EXPECT_FALSE(sim::CheckBatteryConfig(bad).empty());
    sim::Chemistry parsed;
    EXPECT_TRUE(sim::ParseChemistry("AGM", parsed));
    EXPECT_EQ(parsed, sim::Chemistry::Agm);
    EXPECT_FALSE(sim::ParseChemistry("nimh", parsed));
}

TEST(McuModel, ConstantCurrentChargeRaisesChargeAndVoltage) {
    auto m = Model(0.3);
    StartOutput(m, 1440, 600, 0, 1);
    auto first = m.Snapshot();
    m.Advance(1800);
    auto later = m.Snapshot();
    EXPECT_DOUBLE_EQ(later.outputAmps, 6.0);
    EXPECT_FALSE(later.constantVoltage);
    EXPECT_GT(later.outputVolts, first.outputVolts + 0.1);
    EXPECT_NEAR(later.stateOfCharge - 0.3, 6.0 * 1800 / 3600 / 60, 0.003);
    EXPECT_EQ(later.seconds, 1800u);

    // Paused: no current and no charge gained; resumed: back to the set current.
    Set8(m, 0x16, 0);
    m.Advance(600);
    EXPECT_EQ(m.Snapshot().outputAmps, 0.0);
    EXPECT_NEAR(m.Snapshot().stateOfCharge, later.stateOfCharge, 1e-9);
    EXPECT_EQ(m.StatusRecord()[20] & 0x02, 0x02);
    Set8(m, 0x16, 1);
    m.Advance(1);
    EXPECT_DOUBLE_EQ(m.Snapshot().outputAmps, 6.0);

    // Without the voltage ceiling a full battery is pushed above the set voltage.
    auto cc = Model(0.95);
    StartOutput(cc, 1440, 600, 0, 0);
    cc.Advance(3600);
    EXPECT_GT(cc.Snapshot().outputVolts, 14.6);
    EXPECT_DOUBLE_EQ(cc.Snapshot().outputAmps, 6.0);
}

TEST(McuModel, ConstantVoltagePhaseTapersTheCurrent) {
    auto m = Model(0.75, sim::Chemistry::Agm);
    StartOutput(m, 1440, 600, 0, 1);
    int seconds = 0;
    while (!m.Snapshot().constantVoltage && seconds < 20000) m.Advance(1), ++seconds;
    ASSERT_TRUE(m.Snapshot().constantVoltage);
    EXPECT_EQ(m.StatusRecord()[20] & 0x20, 0x20);
    double previous = m.Snapshot().outputAmps;
    double soc = m.Snapshot().stateOfCharge;
    for (int i = 0; i < 8; ++i) {
        m.Advance(900);
        auto s = m.Snapshot();
        EXPECT_NEAR(s.outputVolts, 14.40, 0.01);
        EXPECT_LT(s.outputAmps, previous);
        EXPECT_GT(s.stateOfCharge, soc);
        previous = s.outputAmps;
        soc = s.stateOfCharge;
    }
    EXPECT_LT(previous, 3.0);

    // Resting after the charge the surface charge holds the voltage up, then settles.
    Set8(m, 0x15, 0);
    m.Advance(1);
    double justStopped = m.Snapshot().outputVolts;
    EXPECT_GT(justStopped, m.Snapshot().openCircuitVolts + 0.02);
    m.Advance(3 * 3600);
    EXPECT_NEAR(m.Snapshot().outputVolts, m.Snapshot().openCircuitVolts, 0.01);
}

TEST(McuModel, DischargeHoldsTheFloorAndStopsWhenEmpty) {
    auto m = Model(0.4);
    StartOutput(m, 1050, 1200, 1, 1);
    double lowest = 100;
    int seconds = 0;
    bool reached = false;
    while (m.Snapshot().outputAmps > 0 && seconds < 40000) {
        m.Advance(10);
        seconds += 10;
        lowest = std::min(lowest, m.Snapshot().outputVolts);
        reached = reached || m.Snapshot().constantVoltage;
    }
    EXPECT_TRUE(reached);
    EXPECT_GE(lowest, 10.49);
    EXPECT_EQ(m.Snapshot().outputAmps, 0.0);
    EXPECT_LT(m.Snapshot().stateOfCharge, 0.01);

    // Plain constant current runs past the set voltage (the device ends the run there); the
    // voltage recovers once the load is off.
    auto cc = Model(0.4);
    StartOutput(cc, 1150, 1200, 1, 0);
    seconds = 0;
    while (cc.Snapshot().outputVolts > 11.50 && seconds < 40000) cc.Advance(1), ++seconds;
    ASSERT_LE(cc.Snapshot().outputVolts, 11.50);
    EXPECT_DOUBLE_EQ(cc.Snapshot().outputAmps, 12.0);
    Set8(cc, 0x15, 0);
    cc.Advance(1);
    EXPECT_GT(cc.Snapshot().outputVolts, 11.6);
}

TEST(McuModel, TemperaturesRiseWithPowerAndFallBack) {
    auto m = Model(0.9, sim::Chemistry::LeadAcid, 24, 200);
    auto start = m.Snapshot();
    StartOutput(m, 2000, 4000, 1, 1);  // 40 A into the load
    m.Advance(900);
    auto hot = m.Snapshot();
    EXPECT_GT(hot.heatsinkC, start.heatsinkC + 20);
    EXPECT_GT(hot.batteryC, start.batteryC + 0.2);
    Set8(m, 0x15, 0);
    m.Advance(1800);
    EXPECT_LT(m.Snapshot().heatsinkC, start.heatsinkC + 1);
    EXPECT_LT(m.Snapshot().batteryC, hot.batteryC);

    auto c = Model(0.2, sim::Chemistry::LeadAcid, 24, 200);
    StartOutput(c, 2880, 4000, 0, 1);  // 40 A charge
    c.Advance(1800);
    EXPECT_GT(c.Snapshot().transformerC, start.transformerC + 5);
    EXPECT_GT(c.Snapshot().batteryC, start.batteryC + 0.5);
    // Record fields in hundredths of a degree.
    auto r = c.StatusRecord();
    EXPECT_NEAR(static_cast<int16_t>(r[6] | r[7] << 8), c.Snapshot().transformerC * 100, 1);
}

TEST(McuModel, CutOffsStopTheOutputUntilAcknowledged) {
    auto m = Model(0.5);
    Set16(m, 0x12, 1300);  // 13.00 V
    StartOutput(m, 1440, 1000, 0, 1);
    m.Advance(5);
    auto r = m.StatusRecord();
    EXPECT_EQ((r[21] >> 2) & 3, 1);
    EXPECT_EQ(r[20] & 0x04, 0);
    EXPECT_EQ(m.Snapshot().outputAmps, 0.0);
    Do(m, {0x01, 0x01, 0x03, 0x02});  // the other code leaves it
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 1);
    Do(m, {0x01, 0x01, 0x03, 0x01});
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 0);

    Set16(m, 0x12, 0);
    Set16(m, 0x13, 500);  // 5.00 A
    Set8(m, 0x15, 1);
    m.Advance(1);
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 2);
    Do(m, {0x01, 0x01, 0x03, 0x02});
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 0);

    // A battery that is not there takes no current, whatever the output is told.
    m.SetConnection(sim::Connection::NotConnected);
    Set16(m, 0x13, 0);
    Set8(m, 0x15, 1);
    m.Advance(1);
    EXPECT_EQ(m.Snapshot().outputAmps, 0.0);
    EXPECT_EQ(m.StatusRecord()[0] | m.StatusRecord()[1], 0);
}

int Poll16(sim::McuModel& m, size_t offset) {
    Bytes r = Do(m, {0x02, 0x02, 0x00, 0x01});
    return static_cast<int16_t>(r[2 + offset] | r[3 + offset] << 8);
}

TEST(McuModel, ForcedConditionsHoldForTheirPollsOnly) {
    auto m = Model(0.5);
    StartOutput(m, 1440, 600, 0, 1);
    m.SetTemperatureOverride(sim::Sensor::Transformer, 120.01, 2);
    m.SetConnection(sim::Connection::NotConnected, 1);
    m.SetFrequencyCode(0, 3);
    m.SetVoltageOverride(151.0, 1);
    Bytes first = Do(m, {0x02, 0x02, 0x00, 0x01});
    EXPECT_EQ(first[8] | first[9] << 8, 12001);
    EXPECT_EQ(first[2] | first[3] << 8, 15100);
    EXPECT_EQ(first[23] & 3, 1);
    auto r = m.StatusRecord();
    EXPECT_EQ(r[21] & 3, 0);  // the disconnection lasted one poll, and the current flows again
    EXPECT_EQ(m.Snapshot().outputAmps, 6.0);
    EXPECT_EQ((r[20] >> 3) & 3, 0);
    EXPECT_LT(r[0] | r[1] << 8, 1500);
    EXPECT_EQ(Poll16(m, 6), 12001);
    EXPECT_EQ(Poll16(m, 6), 2500);
    EXPECT_EQ((m.StatusRecord()[20] >> 3) & 3, 2);

    // Until changed: only a change or ClearConditions ends them.
    m.SetConnection(sim::Connection::Reversed);
    m.SetTemperatureOverride(sim::Sensor::Battery, 61.0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Poll16(m, 4), 6100);
    EXPECT_EQ(m.StatusRecord()[21] & 3, 2);
    m.ClearConditions();
    EXPECT_EQ(m.StatusRecord()[21] & 3, 0);
    EXPECT_EQ(Poll16(m, 4), 2500);

    // A tripped cut-off behaves as the board's own.
    m.TripCutOff(2);
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 2);
    EXPECT_EQ(m.Snapshot().outputAmps, 0.0);
    Do(m, {0x01, 0x01, 0x03, 0x02});
    EXPECT_EQ((m.StatusRecord()[21] >> 2) & 3, 0);
}

TEST(McuModel, CalibrationGroupAnswersTheTool) {
    auto m = Model(0.5);
    float one = 1.0f;
    BYTE oneBytes[4];
    std::memcpy(oneBytes, &one, 4);
    Bytes read = Do(m, {0x01, 0x03, 0x07});
    ASSERT_EQ(read.size(), 16u);
    EXPECT_EQ(read[0], 0x03);
    EXPECT_EQ(read[1], 0x07);
    EXPECT_TRUE(std::equal(oneBytes, oneBytes + 4, read.begin() + 4));
    EXPECT_EQ(read[14] << 8 | read[15], 10000);  // PT100, big-endian

    EXPECT_EQ(Do(m, {0x01, 0x03, 0x01}), (Bytes{0x03, 0x01, 0x01}));
    // Reference volts: 12.40 V against what the terminals read.
    double volts = m.Snapshot().outputVolts;
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x02, 0xD8, 0x04}), (Bytes{0x03, 0x02, 0xD8, 0x04, 0x01}));
    EXPECT_NEAR(m.Snapshot().calibration.voltScale, 12.40 / volts, 1e-4);
    // No current flows, so the amp reference cannot be taken; the offsets can.
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x08, 0x10, 0x27}), (Bytes{0x03, 0x08, 0x10, 0x27, 0x00}));
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x03}), (Bytes{0x03, 0x03, 0x01}));
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x04}), (Bytes{0x03, 0x04, 0x00, 0x00, 0x01}));
    Bytes ntc = Do(m, {0x01, 0x03, 0x0B, 0x00, 0x14, 0x05});  // NTC1 = 1300
    ASSERT_EQ(ntc.size(), 12u);
    EXPECT_EQ(ntc[1], 0x0A);
    EXPECT_EQ(ntc[8] << 8 | ntc[9], 0x0514);
    EXPECT_EQ(ntc[10] << 8 | ntc[11], 1500);
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x05}), (Bytes{0x03, 0x05}));
    EXPECT_EQ(Do(m, {0x01, 0x03, 0x06}), (Bytes{0x03, 0x06}));
    EXPECT_EQ(m.Snapshot().calibration.voltScale, 1.0f);

    Bytes reply;
    std::string what;
    for (const Bytes& bad : {Bytes{0x01, 0x03, 0x02, 0x01}, Bytes{0x01, 0x03, 0x0B, 0x05, 0x00, 0x00},
                             Bytes{0x01, 0x03, 0x7F}, Bytes{0x01, 0x03}})
        EXPECT_EQ(m.Handle(bad, reply, what), sim::McuModel::Handled::Unknown);
}

// An uncalibrated board reads volts and amps off; the tool's offsets and references correct the
// record, and what 03 05 saves is where the next power-on starts.
TEST(McuModel, ConverterErrorsAreCalibratedAwayAndKeptInEeprom) {
    char dir[] = "/tmp/qrx-eeprom-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    sim::McuConfig c;
    c.battery.stateOfCharge = 0.5;
    ASSERT_TRUE(sim::ParseAdcError("0.5,1.1,0.3,0.9", c.adcError));
    for (const char* bad : {"0.5,1.1,0.3", "0.5,1.1,0.3,0.9,1", "x,1,0,1", "0,3,0,1", "60,1,0,1"}) {
        sim::AdcError e;
        EXPECT_FALSE(sim::ParseAdcError(bad, e)) << bad;
    }
    c.eepromFile = std::string(dir) + "/eeprom";
    auto volts = [](const sim::McuSnapshot& s) { return (s.record[0] | s.record[1] << 8) / 100.0; };
    auto amps = [](const sim::McuSnapshot& s) { return (s.record[2] | s.record[3] << 8) / 100.0; };
    {
        sim::McuModel m(c);
        const double v = m.Snapshot().terminalVolts;
        EXPECT_NEAR(volts(m.Snapshot()), v * 1.1 + 0.5, 0.011);
        EXPECT_NEAR(amps(m.Snapshot()), 0.3, 0.011);
        Do(m, {0x01, 0x03, 0x01});
        Do(m, {0x01, 0x03, 0x03});
        EXPECT_NEAR(volts(m.Snapshot()), v * 1.1, 0.011);
        EXPECT_EQ(amps(m.Snapshot()), 0.0);
        const WORD ref = static_cast<WORD>(std::lround(v * 100));
        EXPECT_EQ(Do(m, {0x01, 0x03, 0x02, static_cast<BYTE>(ref), static_cast<BYTE>(ref >> 8)}).back(), 1);
        EXPECT_NEAR(volts(m.Snapshot()), v, 0.011);
        // Charging at 5 A the amp reading is off by its gain until C Ref A.
        StartOutput(m, 1500, 500, 0, false);
        m.Advance(1);
        EXPECT_NEAR(amps(m.Snapshot()), 4.5, 0.011);
        EXPECT_EQ(Do(m, {0x01, 0x03, 0x08, 0xF4, 0x01}).back(), 1);
        EXPECT_NEAR(amps(m.Snapshot()), 5.0, 0.011);
        Set8(m, 0x15, 0);
        Do(m, {0x01, 0x03, 0x05});
    }
    {
        sim::McuModel m(c);  // powered on again: the saved calibration
        EXPECT_NEAR(volts(m.Snapshot()), m.Snapshot().terminalVolts, 0.011);
        EXPECT_EQ(m.Snapshot().calibration.ampOffset, 30);
        Do(m, {0x01, 0x03, 0x06});
    }
    sim::McuModel erased(c);
    EXPECT_EQ(erased.Snapshot().calibration.voltScale, 1.0f);
    EXPECT_EQ(erased.Snapshot().calibration.voltOffset, 0);
    std::remove(c.eepromFile.c_str());
    rmdir(dir);
}

}  // namespace

// The in-process MCU: frames in, frames out, one battery second per status poll, a frame cut in two
// answered once whole.
TEST(McuDirect, AnswersFramesAndAgesOneSecondPerPoll) {
    sim::McuDirect mcu;
    const Bytes poll = sim::EncodeFrame(Bytes{0x02, 0x02, 0x00, 0x01});
    const Bytes& first = mcu.Exchange(poll.data(), 3);
    EXPECT_TRUE(first.empty());
    Bytes reply = mcu.Exchange(poll.data() + 3, poll.size() - 3);
    sim::FrameDecoder d;
    sim::FrameDecoder::Result r = sim::FrameDecoder::Result::None;
    for (BYTE b : reply) r = d.Push(b);
    ASSERT_EQ(r, sim::FrameDecoder::Result::Frame);
    EXPECT_EQ(d.Payload().size(), 2 + sim::kStatusRecordSize);
    EXPECT_EQ(mcu.Model().Snapshot().seconds, 1u);
    const Bytes keepAlive = sim::EncodeFrame(Bytes{0x01, 0x01, 0x02, 0x00});
    Bytes two = keepAlive;
    two.insert(two.end(), poll.begin(), poll.end());
    EXPECT_GT(mcu.Exchange(two.data(), two.size()).size(), keepAlive.size() + 20);
    EXPECT_EQ(mcu.Model().Snapshot().seconds, 2u);
}

namespace {

// Restoration's set-up (flag 19 sent as 0) holds the set voltage: a 12 V 60 Ah battery at 20 % rises
// to 14.40 V, never above, and the current tapers through the end currents of the step kinds (kind 9
// at 0.02 C, kind 8's switch at 0.09 x the set current); kind 8's second stage (flag 19 sent as 1,
// 0.54 A) then climbs to 1.05 x 14.40 V within its hour.
TEST(McuModel, HeldVoltageTapersAndPlainCurrentClimbs) {
    auto m = Model(0.2);
    for (const Bytes& r : {Bytes{0x01, 0x02, 0x10, 0xA0, 0x05}, Bytes{0x01, 0x02, 0x11, 0x58, 0x02},
                           Bytes{0x01, 0x02, 0x14, 0x00}, Bytes{0x01, 0x02, 0x1A, 0x00}, Bytes{0x01, 0x02, 0x19, 0x00},
                           Bytes{0x01, 0x02, 0x15, 0x01}})
        Do(m, r);
    int seconds = 0, highest = 0;
    bool kind9End = false;
    while (m.Snapshot().outputAmps > 0.54 && seconds < 16 * 3600) {
        m.Advance(60);
        seconds += 60;
        auto r = m.StatusRecord();
        highest = std::max(highest, r[0] | r[1] << 8);
        kind9End = kind9End || (r[2] | r[3] << 8) <= 120;
    }
    EXPECT_EQ(highest, 1440);
    EXPECT_TRUE(kind9End);
    EXPECT_LE(m.Snapshot().outputAmps, 0.54);
    EXPECT_GT(m.Snapshot().stateOfCharge, 0.95);
    EXPECT_LT(seconds, 12 * 3600);

    Set16(m, 0x11, 54);
    Set8(m, 0x19, 1);
    seconds = 0;
    while (m.Snapshot().outputVolts < 15.12 && seconds < 3600) m.Advance(1), ++seconds;
    EXPECT_LT(seconds, 3600);
    EXPECT_DOUBLE_EQ(m.Snapshot().outputAmps, 0.54);
}

// Heat under current: a hard constant-current charge takes the battery to the 55 C pause mark, its
// voltage falling from the peak as it warms (a -dV end), and with the output off it cools back to the
// 45 C resume mark.
TEST(McuModel, HardChargeHeatsTheBatteryToThePauseAndItCools) {
    auto m = Model(0.2);
    StartOutput(m, 1440, 3000, 0, false);
    int seconds = 0, peak = 0;
    while (Poll16(m, 4) < 5500 && seconds < 4 * 3600) {
        m.Advance(60);
        seconds += 60;
        peak = std::max(peak, Poll16(m, 0));
    }
    EXPECT_GE(Poll16(m, 4), 5500);
    EXPECT_LT(Poll16(m, 0), peak - 20);
    Set8(m, 0x15, 0);
    seconds = 0;
    while (Poll16(m, 4) > 4500 && seconds < 4 * 3600) m.Advance(60), seconds += 60;
    EXPECT_LE(Poll16(m, 4), 4500);
    EXPECT_GT(seconds, 600);
}

// The heat sink reads its thermistor: the device's hot-sink test (below 19) stays clear from a cold
// ambient to a kilowatt into the load on a warm day, and holds for a hot sink or a stopped sensor.
TEST(McuModel, HeatsinkReadingFlagsOnlyAHotSink) {
    for (double ambient : {-30.0, 35.0}) {
        auto m = Model(0.9, sim::Chemistry::LeadAcid, 24, 200);
        m.SetAmbientC(ambient);
        StartOutput(m, 2000, 4000, 1, false);
        for (int i = 0; i < 3; ++i) {
            EXPECT_GE(Poll16(m, 8), 19) << ambient;
            m.Advance(1200);
        }
    }
    auto m = Model(0.5);
    EXPECT_NEAR(Poll16(m, 8), 100, 2);
    m.SetTemperatureOverride(sim::Sensor::Heatsink, 70.0);
    EXPECT_LT(Poll16(m, 8), 19);
    m.SetTemperatureOverride(sim::Sensor::Heatsink, 327.67);
    EXPECT_EQ(Poll16(m, 8), 32767);
}

}  // namespace
