// Lead-acid battery of 2 V cells, coarse enough to run for days of simulated time and close enough
// that charge curves, taper and cut-offs look like the real thing on the device's graph.
#include <strings.h>

#include <algorithm>
#include <cmath>

#include "sim/McuSim.h"

namespace sim {
namespace {

struct ChemistryData {
    double ocvEmpty;      // volts per cell at rest, empty
    double ocvFull;       // volts per cell at rest, full
    double resistance;    // factor on the internal resistance
    double chargeEta;     // largest charge overpotential per cell
    double dischargeEta;  // largest discharge overpotential per cell
};

const ChemistryData& Data(Chemistry c) {
    static const ChemistryData kLead{1.95, 2.12, 1.0, 0.45, 0.30};
    static const ChemistryData kAgm{1.97, 2.14, 0.7, 0.45, 0.28};
    static const ChemistryData kGel{1.98, 2.14, 1.3, 0.46, 0.32};
    switch (c) {
        case Chemistry::Agm:
            return kAgm;
        case Chemistry::Gel:
            return kGel;
        default:
            return kLead;
    }
}

constexpr double kMinCapacity = 1.0;
constexpr double kMaxCapacity = 3000.0;
constexpr double kMinAmbient = -30.0;
constexpr double kMaxAmbient = 60.0;
constexpr double kSurfaceTau = 900.0;       // seconds for the surface charge to settle
constexpr double kThermalTau = 3 * 3600.0;  // seconds for the battery to fall back to ambient
constexpr double kHeatPerAhCell = 40.0;     // J/K per ampere-hour and cell (about 0.05 kg of battery)

// Charge acceptance, as a fraction of the capacity per hour that raises the overpotential halfway:
// falling with the charge still missing, and steeply over the last per cent, down to a floor for
// gassing on a full battery. So a constant 2.4 V per cell tapers the current over hours, and a small
// constant current on a nearly full battery climbs well above that within the hour.
constexpr double kAcceptFloor = 0.0005;
constexpr double kAcceptSlope = 0.3;
constexpr double kAcceptTail = 0.01;
constexpr double kAcceptKnee = 0.005;
// Charge efficiency falls the same way: near full the current goes into gassing and heat.
constexpr double kEfficiency = 0.98;
constexpr double kGassingKnee = 0.001;

double Clamp(double v, double lo, double hi) {
    if (!std::isfinite(v)) return lo;
    return std::min(hi, std::max(lo, v));
}

// Solves f(x) = target for a monotone f over [0, hi].
template <class F>
double Bisect(F f, double hi, bool increasing, double target) {
    double lo = 0.0;
    for (int i = 0; i < 60; ++i) {
        double mid = (lo + hi) / 2;
        bool below = increasing ? f(mid) <= target : f(mid) >= target;
        (below ? lo : hi) = mid;
    }
    return lo;
}

}  // namespace

bool ParseChemistry(const char* text, Chemistry& out) {
    if (!text) return false;
    if (!strcasecmp(text, "lead") || !strcasecmp(text, "lead-acid") || !strcasecmp(text, "flooded")) {
        out = Chemistry::LeadAcid;
    } else if (!strcasecmp(text, "agm")) {
        out = Chemistry::Agm;
    } else if (!strcasecmp(text, "gel")) {
        out = Chemistry::Gel;
    } else {
        return false;
    }
    return true;
}

const char* ChemistryName(Chemistry c) {
    switch (c) {
        case Chemistry::Agm:
            return "agm";
        case Chemistry::Gel:
            return "gel";
        default:
            return "lead-acid";
    }
}

std::string CheckBatteryConfig(const BatteryConfig& c) {
    if (c.nominalVolts < 6 || c.nominalVolts > 48 || c.nominalVolts % 2 != 0)
        return "nominal voltage must be 6 to 48 V in steps of 2 V";
    if (!std::isfinite(c.capacityAh) || c.capacityAh < kMinCapacity || c.capacityAh > kMaxCapacity)
        return "capacity must be 1 to 3000 Ah";
    if (!std::isfinite(c.stateOfCharge) || c.stateOfCharge < 0.0 || c.stateOfCharge > 1.0)
        return "state of charge must be 0 to 100 %";
    if (!std::isfinite(c.ambientC) || c.ambientC < kMinAmbient || c.ambientC > kMaxAmbient)
        return "ambient temperature must be -30 to 60 degrees";
    return {};
}

BatteryModel::BatteryModel(const BatteryConfig& config) : m_config(config) {
    int volts = std::clamp(config.nominalVolts, 6, 48);
    m_cells = volts / 2;
    m_config.nominalVolts = m_cells * 2;
    m_config.capacityAh = Clamp(config.capacityAh, kMinCapacity, kMaxCapacity);
    m_config.ambientC = Clamp(config.ambientC, kMinAmbient, kMaxAmbient);
    m_soc = Clamp(config.stateOfCharge, 0.0, 1.0);
    m_config.stateOfCharge = m_soc;
    m_tempC = m_config.ambientC;
}

void BatteryModel::SetStateOfCharge(double soc) { m_soc = Clamp(soc, 0.0, 1.0); }

double BatteryModel::OpenCircuitVolts() const {
    const ChemistryData& d = Data(m_config.chemistry);
    return m_cells * (d.ocvEmpty + (d.ocvFull - d.ocvEmpty) * m_soc);
}

double BatteryModel::ResistanceOhms() const {
    const ChemistryData& d = Data(m_config.chemistry);
    double perCell = 0.06 / m_config.capacityAh * d.resistance;
    const double u = 1.0 - m_soc;
    double empty = 1.0 + 3.0 * u * u * u;
    double cold = 1.0 + 0.025 * std::max(0.0, 25.0 - std::max(m_tempC, -40.0));
    return m_cells * perCell * empty * cold;
}

double BatteryModel::Overpotential(double amps) const {
    const ChemistryData& d = Data(m_config.chemistry);
    double cold = 1.0 + 0.01 * std::max(0.0, 25.0 - std::max(m_tempC, -40.0));
    double c = m_config.capacityAh;
    if (amps > 0) {
        // Charge acceptance falls as the plates fill, so the same current needs more voltage.
        const double u = 1.0 - m_soc;
        double x = amps / (c * (kAcceptFloor + kAcceptSlope * u + kAcceptTail * u / (u + kAcceptKnee)));
        // A warm battery gasses at a lower voltage (about -4 mV per kelvin and cell near full), so
        // an overcharge that heats it shows a falling voltage.
        const double gassing = 1.0 + 0.01 * (25.0 - std::clamp(m_tempC, -40.0, 75.0));
        return m_cells * d.chargeEta * gassing * x / (1.0 + x);
    }
    if (amps < 0) {
        double y = -amps / (c * (m_soc + 0.005));
        return -m_cells * d.dischargeEta * cold * y / (1.0 + y);
    }
    return 0.0;
}

double BatteryModel::TerminalVolts(double amps) const {
    return OpenCircuitVolts() + m_surface + amps * ResistanceOhms() + Overpotential(amps);
}

double BatteryModel::ChargeAmpsAtVolts(double volts, double limit) const {
    if (!(limit > 0)) return 0.0;
    if (TerminalVolts(limit) <= volts) return limit;
    if (TerminalVolts(0.0) >= volts) return 0.0;
    return Bisect([this](double a) { return TerminalVolts(a); }, limit, true, volts);
}

double BatteryModel::DischargeAmpsAtVolts(double volts, double limit) const {
    if (!(limit > 0) || m_soc <= 0.0) return 0.0;
    if (TerminalVolts(-limit) >= volts) return limit;
    if (TerminalVolts(0.0) <= volts) return 0.0;
    return Bisect([this](double a) { return TerminalVolts(-a); }, limit, false, volts);
}

double BatteryModel::HeatWatts(double amps) const {
    return amps * amps * ResistanceOhms() + std::fabs(amps * Overpotential(amps));
}

void BatteryModel::Step(double amps, double seconds, double ambientC) {
    if (!std::isfinite(amps) || !std::isfinite(seconds) || seconds <= 0) return;
    ambientC = Clamp(ambientC, kMinAmbient, kMaxAmbient);
    const double c = m_config.capacityAh;
    const double heatCapacity = kHeatPerAhCell * c * m_cells;
    const double conductance = heatCapacity / kThermalTau;
    while (seconds > 0) {
        double dt = std::min(seconds, 1.0);
        seconds -= dt;
        if (amps < 0 && m_soc <= 0.0) amps = 0.0;
        double heat = HeatWatts(amps);
        if (amps > 0) {
            // Near full most of the current goes into gassing rather than into the plates.
            const double u = 1.0 - m_soc;
            double efficiency = kEfficiency * u / (u + kGassingKnee);
            m_soc += amps * dt / 3600.0 / c * efficiency;
        } else {
            m_soc += amps * dt / 3600.0 / c;
        }
        m_soc = Clamp(m_soc, 0.0, 1.0);
        double target = m_cells * 0.04 * std::tanh(amps / (0.1 * c));
        m_surface += (target - m_surface) * dt / kSurfaceTau;
        m_tempC += dt * (heat - conductance * (m_tempC - ambientC)) / heatCapacity;
    }
}

}  // namespace sim
