#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "app/AutoProgram.h"

namespace {

void ExpectSteps(const AutoProgram& p, std::initializer_list<double> volts, std::initializer_list<double> amps,
                 std::initializer_list<int> hours, std::initializer_list<int> kinds) {
    int i = 0;
    for (double v : volts) EXPECT_NEAR(p.dVoltage[i++], v, 1e-9) << "voltage " << i;
    i = 0;
    for (double a : amps) EXPECT_NEAR(p.dCurrent[i++], a, 1e-9) << "current " << i;
    i = 0;
    for (int h : hours) EXPECT_EQ(p.nHours[i++], h) << "hours " << i;
    i = 0;
    for (int k : kinds) EXPECT_EQ(p.byKind[i++], k) << "kind " << i;
}

TEST(AutoProgramTest, WorkedCases) {
    AutoProgram p = ComputeAutoProgramStd(MODEL_QRX3307M, AUTO_TYPE_LEAD, FALSE, 100, 12, 0);
    ExpectSteps(p, {10.2, 14.4, 15.9, 10.2, 14.4, 15.9}, {20, 11, 5.5, 20, 11, 5.5}, {5, 8, 8, 5, 8, 8},
                {1, 1, 2, 1, 1, 2});
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.byDischarge[i], i == 0 || i == 3) << i;

    p = ComputeAutoProgramStd(MODEL_QRX3305L, AUTO_TYPE_LEAD, FALSE, 501, 12, 0);
    EXPECT_EQ(p.dCurrent[0], 50.0);
    EXPECT_EQ(p.nHours[0], 10);
    p = ComputeAutoProgramStd(MODEL_QRX3307M, AUTO_TYPE_LEAD, FALSE, 501, 12, 0);
    EXPECT_NEAR(p.dCurrent[0], 55.11, 1e-9);

    p = ComputeAutoProgramStd(MODEL_Z330, AUTO_TYPE_AGM, FALSE, 1000, 96, 2);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(p.dVoltage[i], 30.0) << i;
        EXPECT_EQ(p.dCurrent[i], 30.0) << i;
    }
    // With the unit the discharge current is not held to the model's limit.
    p = ComputeAutoProgramStd(MODEL_Z330, AUTO_TYPE_AGM, TRUE, 1000, 24, 0);
    EXPECT_EQ(p.dCurrent[0], 200.0);
    p = ComputeAutoProgramStd(MODEL_Z330, AUTO_TYPE_AGM, TRUE, 1000, 24, 1);
    EXPECT_NEAR(p.dCurrent[3], 1000.0 / 6, 1e-9);

    p = ComputeAutoProgramAlt(MODEL_QRX3301K, AUTO_TYPE_LEAD, FALSE, 1000, 48, 0);
    EXPECT_EQ(p.dCurrent[0], 30.0);
    EXPECT_EQ(p.nHours[0], 39);
    EXPECT_EQ(p.nHours[4], 39);
    ExpectSteps(p, {40.8, 60, 62.4, 62.4, 40.8, 60}, {30, 30, 30, 30, 30, 30}, {39, 39, 4, 38, 39, 39},
                {1, 7, 4, 2, 1, 7});
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.byDischarge[i], i == 0 || i == 4) << i;
    p = ComputeAutoProgramAlt(MODEL_QRX3307M, AUTO_TYPE_AGM, FALSE, 100, 12, 1);
    ExpectSteps(p, {10.5, 13.98, 13.95, 14.4, 10.5, 13.98}, {9, 13, 3.15, 4.5, 9, 13}, {11, 10, 4, 8, 11, 10},
                {1, 7, 3, 2, 1, 7});
}

// Every input the page can give: the limits the run relies on hold.
TEST(AutoProgramTest, EveryInputStaysWithinTheModelsLimits) {
    for (int model = 1; model <= 4; ++model) {
        const ModelLimits limits = GetModelLimits(model);
        for (int unit = 0; unit <= 1; ++unit)
            for (int type = 0; type <= 1; ++type)
                for (int rate = 0; rate <= 2; ++rate)
                    for (int volts = AUTO_VOLTAGE_MIN; volts <= AutoVoltageMax(model); volts += 2)
                        for (int cap = AUTO_CAPACITY_MIN; cap <= AUTO_CAPACITY_MAX; cap += 5)
                            for (int alt = 0; alt <= 1; ++alt) {
                                if (alt && rate == 2) continue;
                                const AutoProgram p =
                                    alt ? ComputeAutoProgramAlt(model, type, unit, cap, volts, rate)
                                        : ComputeAutoProgramStd(model, type, unit, cap, volts, rate);
                                for (int i = 0; i < 6; ++i) {
                                    const double imax =
                                        p.byDischarge[i] && unit ? AUTO_UNIT_CURRENT : limits.dMaxCurrent;
                                    ASSERT_TRUE(std::isfinite(p.dVoltage[i]) && std::isfinite(p.dCurrent[i]));
                                    ASSERT_LE(p.dVoltage[i], limits.dMaxVoltage);
                                    ASSERT_GT(p.dCurrent[i], 0.0);
                                    ASSERT_LE(p.dCurrent[i], imax)
                                        << model << " " << unit << " " << cap << " " << alt << " step " << i;
                                    ASSERT_GE(p.nHours[i], 1);
                                    ASSERT_TRUE(p.byKind[i] >= 1 && p.byKind[i] <= 9);
                                }
                            }
    }
}

TEST(AutoProgramTest, TheRateCycleFollowsTheLogo) {
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C5, 0), AUTO_RATE_C6);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C6, 1), AUTO_RATE_C10);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C10, 3), AUTO_RATE_C5);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C20, 0), AUTO_RATE_C5);  // left over from the other rules
    EXPECT_EQ(NextAutoRate(99, 4), AUTO_RATE_C5);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C6, AUTO_ALT_LOGO), AUTO_RATE_C20);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C20, AUTO_ALT_LOGO), AUTO_RATE_C6);
    EXPECT_EQ(NextAutoRate(AUTO_RATE_C10, AUTO_ALT_LOGO), AUTO_RATE_C6);
    for (DWORD logo = 0; logo < 5; ++logo) {
        DWORD rate = AUTO_RATE_C5;
        for (int i = 0; i < 12; ++i) {
            rate = NextAutoRate(rate, logo);
            EXPECT_EQ(rate == AUTO_RATE_C20, logo == AUTO_ALT_LOGO && i % 2 == 1) << logo << " " << i;
        }
    }
}

TEST(AutoProgramTest, StepsFollowTheLogosRulesAndRates) {
    AutoRecord record{12, 100, AUTO_TYPE_LEAD, AUTO_RATE_C20, 0};
    ProgramStep steps[6];
    ComputeAutoSteps(record, MODEL_QRX3307M, 0, FALSE, steps);
    EXPECT_EQ(steps[0].dCurrent, 10.0);  // C20 runs as C10
    EXPECT_EQ(steps[0].dwTime, 10u * 3600u);
    EXPECT_EQ(steps[3].dwDirection, 1u);
    for (const ProgramStep& step : steps) EXPECT_EQ(step.dwEnable, 1u);
    record.dwRate = AUTO_RATE_C6;
    ComputeAutoSteps(record, MODEL_QRX3307M, AUTO_ALT_LOGO, FALSE, steps);
    EXPECT_NEAR(steps[0].dCurrent, 100.0 / 6, 1e-9);
    EXPECT_EQ(steps[0].dwTime, 7u * 3600u);
    EXPECT_EQ(steps[4].dwDirection, 1u);
    EXPECT_EQ(steps[3].dwDirection, 0u);
    EXPECT_EQ(steps[1].byKind, 7);
}

}  // namespace
