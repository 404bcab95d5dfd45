// motion/motion_driver.h: the 20 ms clock that turns the music's spectrum into the motion state.
#pragma once

// Spectrum values strictly below this (amplitude, 1.0 = full-scale sine) count as quiet.
constexpr double QUIET_THRESHOLD = 0.02;

// Change of bodyPhase and armPhase per tick; start at 0.
extern double bodyVelocity;
extern double armVelocity;
// Change of leftArmSwing and rightArmSwing per tick, degrees; start at 0.1 and 0.2, sign flips at
// the bounds 0 and 45.
extern double leftArmSwingStep;
extern double rightArmSwingStep;
// Factor on both velocities every tick, 0.6; nothing changes it.
extern double velocityDamping;

// The GLUT timer callback: swings, re-arms itself for 20 ms, fetches the spectrum, moves the phases,
// requests a redisplay. The value is always 0 and unused.
void tick(int value);
// What the frame does each tick besides the dance, after the phases have moved; none by default.
void setTickChores(void (*work)());

// Turns each arm swing that has passed 0 or 45 degrees, then steps both.
void stepArmSwings();
// Mean of the values below QUIET_THRESHOLD, in double; 0 when none is.
double quietMean(const float* values, int count);
// One tick of a damped phase that bounces between 0 and 1: the drive (gain times the quiet mean)
// pushes the velocity on in its direction, damping pulls it back, and a step that leaves [0, 1] is
// taken back and reversed. Nothing clamps the phase.
void stepOscillator(double& phase, double& velocity, double gain, double quietMean);
// Both oscillators from one spectrum: the body with gain 80, then the arms with gain 50.
void stepPhases(const float* spectrumValues, int count);
