#include "motion/motion_driver.h"

#include "motion/motion_state.h"

double bodyVelocity = 0;
double armVelocity = 0;
double leftArmSwingStep = 0.1;
double rightArmSwingStep = 0.2;
double velocityDamping = 0.6;

static constexpr double BODY_GAIN = 80;
static constexpr double ARM_GAIN = 50;
static constexpr double SWING_LIMIT_DEGREES = 45;

void stepArmSwings() {
    // Both tests come before either swing moves. A swing turns only once it is past a bound, so it
    // may overshoot by up to one step.
    if (leftArmSwing > SWING_LIMIT_DEGREES || leftArmSwing < 0) leftArmSwingStep = -leftArmSwingStep;
    if (rightArmSwing > SWING_LIMIT_DEGREES || rightArmSwing < 0) rightArmSwingStep = -rightArmSwingStep;
    leftArmSwing += leftArmSwingStep;
    rightArmSwing += rightArmSwingStep;
}

double quietMean(const float* values, int count) {
    // Each float is widened before the comparison: the float nearest 0.02 lies just below the
    // double 0.02 and so counts as quiet.
    double sum = 0;
    int quiet = 0;
    for (int i = 0; i < count; ++i) {
        const double value = values[i];
        if (value < QUIET_THRESHOLD) {
            sum += value;
            ++quiet;
        }
    }
    return quiet > 0 ? sum / quiet : 0;
}

void stepOscillator(double& phase, double& velocity, double gain, double quietMean) {
    // A velocity of exactly 0 counts as falling, so the first push from rest goes down and bounces.
    const double drive = velocity > 0 ? gain : -gain;
    velocity = velocityDamping * (velocity + quietMean * drive);
    phase += velocity;
    if (phase < 0 || phase > 1) {
        phase -= velocity;
        velocity = -velocity;
        phase += velocity;
    }
}

void stepPhases(const float* spectrumValues, int count) {
    const double mean = quietMean(spectrumValues, count);
    stepOscillator(bodyPhase, bodyVelocity, BODY_GAIN, mean);
    stepOscillator(armPhase, armVelocity, ARM_GAIN, mean);
}
