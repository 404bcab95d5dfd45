// The program's logic against values worked out by hand, with a real GL context on $DISPLAY for
// what draws. GLU's shapes and GLUT's clock, idle callback, timer and redisplay requests are
// intercepted at link time, so what is drawn where and what GLUT is asked to do can be seen.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/handlers.h"
#include "figure/figure.h"
#include "motion/audio_tap.h"
#include "motion/motion_driver.h"
#include "motion/motion_state.h"
#include "motion/music.h"
#include "trackball/trackball.h"

namespace {
using Matrix = std::array<float, 16>;
std::vector<Matrix> shapes;  // the modelview matrix of each shape drawn, in drawing order
int redisplays = 0, nowMs = 0;
double drawn = 0;  // per shape: slices + radius + 2 x top or outer radius + 4 x height
void (*idle)() = nullptr;
unsigned timerMs = 0;

void note(int slices, double radius, double topOrOuter = 0, double height = 0) {
    drawn += slices + radius + 2 * topOrOuter + 4 * height;
    glGetFloatv(GL_MODELVIEW_MATRIX, shapes.emplace_back().data());
}
}  // namespace

extern "C" {
void __wrap_gluSphere(GLUquadric*, double r, int n, int) { note(n, r); }
void __wrap_gluCylinder(GLUquadric*, double r, double t, double h, int n, int) { note(n, r, t, h); }
void __wrap_gluDisk(GLUquadric*, double i, double o, int n, int) { note(n, i, o); }
int __wrap_glutGet(GLenum) { return nowMs; }
void __wrap_glutIdleFunc(void (*callback)()) { idle = callback; }
void __wrap_glutPostRedisplay() { ++redisplays; }
void __wrap_glutTimerFunc(unsigned ms, void (*f)(int), int) { timerMs = f == &tick ? ms : 0; }
}

namespace {
std::vector<float> flat(float value) { return std::vector<float>(SPECTRUM_SIZE, value); }
void tickWith(const std::vector<float>& s) { stepArmSwings(), stepPhases(s.data(), SPECTRUM_SIZE); }

// Runs first, from the state the program starts in.
TEST(MotionDriver, InSilenceThePhasesRestAndTheSwingsTurnJustPastTheirBounds) {
    std::vector<double> left(902), right(902);
    for (int tick = 1; tick <= 901; ++tick) {
        tickWith(flat(0));
        ASSERT_EQ(bodyPhase + armPhase, 0) << tick;
        left[tick] = leftArmSwing, right[tick] = rightArmSwing;
    }
    // A swing turns on the tick after it is seen past a bound: left, 45 plus rounding at tick 450.
    for (const auto& [swing, expected] : {std::pair{left[451], 44.9}, {left[901], 0.1},
                                          {right[226], 44.8}, {right[451], 0.2}})
        EXPECT_NEAR(swing, expected, 1e-9);
}

TEST(MotionDriver, TheQuietMeanDrivesPhasesThatBounceUnclamped) {
    EXPECT_EQ(quietMean(flat(0.03f).data(), SPECTRUM_SIZE), 0);
    // The float nearest 0.02 lies below the double 0.02.
    EXPECT_EQ(quietMean(flat(0.02f).data(), SPECTRUM_SIZE), double(0.02f));
    auto mixed = flat(0.5f);
    std::fill(mixed.begin(), mixed.begin() + 512, 0.001f);
    mixed[7] = std::nanf("");
    EXPECT_NEAR(quietMean(mixed.data(), SPECTRUM_SIZE), 0.001, 1e-9);
    // From rest the drive pushes down to -48m (arms -30m); below 0, the step is reflected.
    bodyPhase = armPhase = bodyVelocity = armVelocity = 0;
    tickWith(flat(0.001f));
    const double m = 0.001f;
    EXPECT_TRUE(bodyPhase == 48 * m && bodyVelocity == 48 * m && armPhase == 30 * m &&
                armVelocity == 30 * m) << bodyPhase << " " << armPhase;
    // A steady 0.01 settles the body's speed at 120m, more than the whole range: reflected steps
    // land outside it, and nothing clamps them.
    double lowest = 0, highest = 0;
    for (int i = 0; i < 200; ++i) {
        tickWith(flat(0.01f));
        lowest = std::min(lowest, bodyPhase), highest = std::max(highest, bodyPhase);
    }
    EXPECT_NEAR(std::abs(bodyVelocity), 1.2, 1e-3);
    EXPECT_TRUE(lowest < -0.1 && highest <= 1) << lowest << " " << highest;
}

TEST(Spectrum, SinesReadTheirAmplitudeInTheirBinAndHalfInItsNeighbours) {
    for (const auto& [bin, amplitude] : {std::pair{3, 0.8}, {93, 1.0}, {300, 0.5}, {1000, 0.02}}) {
        std::vector<float> samples(SPECTRUM_WINDOW), out(SPECTRUM_SIZE);
        for (int n = 0; n < SPECTRUM_WINDOW; ++n)
            samples[n] = float(amplitude * std::sin(2 * M_PI * bin * n / SPECTRUM_WINDOW + 0.3));
        analyseSpectrum(samples.data(), out.data());
        EXPECT_NEAR(out[bin], amplitude, 0.01 * amplitude) << bin;
        EXPECT_NEAR(out[bin + 1], amplitude / 2, 0.01 * amplitude) << bin;
        EXPECT_LT(out[bin + 5], 1e-4 * amplitude) << bin;
    }
}

TEST(Tap, WhatIsHeardFollowsTheHandOversAndFallsSilentWhenTheyStop) {
    // A buffer just handed over plays over the next 23.2 ms; a hand-over up to a buffer late is
    // jitter; later than that silence is heard, on and on without overflow.
    constexpr std::int64_t MS = 1000000;
    for (const auto& [ms, heard] : {std::pair{0, 9216}, {10, 9657}, {46, 10240}, {66, 11102}})
        EXPECT_EQ(heardSampleCount(10240, 0, ms * MS, 44100, 1024, 1024), heard) << ms;
    EXPECT_EQ(heardSampleCount(10240, 0, INT64_MAX, 44100, 1024, 1024), 10240 + TAP_RING_SIZE);
    // A window reads the mean of both channels, within full scale, from round the ring, with
    // silence after the last sample handed over.
    static std::int64_t nowNs = 0;
    startTap(44100, 1024, 1024, [] { return nowNs; });
    const std::int64_t end = TAP_RING_SIZE + 10240;
    std::vector<float> stereo(2 * end), window(SPECTRUM_WINDOW);
    for (std::int64_t n = 0; n < end; ++n)
        stereo[2 * n] = n / 65536.f + 0.25f, stereo[2 * n + 1] = n / 65536.f - 0.25f;
    stereo[2 * end - 5] = 3, stereo[2 * end - 3] = -5, stereo[2 * end - 1] = std::nanf("");
    tapMixedOutput(stereo.data(), 1000);  // in two hand-overs, each continuing the last
    tapMixedOutput(stereo.data() + 2000, end - 1000);
    nowNs = 66 * MS;
    readHeardWindow(window.data(), SPECTRUM_WINDOW);
    const float clamped[] = {1, -1, -1};
    for (std::int64_t i = 0, n = end + 862 - SPECTRUM_WINDOW; i < SPECTRUM_WINDOW; ++i, ++n)
        ASSERT_EQ(window[i], n >= end ? 0 : n >= end - 3 ? clamped[n - end + 3] : n / 65536.f) << n;
}

// Where the joints stand, in the frame drawTorso is called in, for phases body and arm.
void expectJoints(double body, double arm, std::vector<std::array<float, 4>> joints) {
    bodyPhase = body, armPhase = arm, leftArmSwing = rightArmSwing = 0;
    shapes.clear(), drawn = 0;
    glLoadIdentity();
    drawTorso();
    ASSERT_EQ(shapes.size(), 32u);
    for (const auto& [shape, x, y, z] : joints) {
        const Matrix& m = shapes[int(shape)];
        EXPECT_LT(std::max({std::abs(m[12] - x), std::abs(m[13] - y), std::abs(m[14] - z)}), 5e-4)
            << "shape " << shape << " at " << m[12] << ", " << m[13] << ", " << m[14];
    }
}

TEST(Figure, JointsStandWhereTheyWereWorkedOut) {
    // Head, left shoulder, right hand, left knee, right ankle and right toe at rest.
    expectJoints(0, 0, {{5, 0, 0.187, 2.142}, {6, -0.693, 0.512, 1.26},
                        {15, -0.079, -1.776, -0.385}, {22, -0.683, -0.616, -1.819},
                        {30, 0.483, -0.129, -3.3}, {31, 0.302, -0.806, -3.3}});
    // 20 around the trunk, head, pelvis, discs, cones and limbs; 10 around neck, waist and joints.
    EXPECT_NEAR(drawn, 17 * 20 + 15 * 10 + 2.5 + 57.7 + 4.6, 1e-9) << "then balls, tubes, discs";
    // Both hands, the right ankle and the left toe at full phases, and the head unclamped at 3.
    expectJoints(1, 1, {{15, 0.767, 0.305, -0.365}, {10, 0.152, -1.957, 0.985},
                        {30, 1.028, -0.416, -3.019}, {25, -0.664, -0.806, -3.3}});
    expectJoints(3, 0, {{5, 0.243, -0.170, 1.358}});
    // The swings lift both hands outwards, from -0.28 and -0.08 at rest.
    bodyPhase = 0, leftArmSwing = rightArmSwing = 45;
    shapes.clear();
    drawTorso();
    EXPECT_TRUE(shapes[10][12] < -1.5 && shapes[15][12] > 0.9) << shapes[10][12] << shapes[15][12];
}

TEST(Frame, ProjectionKeepsSixtyDegreesUprightAndEachTickReArmsFor20Ms) {
    reshape(1600, 800);
    std::array<double, 16> p, kept;
    glGetDoublev(GL_PROJECTION_MATRIX, p.data());
    // cot 30 degrees, halved across the double width; near 1 and far 50.
    EXPECT_TRUE(std::abs(p[5] - std::sqrt(3)) < 1e-6 && std::abs(p[0] - p[5] / 2) < 1e-6);
    EXPECT_TRUE(std::abs(p[10] + 51.0 / 49) < 1e-6 && std::abs(p[14] + 100.0 / 49) < 1e-6);
    reshape(800, 0), glGetDoublev(GL_PROJECTION_MATRIX, kept.data());
    EXPECT_EQ(kept, p) << "a window with no height has no aspect: the last projection stays";
    // No music plays here, so the spectrum stays as set; its one quiet bin, the last, drives.
    std::fill(spectrum, spectrum + SPECTRUM_SIZE, 0.5f), spectrum[SPECTRUM_SIZE - 1] = 0.001f;
    const double swing = leftArmSwing;
    bodyPhase = bodyVelocity = redisplays = 0, tick(0);
    EXPECT_TRUE(timerMs == 20 && redisplays == 1 && leftArmSwing != swing && bodyPhase > 0);
}

// One frame's turn, folded into the accumulated rotation, which is read back.
Matrix frame() {
    Matrix m;
    glLoadIdentity();
    applyObjectRotation();
    glGetFloatv(GL_MODELVIEW_MATRIX, m.data());
    return m;
}

TEST(Trackball, DragsTurnAboutTheViewersAxesAndAFlickSpinsUntilAClick) {
    reshape(1600, 800);  // a wide window: the dome is stretched across it
    resetObjectRotation();
    const double turn = 54.52 * M_PI / 180;  // from the centre halfway to the right edge
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 800, 400);
    motion(1200, 400);
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 1200, 400);
    EXPECT_EQ(frame(), frame()) << "only the left button turns";
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 800, 400);
    motion(1200, 400);
    // About the vertical axis, the near side to the right, again every frame while held.
    EXPECT_NEAR(frame()[8], std::sin(turn), 1e-4);
    const Matrix twice = frame();
    EXPECT_TRUE(std::abs(twice[8] - std::sin(2 * turn)) < 1e-4 && std::abs(twice[5] - 1) < 1e-6);
    ++nowMs;
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0);
    EXPECT_TRUE(frame() == twice && idle == nullptr);
    // An upward drag tips whatever now faces the viewer upwards.
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 800, 400);
    motion(800, -400);  // past the edge, on the rim: a chord of sqrt 2, so sin(90 sqrt 2 degrees)
    const Matrix m = frame();
    EXPECT_NEAR(m[1] * twice[2] + m[5] * twice[6] + m[9] * twice[10], 0.79569, 1e-4);
    // Let go in the millisecond of the last movement, it spins on, a frame whenever GLUT is idle.
    ++nowMs, motion(806, 398);  // and a later right button's release does not stop it
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0), ++nowMs, mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 0, 0);
    ASSERT_EQ(idle, &spinIdle);
    redisplays = 0;
    idle();
    Matrix spun = frame();
    EXPECT_TRUE(redisplays == 1 && frame() != spun);
    // Hours of it at 50 frames a second would make the figure grow; it stays a rotation.
    for (int i = 0; i < 20000; ++i) spun = frame();
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(spun[i / 3 * 4] * spun[i % 3 * 4] + spun[i / 3 * 4 + 1] * spun[i % 3 * 4 + 1] +
                    spun[i / 3 * 4 + 2] * spun[i % 3 * 4 + 2], i / 3 == i % 3, 1e-5) << i;
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 600, 300);
    ++nowMs;
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0);
    EXPECT_TRUE(idle == nullptr && frame() == frame());
}
TEST(CommandLine, GlutsOptionsAndTheirValuesAreNoOperandsNorIsAnythingAfterADoubleDash) {
    const char* const argv[] = {"dancer", "-display", ":1", "a.mp3", "-sync", "-",
                                "--",     "-geometry", "--help"};
    const CommandLine command = readCommandLine(9, argv, nullptr, nullptr);
    EXPECT_EQ(command.exitStatus, -1);
    EXPECT_EQ(command.operands, (std::vector<std::string>{"a.mp3", "-", "-geometry", "--help"}));
}
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutCreateWindow("unit test");
    return RUN_ALL_TESTS();
}
