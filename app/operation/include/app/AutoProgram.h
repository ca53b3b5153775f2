// The auto program: six steps from the battery's voltage, capacity, type and rate, by the standard
// rules or (company logo 2) the alternative rules.
#pragma once
#include <windows.h>

#include "app/Settings.h"

#define AUTO_TYPE_LEAD 0
#define AUTO_TYPE_AGM 1
#define AUTO_RATE_C5 0
#define AUTO_RATE_C6 1
#define AUTO_RATE_C10 2
#define AUTO_RATE_C20 3
// The logo whose maker uses the alternative rules and rates.
#define AUTO_ALT_LOGO 2
#define AUTO_VOLTAGE_MIN 2
#define AUTO_VOLTAGE_MAX 96
#define AUTO_VOLTAGE_MAX_Z330 30
#define AUTO_VOLTAGE_UNIT 2
#define AUTO_CAPACITY_MIN 5
#define AUTO_CAPACITY_MAX 1000
#define AUTO_CAPACITY_UNIT 5
// Discharge current with the attached unit connected.
#define AUTO_UNIT_CURRENT 200.0

struct AutoProgram {
    double dVoltage[6];
    double dCurrent[6];
    int nHours[6];
    BYTE byKind[6];
    BYTE byDischarge[6];
};

struct ModelLimits {
    double dMaxCurrent;
    double dMaxVoltage;
};
// By the model index of DetectModel; an unknown index has the first model's limits.
ModelLimits GetModelLimits(int modelIndex);

// rate: 0 C5, 1 C6, 2 C10 or C20.
AutoProgram ComputeAutoProgramStd(int modelIndex, int type, BOOL unitConnected, int capacity, int voltage, int rate);
// rate: 0 C6, 1 any other.
AutoProgram ComputeAutoProgramAlt(int modelIndex, int type, BOOL unitConnected, int capacity, int voltage, int rate);
// The rule set of the logo over the auto record, as six enabled program steps.
void ComputeAutoSteps(const AutoRecord& record, int modelIndex, DWORD logoIndex, BOOL unitConnected,
                      ProgramStep steps[6]);
// The rate button: C5, C6, C10 in turn, or C6 and C20 under the alternative rules; a rate outside
// the cycle goes to its first.
DWORD NextAutoRate(DWORD rate, DWORD logoIndex);
int AutoVoltageMax(int modelIndex);
