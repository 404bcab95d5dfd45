// The motion driver's arithmetic, driven tick by tick with chosen spectra.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "motion/motion_driver.h"
#include "motion/motion_state.h"

namespace {

constexpr int BINS = 1024;

class MotionDriver : public testing::Test {
protected:
    void SetUp() override {
        bodyPhase = armPhase = leftArmSwing = rightArmSwing = 0;
        bodyVelocity = armVelocity = 0;
        leftArmSwingStep = 0.1;
        rightArmSwingStep = 0.2;
    }

    // What one timer tick does, without the timer and the fetch.
    static void tickWith(const std::vector<float>& spectrum) {
        stepArmSwings();
        stepPhases(spectrum.data(), static_cast<int>(spectrum.size()));
    }
};

TEST_F(MotionDriver, SilenceLeavesThePhasesAtRestWhileTheArmsSwing) {
    const std::vector<float> silence(BINS, 0.0f);
    for (int i = 1; i <= 10; ++i) {
        tickWith(silence);
        EXPECT_EQ(bodyPhase, 0);
        EXPECT_EQ(armPhase, 0);
        EXPECT_NEAR(leftArmSwing, 0.1 * i, 1e-12);
        EXPECT_NEAR(rightArmSwing, 0.2 * i, 1e-12);
    }
}

TEST_F(MotionDriver, OnlyValuesStrictlyBelowTheThresholdAreAveraged) {
    const std::vector<float> loud(BINS, 0.03f);
    EXPECT_EQ(quietMean(loud.data(), BINS), 0);

    // The float nearest 0.02 is just below the double 0.02, so it is quiet.
    const float nearest = 0.02f;
    ASSERT_LT(static_cast<double>(nearest), 0.02);
    const std::vector<float> atThreshold(BINS, nearest);
    EXPECT_EQ(quietMean(atThreshold.data(), BINS), static_cast<double>(nearest));

    // Loud bands are left out, not averaged in: half at 0.5 and half at 0.001 gives 0.001.
    std::vector<float> mixed(BINS, 0.5f);
    std::fill(mixed.begin(), mixed.begin() + BINS / 2, 0.001f);
    EXPECT_NEAR(quietMean(mixed.data(), BINS), 0.001, 1e-9);

    // A NaN is never below anything: it cannot poison the mean.
    mixed[7] = std::nanf("");
    EXPECT_TRUE(std::isfinite(quietMean(mixed.data(), BINS)));
}

TEST_F(MotionDriver, FirstQuietMeanBouncesTheBodyOffTheFloor) {
    const double m = 0.001;
    const std::vector<float> spectrum(BINS, static_cast<float>(m));
    const double mean = static_cast<float>(m);
    tickWith(spectrum);
    // From rest the drive pushes down to -48m; the phase would go below 0, so the step reflects.
    EXPECT_DOUBLE_EQ(bodyVelocity, 48 * mean);
    EXPECT_DOUBLE_EQ(bodyPhase, 48 * mean);
    EXPECT_DOUBLE_EQ(armVelocity, 30 * mean);
    EXPECT_DOUBLE_EQ(armPhase, 30 * mean);
}

TEST_F(MotionDriver, SteadyLoudishMeanOvershootsWithoutClamping) {
    // A mean of 0.01 drives the body towards 1.2 per tick, more than the whole phase range.
    const std::vector<float> spectrum(BINS, 0.01f);
    double lowest = 0, highest = 0;
    for (int i = 0; i < 200; ++i) {
        tickWith(spectrum);
        lowest = std::min(lowest, bodyPhase);
        highest = std::max(highest, bodyPhase);
    }
    EXPECT_NEAR(std::abs(bodyVelocity), 1.2, 1e-3);
    EXPECT_NEAR(std::abs(armVelocity), 0.75, 1e-3);
    // It settles into bouncing between a phase inside the range and one 1.2 below it.
    EXPECT_LT(lowest, -0.1) << "a reflected phase must be left outside [0, 1]";
    EXPECT_LE(highest, 1);
}

TEST_F(MotionDriver, LeftSwingTurnsJustPastEachBound) {
    const std::vector<float> silence(BINS, 0.0f);
    for (int i = 0; i < 450; ++i) tickWith(silence);
    // Tick 450: 45 plus the rounding of 450 additions of 0.1, not yet turned.
    EXPECT_NEAR(leftArmSwing, 45, 1e-9);
    EXPECT_GT(leftArmSwing, 45);
    tickWith(silence);
    EXPECT_NEAR(leftArmSwing, 44.9, 1e-9);
    EXPECT_LT(leftArmSwingStep, 0);
    for (int i = 451; i < 900; ++i) tickWith(silence);
    EXPECT_NEAR(leftArmSwing, 0, 1e-9);
    EXPECT_LT(leftArmSwing, 0);
    tickWith(silence);
    EXPECT_NEAR(leftArmSwing, 0.1, 1e-9);
    EXPECT_GT(leftArmSwingStep, 0);
}

// Runs a million ticks and reports the extremes seen; every value must stay finite and within the
// bounds the damping allows (|velocity| <= gain * 0.02 * 0.6 / 0.4, plus a reflected step).
void expectBoundedOverAMillionTicks(const char* name, const std::vector<float>& (*spectrumForTick)(int)) {
    double phaseMin = 0, phaseMax = 0, velocityMax = 0, swingMin = 0, swingMax = 0;
    for (int i = 0; i < 1000000; ++i) {
        const auto& spectrum = spectrumForTick(i);
        stepArmSwings();
        stepPhases(spectrum.data(), BINS);
        phaseMin = std::min({phaseMin, bodyPhase, armPhase});
        phaseMax = std::max({phaseMax, bodyPhase, armPhase});
        velocityMax = std::max({velocityMax, std::abs(bodyVelocity), std::abs(armVelocity)});
        swingMin = std::min({swingMin, leftArmSwing, rightArmSwing});
        swingMax = std::max({swingMax, leftArmSwing, rightArmSwing});
    }
    std::printf("%s: phase [%.4f, %.4f], |velocity| <= %.4f, swing [%.6f, %.6f]\n", name, phaseMin,
                phaseMax, velocityMax, swingMin, swingMax);
    for (double v : {phaseMin, phaseMax, velocityMax, swingMin, swingMax}) ASSERT_TRUE(std::isfinite(v));
    EXPECT_LE(velocityMax, 80 * 0.02 * 1.5 + 1e-9);
    EXPECT_GE(phaseMin, -2 * velocityMax);
    EXPECT_LE(phaseMax, 1 + 2 * velocityMax);
    EXPECT_GE(swingMin, -0.2 - 1e-6);
    EXPECT_LE(swingMax, 45.2 + 1e-6);
}

TEST_F(MotionDriver, AMillionTicksStayFiniteAndBounded) {
    // Random spectra drawn from a pool, so the million ticks cost compares rather than random numbers.
    static std::vector<std::vector<float>> pool(251, std::vector<float>(BINS));
    static std::mt19937 random(12345);
    std::uniform_real_distribution<float> amplitude(0.0f, 0.05f);
    for (auto& spectrum : pool)
        for (float& v : spectrum) v = amplitude(random);
    expectBoundedOverAMillionTicks("random", [](int) -> const std::vector<float>& {
        return pool[random() % pool.size()];
    });

    SetUp();
    // Values just either side of the threshold, and loud and quiet ticks alternating.
    static std::vector<float> edge(BINS), loud(BINS, 1.0f);
    for (int i = 0; i < BINS; ++i)
        edge[i] = i % 2 ? std::nextafter(0.02f, 0.0f) : std::nextafter(0.02f, 1.0f);
    expectBoundedOverAMillionTicks("adversarial", [](int tick) -> const std::vector<float>& {
        return tick % 2 ? loud : edge;
    });
}

}  // namespace
