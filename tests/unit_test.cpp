// The program's logic against values worked out by hand, in a real GL context on $DISPLAY. GLU's
// shapes and GLUT's clock, idle callback, timer and redisplays are intercepted at link time.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/handlers.h"
#include "app/render/render_plan.h"
#include "figure/figure.h"
#include "motion/sound/audio_tap.h"
#include "motion/sound/sound_server.h"
#include "motion/motion_driver.h"
#include "motion/motion_state.h"
#include "motion/music.h"
#include "overlay/overlay.h"
#include "trackball/trackball.h"

namespace {
using Matrix = std::array<float, 16>;
std::vector<Matrix> shapes;  // the modelview matrix of each shape drawn, in drawing order
double drawn = 0;            // per shape: slices + radius + 2 x top or outer radius + 4 x height
int redisplays = 0;
int nowMs = 0;
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
void tickWith(float value) {
    const std::vector<float> flat(SPECTRUM_SIZE, value);
    stepArmSwings();
    stepPhases(flat.data(), SPECTRUM_SIZE);
}

// Runs first, from the state the program starts in.
TEST(MotionDriver, InSilenceThePhasesRestAndTheSwingsTurnJustPastTheirBounds) {
    // A swing turns on the tick after it is seen past a bound: left, 45 plus rounding at tick 450.
    const std::map<int, std::pair<double, double>> swings = {
        {226, {22.6, 44.8}}, {451, {44.9, 0.2}}, {901, {0.1, 0.2}}};
    for (int tick = 1; tick <= 901; ++tick) {
        tickWith(0);
        ASSERT_EQ(bodyPhase + armPhase, 0) << tick;
        if (swings.count(tick) != 0) {
            EXPECT_NEAR(leftArmSwing, swings.at(tick).first, 1e-9) << tick;
            EXPECT_NEAR(rightArmSwing, swings.at(tick).second, 1e-9) << tick;
        }
    }
}

TEST(MotionDriver, TheQuietMeanDrivesPhasesThatBounceUnclamped) {
    // Only values below 0.02 count, each widened to double: the float nearest 0.02 lies below it.
    std::vector<float> values(SPECTRUM_SIZE, 0.03f);
    EXPECT_EQ(quietMean(values.data(), SPECTRUM_SIZE), 0);
    std::fill(values.begin(), values.end(), 0.02f);
    EXPECT_EQ(quietMean(values.data(), SPECTRUM_SIZE), double(0.02f));
    std::fill(values.begin(), values.begin() + 512, 0.001f);
    std::fill(values.begin() + 512, values.end(), 0.03f);
    values[7] = std::nanf("");
    EXPECT_NEAR(quietMean(values.data(), SPECTRUM_SIZE), 0.001, 1e-9);
    // From rest the drive pushes down to -48m (arms -30m); below 0, the step is reflected.
    tickWith(0.001f);
    const double m = 0.001f;
    EXPECT_EQ((std::array{bodyPhase, bodyVelocity, armPhase, armVelocity}),
              (std::array{48 * m, 48 * m, 30 * m, 30 * m}));
    // A steady 0.01 settles the body's speed at 120m, more than the whole range: reflected steps
    // land outside it, and nothing clamps them.
    double lowest = 0;
    for (int i = 0; i < 200; ++i) {
        tickWith(0.01f);
        lowest = std::min(lowest, bodyPhase);
    }
    EXPECT_NEAR(std::abs(bodyVelocity), 1.2, 1e-3);
    EXPECT_LT(lowest, -0.1);
    // In the middle too, a velocity of 0 counts as falling.
    bodyPhase = 0.5;
    bodyVelocity = 0;
    tickWith(0.001f);
    EXPECT_EQ(bodyVelocity, -48 * m);
}

TEST(Spectrum, SinesReadTheirAmplitudeInTheirBinAndHalfInItsNeighbours) {
    for (const auto& [bin, amplitude] : {std::pair{3, 0.8}, {93, 1.0}, {300, 0.5}, {1000, 0.02}}) {
        std::vector<float> samples(SPECTRUM_WINDOW);
        std::vector<float> out(SPECTRUM_SIZE);
        for (int n = 0; n < SPECTRUM_WINDOW; ++n) {
            samples[n] = float(amplitude * std::sin(2 * M_PI * bin * n / SPECTRUM_WINDOW + 0.3));
        }
        analyseSpectrum(samples.data(), out.data());
        EXPECT_NEAR(out[bin], amplitude, 0.01 * amplitude) << bin;
        EXPECT_NEAR(out[bin + 1], amplitude / 2, 0.01 * amplitude) << bin;
        EXPECT_LT(out[bin + 5], 1e-4 * amplitude) << bin;
    }
}

TEST(Tap, WhatIsHeardFollowsTheHandOversAndFallsSilentWhenTheyStop) {
    // A buffer handed over plays over the next 23.2 ms; a hand-over up to a buffer late is jitter;
    // later, silence is heard, on without overflow. What is recorded is heard at once.
    constexpr std::int64_t MS = 1000000;
    for (const auto& [ms, queued, heard] : {std::array<std::int64_t, 3>{0, 1024, 9216},
                                            {10, 1024, 9657}, {46, 1024, 10240}, {66, 1024, 11102},
                                            {0, 0, 10240}, {INT64_MAX / MS, 1024, 43008}}) {
        EXPECT_EQ(heardSampleCount(10240, 0, ms * MS, 44100, int(queued), 1024), heard) << ms;
    }
    // A window reads the mean of both channels, within full scale, from round the ring, with
    // silence after the last sample handed over.
    static std::int64_t nowNs = 0;
    startTap(44100, 1024, 1024, [] { return nowNs; });
    const std::int64_t end = TAP_RING_SIZE + 10240;
    std::vector<float> stereo(2 * end);
    for (std::int64_t n = 0; n < 2 * end; ++n) {
        stereo[n] = n / 2 / 65536.f + (n % 2 == 0 ? 0.25f : -0.25f);
    }
    stereo[2 * end - 5] = 3;
    stereo[2 * end - 3] = -5;
    stereo[2 * end - 1] = std::nanf("");
    tapMixedOutput(stereo.data(), 1000);  // in two hand-overs, each continuing the last
    tapMixedOutput(stereo.data() + 2000, end - 1000);
    nowNs = 66 * MS;
    std::vector<float> window(SPECTRUM_WINDOW);
    readHeardWindow(window.data(), SPECTRUM_WINDOW);
    const float clamped[] = {1, -1, -1};
    for (std::int64_t i = 0; i < SPECTRUM_WINDOW; ++i) {
        const std::int64_t n = end + 862 - SPECTRUM_WINDOW + i;
        ASSERT_EQ(window[i], n >= end ? 0 : n >= end - 3 ? clamped[n - end + 3] : n / 65536.f) << n;
    }
    // Listening, a recording that stops is a server gone or stalled: silence a twentieth of a
    // second on, so that the figure rests as it would in silence.
    startListening(44100, ListenTo::Everything, "");
    tapMixedOutput(stereo.data() + 2000, 4410);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    readHeardWindow(window.data(), SPECTRUM_WINDOW);
    EXPECT_EQ(*std::max_element(window.begin(), window.end()), 0);
}

// Where the joints stand, in the frame drawTorso is called in, for phases body and arm.
void expectJoints(double body, double arm, std::vector<std::array<float, 4>> joints) {
    bodyPhase = body;
    armPhase = arm;
    shapes.clear();
    drawn = 0;
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
    leftArmSwing = 0;
    rightArmSwing = 0;
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
    leftArmSwing = 45;
    rightArmSwing = 45;
    expectJoints(0, 0, {});
    EXPECT_LT(shapes[10][12], -1.5);
    EXPECT_GT(shapes[15][12], 0.9);
}

TEST(Frame, ProjectionKeepsSixtyDegreesUprightAndEachTickReArmsFor20Ms) {
    reshape(1600, 800);
    std::array<double, 16> wide;
    glGetDoublev(GL_PROJECTION_MATRIX, wide.data());
    // cot 30 degrees, halved across the double width; near 1 and far 50.
    for (const auto& [entry, worked] : {std::pair{0, std::sqrt(3) / 2}, {5, std::sqrt(3)},
                                        {10, -51.0 / 49}, {14, -100.0 / 49}}) {
        EXPECT_NEAR(wide[entry], worked, 1e-6) << entry;
    }
    reshape(800, 0);
    std::array<double, 16> kept;
    glGetDoublev(GL_PROJECTION_MATRIX, kept.data());
    EXPECT_EQ(kept, wide) << "a window with no height has no aspect: the last projection stays";
    redisplays = 0;
    tick(0);
    EXPECT_EQ(timerMs, 20u);
    EXPECT_EQ(redisplays, 1);
}

// One frame's turn, folded into the accumulated rotation, which is read back.
Matrix frame() {
    Matrix m;
    glLoadIdentity();
    applyObjectRotation();
    glGetFloatv(GL_MODELVIEW_MATRIX, m.data());
    return m;
}

void release(int button) {
    ++nowMs;
    mouse(button, GLUT_UP, 0, 0);
}

TEST(Trackball, DragsTurnAboutTheViewersAxesAndAFlickSpinsUntilAClick) {
    reshape(1600, 800);  // a wide window: the dome is stretched across it
    resetObjectRotation();
    const double turn = 54.52 * M_PI / 180;  // from the centre halfway to the right edge
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 800, 400);
    motion(1200, 400);
    release(GLUT_RIGHT_BUTTON);
    EXPECT_EQ(frame(), frame()) << "only the left button turns";
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 800, 400);
    motion(1200, 400);
    // About the vertical axis, the near side to the right, again every frame while held.
    EXPECT_NEAR(frame()[8], std::sin(turn), 1e-4);
    const Matrix twice = frame();
    EXPECT_NEAR(twice[8], std::sin(2 * turn), 1e-4);
    EXPECT_NEAR(twice[5], 1, 1e-6);
    release(GLUT_LEFT_BUTTON);
    // An upward drag tips whatever now faces the viewer upwards.
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 800, 400);
    motion(800, -400);  // past the edge, on the rim: a chord of sqrt 2, so sin(90 sqrt 2 degrees)
    const Matrix m = frame();
    EXPECT_NEAR(m[1] * twice[2] + m[5] * twice[6] + m[9] * twice[10], 0.79569, 1e-4);
    // Let go in the millisecond of the last movement, it spins on, a frame whenever GLUT is idle,
    // and a later right button's release does not stop it.
    ++nowMs;
    motion(806, 398);
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0);
    release(GLUT_RIGHT_BUTTON);
    ASSERT_EQ(idle, &spinIdle);
    redisplays = 0;
    idle();
    EXPECT_EQ(redisplays, 1);
    Matrix spun = frame();
    EXPECT_NE(frame(), spun);
    // Hours of it at 50 frames a second would make the figure grow; it stays a rotation.
    for (int i = 0; i < 20000; ++i) {
        spun = frame();
    }
    EXPECT_NEAR(std::hypot(spun[0], spun[1], spun[2]), 1, 1e-5);
    EXPECT_NEAR(spun[0] * spun[4] + spun[1] * spun[5] + spun[2] * spun[6], 0, 1e-5);
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 600, 300);
    release(GLUT_LEFT_BUTTON);
    EXPECT_EQ(idle, nullptr);
    EXPECT_EQ(frame(), frame());
}

TEST(CommandLine, GlutsOptionsAreNoOperandsAndWhatFollowsADoubleDashIsOnlyOperands) {
    const char* const argv[] = {"dancer", "-display", ":1", "a.mp3", "-sync", "-",
                                "--",     "-geometry", "--help"};
    const CommandLine command = readCommandLine(9, argv, nullptr, nullptr);
    EXPECT_EQ(command.exitStatus, -1);
    EXPECT_EQ(command.operands, (std::vector<std::string>{"a.mp3", "-", "-geometry", "--help"}));
    EXPECT_EQ(command.glutArgumentCount, 6);
}

TEST(CommandLine, AVideoTakesItsOptionsAndRefusesWhatItCannotMake) {
    struct Case {
        std::vector<const char*> args;
        int exitStatus;
        int width;
        int fps;
    };
    const Case cases[] = {
        {{"--render", "a.MP4", "x.ogg"}, -1, 800, 50},
        {{"--render=a.webm", "--size", "1920x1080", "--fps=30", "--force"}, -1, 1920, 30},
        {{"--render", "a.avi"}, 2, 800, 50},
        {{"--render", "-"}, 2, 800, 50},
        {{"--render", ".mkv"}, 2, 800, 50},
        {{"--render", "a.mkv", "--size", "801x600"}, 2, 800, 50},
        {{"--render", "a.mkv", "--size", "+800x600"}, 2, 800, 50},
        {{"--render", "a.mkv", "--fps", "241"}, 2, 800, 50},
        {{"--render", "a.mkv", "--fps", "0"}, 2, 800, 50},
        {{"--render", "a.mkv", "--fps"}, 2, 800, 50},
        {{"--size", "640x480"}, 2, 640, 50},
        {{"--render", "a.mkv", "--listen"}, 2, 800, 50},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"dancer"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const CommandLine command =
            readCommandLine(static_cast<int>(argv.size()), argv.data(), nullptr, stderr);
        EXPECT_EQ(command.exitStatus, c.exitStatus) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(command.width, c.width) << c.args[0];
        EXPECT_EQ(command.fps, c.fps) << c.args[0];
    }
}

TEST(RenderPlan, TicksFallEvery20MsOfMusicAndEachFrameShowsTheLastTickBeforeIt) {
    // Tick k analyses the 2048 samples before k x 882 at 44100; at 48000, before k x 960.
    EXPECT_EQ(tickEndSample(0, 44100), 0);
    EXPECT_EQ(tickEndSample(51, 44100), 44982);
    EXPECT_EQ(tickEndSample(3 * 3600 * 50, 48000), 3LL * 3600 * 48000);
    // At 30 fps frame 1 (33.3 ms) shows tick 1 (20 ms); frame 3 (100 ms) tick 5; at 240 fps
    // frames 0 to 4 all show tick 0.
    const std::int64_t frames[][3] = {{1, 30, 1}, {3, 30, 5}, {4, 240, 0}, {5, 240, 1},
                                      {7, 1, 350}, {1, 50, 1}};
    for (const auto& f : frames) EXPECT_EQ(tickOfFrame(f[0], static_cast<int>(f[1])), f[2]);
    // A frame's sound starts at the first sample at or after its time.
    EXPECT_EQ(frameStartSample(1, 30, 44100), 1470);
    EXPECT_EQ(frameStartSample(1, 240, 44100), 184);
    EXPECT_EQ(frameStartSample(2, 240, 44100), 368);
    // Every frame whose time falls inside the music: 1 sample makes one frame, 1470 one at 30 fps.
    EXPECT_EQ(framesForSamples(0, 30, 44100), 0);
    EXPECT_EQ(framesForSamples(1, 30, 44100), 1);
    EXPECT_EQ(framesForSamples(1470, 30, 44100), 1);
    EXPECT_EQ(framesForSamples(1471, 30, 44100), 2);
    EXPECT_EQ(framesForSamples(3LL * 3600 * 44100, 50, 44100), 3LL * 3600 * 50);
    EXPECT_EQ(frameMilliseconds(7, 30), 233);
    EXPECT_EQ(clockText(62), "1:02");
    EXPECT_EQ(clockText(3725), "1:02:05");
}

TEST(RenderPlan, TheNameChoosesTheContainerAndTheSizeIsEven) {
    Container container = Container::Mp4;
    EXPECT_TRUE(containerForName("out/dance.WebM", container));
    EXPECT_EQ(container, Container::Webm);
    EXPECT_TRUE(containerForName("a.b/dance.mkv", container));
    EXPECT_EQ(container, Container::Mkv);
    for (const char* bad : {"dance", "dance.mov", "a.mp4/dance", "dir/.mp4", "dance.mp4 "}) {
        EXPECT_FALSE(containerForName(bad, container)) << bad;
    }
    int width = 0;
    int height = 0;
    EXPECT_TRUE(readFrameSize("1920x1080", width, height));
    EXPECT_EQ(width * 10000 + height, 19201080);
    for (const char* bad : {"1920x1081", "14x14", "7682x100", "1920X1080", "1920x", "x1080",
                            "1920x1080x2", " 1920x1080", "-16x16"}) {
        EXPECT_FALSE(readFrameSize(bad, width, height)) << bad;
    }
}

TEST(Glyphs, TheBuiltInCellsAreGlutsTimesRoman10) {
    // Each line as long as GLUT makes it, in whole advances.
    const int lengths[3] = {171, 222, 209};
    for (int line = 0; line < 3; ++line) {
        int length = 0;
        for (const char* c = CREDIT_LINES[line]; *c != '\0'; ++c) {
            length += builtInGlyph(static_cast<unsigned char>(*c)).width;
        }
        EXPECT_EQ(length, lengths[line]) << line;
    }
    // 'l': 4 wide, one byte a row, rows from the bottom: its foot on the baseline (row 3), its
    // stem in the second column, its serif at row 9; below the baseline and above the serif the
    // cell is empty. 'A' with a ring reaches the
    // cell's top row. Codes the font lacks have no width.
    const GlyphCell l = builtInGlyph('l');
    EXPECT_EQ(l.width, 4);
    EXPECT_EQ(l.height, 13);
    EXPECT_EQ(l.descent, 3);
    const std::vector<int> rows(l.bits, l.bits + 13);
    EXPECT_EQ(rows, (std::vector<int>{0, 0, 0, 0xe0, 0x40, 0x40, 0x40, 0x40, 0x40, 0xc0, 0, 0, 0}));
    const GlyphCell ring = builtInGlyph(0xc5);
    EXPECT_NE(ring.bits[12], 0);
    EXPECT_EQ(builtInGlyph('\n').width, 0);
    EXPECT_EQ(builtInGlyph(0x85).width, 0);
}
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutCreateWindow("unit test");
    return RUN_ALL_TESTS();
}
