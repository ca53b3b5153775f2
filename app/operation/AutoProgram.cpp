#include "app/AutoProgram.h"

#include <algorithm>
#include <cstring>

namespace {

struct Inputs {
    ModelLimits limits;
    double cells;
    double c;
};

// Out-of-range facts are pulled into the page's bounds so no rule divides by zero.
Inputs Prepare(int modelIndex, int capacity, int voltage) {
    Inputs in;
    in.limits = GetModelLimits(modelIndex);
    in.cells = static_cast<double>(std::clamp(voltage, AUTO_VOLTAGE_MIN, AUTO_VOLTAGE_MAX) / 2);
    in.c = static_cast<double>(std::clamp(capacity, AUTO_CAPACITY_MIN, AUTO_CAPACITY_MAX));
    return in;
}

void SetStep(AutoProgram& p, int i, double volts, double amps, int hours, int kind, bool discharge) {
    p.dVoltage[i] = volts;
    p.dCurrent[i] = amps;
    p.nHours[i] = hours;
    p.byKind[i] = static_cast<BYTE>(kind);
    p.byDischarge[i] = discharge ? 1 : 0;
}

void ClampVoltages(AutoProgram& p, double vmax) {
    for (double& v : p.dVoltage) v = std::min(v, vmax);
}

int Whole(double value) { return static_cast<int>(value); }

}  // namespace

ModelLimits GetModelLimits(int modelIndex) {
    switch (modelIndex) {
    case MODEL_QRX3305L: return {50.0, 120.0};
    case MODEL_QRX3307M: return {100.0, 150.0};
    case MODEL_Z330: return {30.0, 30.0};
    default: return {30.0, 110.0};
    }
}

int AutoVoltageMax(int modelIndex) {
    return modelIndex == MODEL_Z330 ? AUTO_VOLTAGE_MAX_Z330 : AUTO_VOLTAGE_MAX;
}

AutoProgram ComputeAutoProgramStd(int modelIndex, int type, BOOL unitConnected, int capacity, int voltage, int rate) {
    const Inputs in = Prepare(modelIndex, capacity, voltage);
    const double c = in.c, imax = in.limits.dMaxCurrent;
    const double tenth = 1.1 * c / 10;
    const double a2 = std::min(tenth <= 100 ? tenth : 100.0, imax);
    const double a3 = std::min(1.1 * c / 20 <= 100 ? 1.1 * c / 20 : 88.0, imax);
    const double r = tenth < 100 ? tenth : 100.0;
    const int hc = Whole(0.88 * c / r + 0.5);
    double idis;
    int hdis;
    if (unitConnected) {
        if (rate == 0) {
            hdis = 5;
            idis = c / 5 <= AUTO_UNIT_CURRENT ? c / 5 : c / 10;
        } else if (rate == 1) {
            hdis = 6;
            idis = c / 6 <= AUTO_UNIT_CURRENT ? c / 6 : c / 10;
        } else {
            hdis = 10;
            idis = c / 10;
        }
    } else {
        const bool small = c < 501;
        if (rate == 0) {
            idis = small ? c / 5 : tenth;
            hdis = small ? 5 : 10;
        } else if (rate == 1) {
            idis = small ? c / 6 : tenth;
            hdis = small ? 6 : 10;
        } else {
            idis = small ? c / 10 : tenth;
            hdis = 10;
        }
        idis = std::min(idis, imax);
    }
    const double v1 = in.cells * 1.7;
    const double v2 = in.cells * (type == AUTO_TYPE_LEAD ? 2.4 : 2.35);
    const double v3 = in.cells * (type == AUTO_TYPE_LEAD ? 2.65 : 2.42);
    AutoProgram p;
    std::memset(&p, 0, sizeof(p));
    SetStep(p, 0, v1, idis, hdis, 1, true);
    SetStep(p, 1, v2, a2, hc, 1, false);
    SetStep(p, 2, v3, a3, hc, 2, false);
    SetStep(p, 3, v1, idis, hdis, 1, true);
    SetStep(p, 4, v2, a2, hc, 1, false);
    SetStep(p, 5, v3, a3, tenth <= 150 ? 8 : 10, 2, false);
    ClampVoltages(p, in.limits.dMaxVoltage);
    return p;
}

AutoProgram ComputeAutoProgramAlt(int modelIndex, int type, BOOL unitConnected, int capacity, int voltage, int rate) {
    const Inputs in = Prepare(modelIndex, capacity, voltage);
    const double c = in.c, imax = in.limits.dMaxCurrent;
    const double id = unitConnected ? AUTO_UNIT_CURRENT : imax;
    const bool r0 = rate == 0;
    const bool lead = type == AUTO_TYPE_LEAD;

    double idis;
    int hdis;
    if (r0) {
        if (c / 6 <= id) {
            idis = c / 6;
            hdis = 7;
        } else if (1.1 * c / 10 <= id) {
            idis = 1.1 * c / 10;
            hdis = 11;
        } else {
            idis = id;
            hdis = Whole(1.1 * c / id + 2.5);
        }
    } else if (0.9 * c / 10 <= id) {
        idis = 0.9 * c / 10;
        hdis = 11;
    } else {
        idis = id;
        hdis = Whole(c / id + 1.5);
    }

    const double a2 = r0 ? c / 100 * (lead ? 20.0 : 16.3) : 0.13 * c;
    const double a2Amps = a2 <= imax ? a2 : imax;
    const int h2 = a2 <= imax ? 10 : Whole((r0 ? 1.1 : 0.9) * c / imax + 2.5);
    const double a3 = std::min(r0 ? 0.035 * c : 0.0315 * c, imax);
    const double a4 = r0 ? 0.05 * c : 0.045 * c;
    const double a4Amps = a4 <= imax ? a4 : imax;
    const int h4 = a4 <= imax ? 8 : Whole((r0 ? 1.1 : 0.9) * c / imax + 1.5);

    const double v1 = in.cells * (lead ? 1.7 : 1.75);
    const double v2 = in.cells * (lead ? 2.5 : 2.33);
    AutoProgram p;
    std::memset(&p, 0, sizeof(p));
    SetStep(p, 0, v1, idis, hdis, 1, true);
    SetStep(p, 1, v2, a2Amps, h2, 7, false);
    SetStep(p, 2, in.cells * (lead ? 2.6 : 2.325), a3, 4, lead ? 4 : 3, false);
    SetStep(p, 3, in.cells * (lead ? 2.6 : 2.4), a4Amps, h4, 2, false);
    SetStep(p, 4, v1, idis, hdis, 1, true);
    SetStep(p, 5, v2, a2Amps, h2, 7, false);
    ClampVoltages(p, in.limits.dMaxVoltage);
    return p;
}

void ComputeAutoSteps(const AutoRecord& record, int modelIndex, DWORD logoIndex, BOOL unitConnected,
                      ProgramStep steps[6]) {
    const int capacity = static_cast<int>(std::min<DWORD>(record.dwCapacity, AUTO_CAPACITY_MAX));
    const int voltage = static_cast<int>(std::min<DWORD>(record.dwVoltage, AUTO_VOLTAGE_MAX));
    const int type = record.dwType == AUTO_TYPE_AGM ? AUTO_TYPE_AGM : AUTO_TYPE_LEAD;
    AutoProgram p;
    if (logoIndex == AUTO_ALT_LOGO) {
        p = ComputeAutoProgramAlt(modelIndex, type, unitConnected, capacity, voltage,
                                  record.dwRate == AUTO_RATE_C6 ? 0 : 1);
    } else {
        const int rate = record.dwRate == AUTO_RATE_C5 ? 0 : record.dwRate == AUTO_RATE_C6 ? 1 : 2;
        p = ComputeAutoProgramStd(modelIndex, type, unitConnected, capacity, voltage, rate);
    }
    std::memset(steps, 0, sizeof(ProgramStep) * 6);
    for (int i = 0; i < 6; ++i) {
        steps[i].dwEnable = 1;
        steps[i].dVoltage = p.dVoltage[i];
        steps[i].dCurrent = p.dCurrent[i];
        steps[i].dwTime = static_cast<DWORD>(p.nHours[i]) * 3600u;
        steps[i].dwDirection = p.byDischarge[i];
        steps[i].byKind = p.byKind[i];
    }
}

DWORD NextAutoRate(DWORD rate, DWORD logoIndex) {
    if (logoIndex == AUTO_ALT_LOGO) return rate == AUTO_RATE_C6 ? AUTO_RATE_C20 : AUTO_RATE_C6;
    switch (rate) {
    case AUTO_RATE_C5: return AUTO_RATE_C6;
    case AUTO_RATE_C6: return AUTO_RATE_C10;
    default: return AUTO_RATE_C5;
    }
}
