// The MCU's side of the command set: what each command does to the power stage, and the
// measurement record the device polls once a second.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim/McuSim.h"

namespace sim {
namespace {

constexpr BYTE kTypeSet = 0x01;
constexpr BYTE kTypeQuery = 0x02;

// The output stage cannot push or pull the terminals beyond these, whatever it is told.
constexpr double kStageMaxVoltsPerCell = 3.0;
constexpr double kStageMinVoltsPerCell = 1.0;

// Transformer and heat sink: heat capacity (J/K) and cooling (W/K, fan included for the sink: 1 kW
// into the load keeps it about 27 K above ambient, short of the hot-sink mark below).
constexpr double kTransHeat = 4000.0, kTransCooling = 4.0;
constexpr double kSinkHeat = 6000.0, kSinkCooling = 35.0;
constexpr double kIdleWatts = 1.0;

constexpr double kNoSensorC = -100.0;

// The heat sink reports its NTC thermistor (10 kOhm at 25 C, B 3950) in hundreds of ohms: the
// reading falls as the sink warms, and the device flags a hot sink below its setting (19, about
// 68 C). An open sensor reads 32767; a held reading of 327.67 degrees stands for it.
constexpr double kSinkNtcOhms = 10000.0, kSinkNtcBeta = 3950.0, kKelvin = 273.15;
constexpr double kSinkStoppedC = 327.67;
constexpr WORD kSinkStopped = 32767;

WORD HeatsinkReading(double celsius) {
    if (celsius >= kSinkStoppedC - 0.005) return kSinkStopped;
    const double kelvin = std::max(celsius, -200.0) + kKelvin;
    const double ohms = kSinkNtcOhms * std::exp(kSinkNtcBeta * (1.0 / kelvin - 1.0 / (25.0 + kKelvin)));
    return static_cast<WORD>(std::clamp(std::round(ohms / 100.0), 0.0, 20000.0));
}

WORD U16(const std::vector<BYTE>& r, size_t at) { return static_cast<WORD>(r[at] | (r[at + 1] << 8)); }

void PutLe16(std::vector<BYTE>& out, WORD v) {
    out.push_back(static_cast<BYTE>(v & 0xFF));
    out.push_back(static_cast<BYTE>(v >> 8));
}

void PutBe16(std::vector<BYTE>& out, WORD v) {
    out.push_back(static_cast<BYTE>(v >> 8));
    out.push_back(static_cast<BYTE>(v & 0xFF));
}

void PutFloat(std::vector<BYTE>& out, float f) {
    BYTE b[4];
    std::memcpy(b, &f, 4);
    out.insert(out.end(), b, b + 4);
}

WORD Hundredths(double v) {
    double h = std::round(v * 100.0);
    if (!(h > 0)) return 0;
    return h >= 65535.0 ? 65535 : static_cast<WORD>(h);
}

SHORT SignedHundredths(double v) {
    double h = std::round(v * 100.0);
    if (!std::isfinite(h)) return 0;
    return static_cast<SHORT>(std::clamp(h, -32768.0, 32767.0));
}

std::string Named(const char* name, long long arg) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %lld", name, arg);
    return text;
}

double Relax(double t, double watts, double heat, double cooling, double ambient) {
    return t + (watts - cooling * (t - ambient)) / heat;
}

}  // namespace

McuModel::McuModel(const McuConfig& config)
    : m_battery(config.battery),
      m_firmware(config.firmware),
      m_adc(config.adcError),
      m_eepromFile(config.eepromFile),
      m_freqCode(config.mainsHz == 50   ? 1
                 : config.mainsHz == 60 ? 2
                                        : 0),
      m_ambientC(m_battery.Config().ambientC),
      m_transC(m_ambientC),
      m_sinkC(m_ambientC) {
    if (LoadEeprom()) m_cal = m_eeprom;
    Regulate();
}

bool ParseAdcError(const char* text, AdcError& out) {
    double v[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtod(p, &end);
        if (end == p || errno != 0 || !std::isfinite(v[i]) || *end != (i == 3 ? '\0' : ',')) return false;
        p = end + 1;
    }
    if (std::fabs(v[0]) > 50 || std::fabs(v[2]) > 50 || v[1] < 0.5 || v[1] > 2 || v[3] < 0.5 || v[3] > 2) return false;
    out = AdcError{v[0], v[1], v[2], v[3]};
    return true;
}

// The converters read value x gain + offset; the calibration takes its offset off and scales the rest.
double McuModel::VoltsReading() const {
    if (m_voltOverride.value) return *m_voltOverride.value;
    const double raw = m_volts * m_adc.voltGain + m_adc.voltOffset;
    return (raw - m_cal.voltOffset / 100.0) * m_cal.voltScale;
}

double McuModel::AmpsReading() const {
    const bool discharge = m_amps < 0 || (m_amps == 0.0 && m_set.direction == 1);
    const double raw = std::fabs(m_amps) * m_adc.ampGain + m_adc.ampOffset;
    if (discharge) return (raw - m_cal.dischargeAmpOffset / 100.0) * m_cal.dischargeAmpScale;
    return (raw - m_cal.ampOffset / 100.0) * m_cal.ampScale;
}

// One "name=value" line per calibration value; a file that does not read whole is no EEPROM.
bool McuModel::LoadEeprom() {
    if (m_eepromFile.empty()) return false;
    std::ifstream in(m_eepromFile);
    if (!in) return false;
    McuCalibration c;
    std::string line;
    int seen = 0;
    while (std::getline(in, line) && line.size() < 64) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = line.substr(0, eq);
        char* end = nullptr;
        const double v = std::strtod(line.c_str() + eq + 1, &end);
        if (*end != '\0' || !std::isfinite(v)) return false;
        auto i16 = [&](SHORT& to) { to = static_cast<SHORT>(std::clamp(v, -32768.0, 32767.0)); };
        auto u16 = [&](WORD& to) { to = static_cast<WORD>(std::clamp(v, 0.0, 65535.0)); };
        auto f32 = [&](float& to) { to = static_cast<float>(std::clamp(v, -1e6, 1e6)); };
        if (key == "volt-offset") i16(c.voltOffset);
        else if (key == "volt-scale") f32(c.voltScale);
        else if (key == "amp-offset") i16(c.ampOffset);
        else if (key == "amp-scale") f32(c.ampScale);
        else if (key == "discharge-amp-offset") i16(c.dischargeAmpOffset);
        else if (key == "discharge-amp-scale") f32(c.dischargeAmpScale);
        else if (key == "pt100") u16(c.pt100);
        else if (key == "ntc1") u16(c.ntc1);
        else if (key == "ntc2") u16(c.ntc2);
        else return false;
        ++seen;
    }
    if (seen != 9) return false;
    m_eeprom = c;
    return true;
}

// Written beside and renamed over, so a cut leaves the old EEPROM; empty or why it failed.
std::string McuModel::SaveEeprom(bool erase) const {
    if (m_eepromFile.empty()) return "";
    if (erase) return std::remove(m_eepromFile.c_str()) == 0 || errno == ENOENT ? "" : "cannot erase the EEPROM file";
    const McuCalibration& c = m_eeprom;
    char text[400];
    std::snprintf(text, sizeof text,
                  "volt-offset=%d\nvolt-scale=%.9g\namp-offset=%d\namp-scale=%.9g\ndischarge-amp-offset=%d\n"
                  "discharge-amp-scale=%.9g\npt100=%u\nntc1=%u\nntc2=%u\n",
                  c.voltOffset, c.voltScale, c.ampOffset, c.ampScale, c.dischargeAmpOffset, c.dischargeAmpScale,
                  c.pt100, c.ntc1, c.ntc2);
    const std::string temp = m_eepromFile + ".new";
    FILE* f = std::fopen(temp.c_str(), "we");
    if (!f) return "cannot write the EEPROM file";
    const bool written = std::fputs(text, f) >= 0;
    if (std::fclose(f) != 0 || !written || std::rename(temp.c_str(), m_eepromFile.c_str()) != 0) {
        std::remove(temp.c_str());
        return "cannot write the EEPROM file";
    }
    return "";
}

void McuModel::SetConnection(Connection c, int polls) {
    m_connection.Set(c == Connection::Connected ? std::nullopt : std::optional<Connection>(c), polls);
    Regulate();
}

void McuModel::SetFrequencyCode(int code, int polls) { m_freqOverride.Set(code & 3, polls); }

void McuModel::SetTemperatureOverride(Sensor s, std::optional<double> celsius, int polls) {
    if (celsius && !std::isfinite(*celsius)) return;
    m_override[static_cast<int>(s)].Set(celsius, polls);
}

void McuModel::SetVoltageOverride(std::optional<double> volts, int polls) {
    if (volts && !(std::isfinite(*volts) && *volts >= 0)) return;
    m_voltOverride.Set(volts, polls);
}

void McuModel::TripCutOff(int cause) {
    if (cause == 1 || cause == 2) Latch(static_cast<BYTE>(cause));
}

void McuModel::ClearConditions() {
    m_connection.Set(std::nullopt, -1);
    m_freqOverride.Set(std::nullopt, -1);
    for (auto& o : m_override) o.Set(std::nullopt, -1);
    m_voltOverride.Set(std::nullopt, -1);
    Regulate();
}

void McuModel::CountPoll() {
    bool rewired = m_connection.CountPoll();
    m_freqOverride.CountPoll();
    for (auto& o : m_override) o.CountPoll();
    m_voltOverride.CountPoll();
    if (rewired) Regulate();
}

double McuModel::Reading(Sensor s) const {
    const auto& o = m_override[static_cast<int>(s)].value;
    if (o) return *o;
    switch (s) {
        case Sensor::Battery:
            return Wiring() == Connection::NotConnected ? kNoSensorC : m_battery.TemperatureC();
        case Sensor::Transformer:
            return m_transC;
        default:
            return m_sinkC;
    }
}

// Sets this second's current: constant current at the set current, held back where the set
// voltage is a ceiling (charge) or floor (discharge). Flag 19 on the wire: 0 holds the set voltage
// (the current tapers as the battery takes less), 1 is plain constant current, bounded only by what
// the stage can drive; the step table sends 0 for its voltage-held kinds and Restoration.
void McuModel::Regulate() {
    const double limit = m_set.amps / 100.0;
    const double cells = m_battery.Cells();
    const bool holdVolts = m_set.flag19 == 0;
    bool on = m_set.output == 1 && m_set.resume != 0 && Wiring() == Connection::Connected && m_cutError == 0;
    m_amps = 0.0;
    m_cv = false;
    if (on && limit > 0) {
        if (m_set.direction == 1) {
            double floor = kStageMinVoltsPerCell * cells;
            if (holdVolts) floor = std::max(floor, m_set.volts / 100.0);
            m_amps = -m_battery.DischargeAmpsAtVolts(floor, limit);
        } else {
            double ceiling = kStageMaxVoltsPerCell * cells;
            if (holdVolts) ceiling = std::min(ceiling, m_set.volts / 100.0);
            m_amps = m_battery.ChargeAmpsAtVolts(ceiling, limit);
        }
        m_cv = std::fabs(m_amps) < limit - 1e-6;
    }
    m_volts = Wiring() == Connection::Connected ? std::max(0.0, m_battery.TerminalVolts(m_amps)) : 0.0;
    CheckCutOff();
}

// The board's own protection: beyond the cut values it switches the output off and latches the
// cause until the device acknowledges it with CmdOperation.
void McuModel::CheckCutOff() {
    if (m_amps == 0.0) return;
    BYTE cause = 0;
    if (m_set.cutVolts > 0 && Hundredths(m_volts) > m_set.cutVolts) {
        cause = 1;
    } else if (m_set.cutAmps > 0 && Hundredths(std::fabs(m_amps)) > m_set.cutAmps) {
        cause = 2;
    }
    if (cause) Latch(cause);
}

void McuModel::Latch(BYTE cause) {
    m_cutError = cause;
    m_set.output = 0;
    m_amps = 0.0;
    m_cv = false;
    m_volts = Wiring() == Connection::Connected ? std::max(0.0, m_battery.TerminalVolts(0.0)) : 0.0;
}

void McuModel::PowerLoss() {
    m_set = McuSetValues{};
    m_cal = m_eeprom;
    m_cutError = 0;
    Regulate();
}

void McuModel::Advance(int seconds) {
    for (int i = 0; i < seconds; ++i) {
        Regulate();
        const double power = std::fabs(m_volts * m_amps);
        double transWatts = kIdleWatts, sinkWatts = 0.0;
        if (m_amps > 0) {
            transWatts += 0.08 * power;
            sinkWatts += 0.06 * power;
        } else if (m_amps < 0) {
            // The electronic load burns what the battery gives in the heat sink.
            transWatts += 0.01 * power;
            sinkWatts += power;
        }
        m_battery.Step(m_amps, 1.0, m_ambientC);
        m_transC = Relax(m_transC, transWatts, kTransHeat, kTransCooling, m_ambientC);
        m_sinkC = Relax(m_sinkC, sinkWatts, kSinkHeat, kSinkCooling, m_ambientC);
        ++m_seconds;
        Regulate();
    }
}

std::array<BYTE, kStatusRecordSize> McuModel::StatusRecord() const {
    std::array<BYTE, kStatusRecordSize> r{};
    auto put = [&r](size_t at, WORD v) {
        r[at] = static_cast<BYTE>(v & 0xFF);
        r[at + 1] = static_cast<BYTE>(v >> 8);
    };
    put(0, Hundredths(VoltsReading()));
    put(2, Hundredths(AmpsReading()));
    const double battery = Reading(Sensor::Battery);
    put(4, static_cast<WORD>(SignedHundredths(battery)));
    put(6, static_cast<WORD>(SignedHundredths(Reading(Sensor::Transformer))));
    put(8, HeatsinkReading(Reading(Sensor::Heatsink)));
    const bool started = m_set.output == 1;
    const bool overLimit = m_set.tempLimit > 0 && SignedHundredths(battery) >= m_set.tempLimit;
    BYTE b20 = 0;
    if (started && m_set.direction != 1) b20 |= 0x01;
    if (m_set.resume == 0) b20 |= 0x02;
    if (started) b20 |= 0x04;
    b20 |= static_cast<BYTE>((m_freqOverride.value.value_or(m_freqCode) & 3) << 3);
    if (m_cv) b20 |= 0x20;
    if (battery > -90.0) b20 |= 0x40;
    BYTE b21 = 0;
    if (Wiring() == Connection::NotConnected) b21 |= 0x01;
    if (Wiring() == Connection::Reversed) b21 |= 0x02;
    b21 |= static_cast<BYTE>((m_cutError & 3) << 2);
    if (overLimit) b21 |= 0x10;
    r[20] = b20;
    r[21] = b21;
    return r;
}

McuSnapshot McuModel::Snapshot() const {
    McuSnapshot s;
    s.set = m_set;
    s.calibration = m_cal;
    s.outputVolts = VoltsReading();
    s.outputAmps = std::max(0.0, AmpsReading());
    s.terminalVolts = m_volts;
    s.terminalAmps = std::fabs(m_amps);
    s.delivering = m_amps != 0.0;
    s.constantVoltage = m_cv;
    s.stateOfCharge = m_battery.StateOfCharge();
    s.openCircuitVolts = m_battery.OpenCircuitVolts();
    s.batteryC = Reading(Sensor::Battery);
    s.transformerC = Reading(Sensor::Transformer);
    s.heatsinkC = Reading(Sensor::Heatsink);
    s.connection = Wiring();
    s.cutError = m_cutError;
    s.seconds = m_seconds;
    s.record = StatusRecord();
    return s;
}

McuModel::Handled McuModel::Handle(const std::vector<BYTE>& req, std::vector<BYTE>& reply, std::string& what) {
    reply.clear();
    what.clear();
    if (req.size() < 3) {
        what = "request too short";
        return Handled::Unknown;
    }
    const BYTE type = req[0], group = req[1], code = req[2];
    const size_t args = req.size() - 3;
    auto unknown = [&]() {
        char text[96];
        std::snprintf(text, sizeof text, "unknown request %02X %02X %02X (%zu argument bytes)", type, group, code,
                      args);
        what = text;
        return Handled::Unknown;
    };
    auto echo = [&]() {
        reply.assign(req.begin() + 1, req.end());
        return Handled::Reply;
    };

    if (type == kTypeQuery) {
        if (args > 1) return unknown();
        if (group == 0xFF && code == 0x01) {
            what = "GetFWVersion";
            reply = {0xFF, 0x01, m_firmware[0], m_firmware[1], m_firmware[2], m_firmware[3]};
            return Handled::Reply;
        }
        if (group == 0x02 && code == 0x00) {
            auto record = StatusRecord();
            CountPoll();
            what = "GetCurrentStatus";
            reply = {0x02, 0x00};
            reply.insert(reply.end(), record.begin(), record.end());
            return Handled::Reply;
        }
        return unknown();
    }
    if (type != kTypeSet) return unknown();

    if (group == 0x01) {
        if (args != 1) return unknown();
        switch (code) {
            case 0x01:
                m_set.bootupComplete = true;
                what = "CmdBootupComplete";
                return echo();
            case 0x02:
                ++m_set.keepAlives;
                what = "CmdKeepAlive";
                return echo();
            case 0x03:
                m_set.lastOperation = req[3];
                if (req[3] == m_cutError) m_cutError = 0;
                what = Named("CmdOperation", req[3]);
                Regulate();
                return echo();
            default:
                return unknown();
        }
    }
    if (group == 0x02) {
        switch (code) {
            case 0x10:
            case 0x11:
            case 0x12:
            case 0x13:
            case 0x18: {
                if (args != 2) return unknown();
                WORD v = U16(req, 3);
                static const char* const kNames[] = {"CmdSet10", "CmdSet11", "CmdCutVoltage", "CmdCutCurrent"};
                if (code == 0x10) m_set.volts = v;
                if (code == 0x11) m_set.amps = v;
                if (code == 0x12) m_set.cutVolts = v;
                if (code == 0x13) m_set.cutAmps = v;
                if (code == 0x18) m_set.tempLimit = static_cast<SHORT>(v);
                what = Named(code == 0x18 ? "CmdSetTempLimit" : kNames[code - 0x10], v);
                Regulate();
                return echo();
            }
            case 0x14:
            case 0x15:
            case 0x16:
            case 0x19:
            case 0x1A: {
                if (args != 1) return unknown();
                const BYTE b = req[3];
                const char* name = "";
                switch (code) {
                    case 0x14:
                        m_set.direction = b;
                        name = "CmdSet14";
                        break;
                    case 0x15:
                        m_set.output = b;
                        name = "CmdSet15";
                        break;
                    case 0x16:
                        m_set.resume = b;
                        name = "CmdSet16";
                        break;
                    case 0x19:
                        m_set.flag19 = b;
                        name = "CmdSet19";
                        break;
                    default:
                        m_set.flag1A = b;
                        name = "CmdSet1A";
                        break;
                }
                what = Named(name, b);
                Regulate();
                return echo();
            }
            default:
                return unknown();
        }
    }
    if (group == 0x03) return HandleCalibration(req, reply, what);
    if (group == 0xFF && code == 0x00 && args == 1 && req[3] == 0x02) {
        // The upgrader's jump to the boot loader; the loader, not this firmware, speaks next.
        m_set.gotoLoader = true;
        what = "GotoLoader";
        return Handled::Silent;
    }
    return unknown();
}

McuModel::Handled McuModel::HandleCalibration(const std::vector<BYTE>& req, std::vector<BYTE>& reply,
                                              std::string& what) {
    const BYTE code = req[2];
    const size_t args = req.size() - 3;
    const bool idle = m_amps == 0.0;
    auto unknown = [&]() {
        char text[96];
        std::snprintf(text, sizeof text, "unknown calibration request %02X (%zu argument bytes)", code, args);
        what = text;
        return Handled::Unknown;
    };
    reply = {0x03, code};
    switch (code) {
        case 0x01:    // volt offset: the terminals as they read now are zero
        case 0x03:    // charge amp offset, with no current flowing
        case 0x04: {  // discharge amp offset
            if (args != 0) return unknown();
            // The board shorts its inputs for an offset: what it finds is the converter's own offset.
            bool ok = code == 0x01 || idle;
            if (ok && code == 0x03) m_cal.ampOffset = SignedHundredths(m_adc.ampOffset);
            if (ok && code == 0x04) m_cal.dischargeAmpOffset = SignedHundredths(m_adc.ampOffset);
            if (ok && code == 0x01) m_cal.voltOffset = SignedHundredths(m_adc.voltOffset);
            // The calibration tool takes the result of 04 from its third data byte.
            if (code == 0x04) reply.insert(reply.end(), {0x00, 0x00});
            reply.push_back(ok ? 1 : 0);
            what = code == 0x01 ? "CalOffsetV" : code == 0x03 ? "CalOffsetA" : "CalOffsetDisA";
            return Handled::Reply;
        }
        case 0x02:    // volt reference
        case 0x08:    // charge amp reference
        case 0x09: {  // discharge amp reference
            if (args != 2) return unknown();
            const WORD ref = U16(req, 3);
            // The scale that makes the present reading (offset taken off) equal the reference.
            const double rawAmps = std::fabs(m_amps) * m_adc.ampGain + m_adc.ampOffset;
            double base = 0.0;
            float* scale = nullptr;
            if (code == 0x02 && m_volts >= 1.0) {
                base = m_volts * m_adc.voltGain + m_adc.voltOffset - m_cal.voltOffset / 100.0;
                scale = &m_cal.voltScale;
            } else if (code == 0x08 && m_amps >= 0.1) {
                base = rawAmps - m_cal.ampOffset / 100.0;
                scale = &m_cal.ampScale;
            } else if (code == 0x09 && m_amps <= -0.1) {
                base = rawAmps - m_cal.dischargeAmpOffset / 100.0;
                scale = &m_cal.dischargeAmpScale;
            }
            const bool ok = scale && ref > 0 && base >= 0.01;
            if (ok) *scale = static_cast<float>(ref / (base * 100.0));
            PutLe16(reply, ref);
            reply.push_back(ok ? 1 : 0);
            what = Named(code == 0x02 ? "CalRefV" : code == 0x08 ? "CalRefChargeA" : "CalRefDischargeA", ref);
            return Handled::Reply;
        }
        case 0x05:
            if (args != 0) return unknown();
            m_eeprom = m_cal;
            what = "CalSave";
            if (std::string why = SaveEeprom(false); !why.empty()) what += ": " + why;
            return Handled::Reply;
        case 0x06:
            if (args != 0) return unknown();
            m_cal = McuCalibration{};
            m_eeprom = m_cal;
            what = "CalClear";
            if (std::string why = SaveEeprom(true); !why.empty()) what += ": " + why;
            return Handled::Reply;
        case 0x07:
            if (args != 0) return unknown();
            PutBe16(reply, static_cast<WORD>(m_cal.voltOffset));
            PutFloat(reply, m_cal.voltScale);
            PutBe16(reply, static_cast<WORD>(m_cal.ampOffset));
            PutFloat(reply, m_cal.ampScale);
            PutBe16(reply, m_cal.pt100);
            what = "CalRead";
            return Handled::Reply;
        case 0x0B:
            // NTC values: set one channel, or only report them.
            if (args == 3) {
                const BYTE channel = req[3];
                const WORD v = U16(req, 4);
                if (channel == 0)
                    m_cal.ntc1 = v;
                else if (channel == 1)
                    m_cal.ntc2 = v;
                else
                    return unknown();
                what = Named(channel == 0 ? "CalNtc1" : "CalNtc2", v);
            } else if (args == 0) {
                what = "CalNtcRead";
            } else {
                return unknown();
            }
            reply = {0x03, 0x0A};
            PutBe16(reply, static_cast<WORD>(m_cal.dischargeAmpOffset));
            PutFloat(reply, m_cal.dischargeAmpScale);
            PutBe16(reply, m_cal.ntc1);
            PutBe16(reply, m_cal.ntc2);
            return Handled::Reply;
        case 0x10: {
            if (args != 0) return unknown();
            const double t = Reading(Sensor::Battery);
            bool ok = t > -90.0;
            if (ok) m_cal.pt100 = static_cast<WORD>(std::clamp(std::round((t + 100.0) * 100.0), 0.0, 65535.0));
            reply.push_back(ok ? 1 : 0);
            what = "CalPt100";
            return Handled::Reply;
        }
        default:
            return unknown();
    }
}

}  // namespace sim
