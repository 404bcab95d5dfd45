// The trackball in a real GL context, driven through the GLUT handlers. The clock, the idle
// callback and redisplay requests are intercepted at link time, so the millisecond rules are exact
// and what GLUT was asked to do is visible.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "app/handlers.h"
#include "trackball/trackball.h"

namespace {

void (*installedIdle)() = nullptr;
int redisplayRequests = 0;
int fakeElapsedMs = 0;

}  // namespace

extern "C" {
void __real_glutIdleFunc(void (*callback)());
void __real_glutPostRedisplay();

void __wrap_glutIdleFunc(void (*callback)()) {
    installedIdle = callback;
    __real_glutIdleFunc(callback);
}
void __wrap_glutPostRedisplay() {
    ++redisplayRequests;
    __real_glutPostRedisplay();
}
int __real_glutGet(GLenum what);
int __wrap_glutGet(GLenum what) {
    return what == GLUT_ELAPSED_TIME ? fakeElapsedMs : __real_glutGet(what);
}
}

namespace {

using Matrix = std::array<float, 16>;
const Matrix IDENTITY{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// One frame's fold, read back as the accumulated rotation it leaves on an identity modelview.
Matrix frame() {
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    applyObjectRotation();
    Matrix m{};
    glGetFloatv(GL_MODELVIEW_MATRIX, m.data());
    glPopMatrix();
    return m;
}

// Where the accumulated rotation sends the figure's point nearest the viewer, (0, 0, 1).
std::array<float, 3> nearSide(const Matrix& m) {
    return {m[8], m[9], m[10]};
}

void press(int x, int y) { mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, x, y); }
void release() { mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0); }

class Trackball : public testing::Test {
protected:
    // An 800 by 800 window with the figure unturned and still.
    void SetUp() override {
        reshape(800, 800);
        fakeElapsedMs += 1000;
        press(400, 400);
        fakeElapsedMs += 1;
        release();
        resetObjectRotation();
        redisplayRequests = 0;
        ASSERT_EQ(installedIdle, nullptr);
    }

    // A flick: press, one movement and release in its millisecond.
    void flick(int fromX, int fromY, int toX, int toY) {
        fakeElapsedMs += 100;
        press(fromX, fromY);
        fakeElapsedMs += 10;
        motion(toX, toY);
        release();
    }
};

TEST_F(Trackball, ZeroTurnLeavesTheRotationExactlyTheIdentity) {
    // A movement to the same point gives angle 0 and an axis of exactly (0, 0, 0).
    press(123, 456);
    motion(123, 456);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(frame(), IDENTITY);

    // The rotation stands on the camera translation and leaves the stack as deep as it was.
    GLint depthBefore = 0, depthAfter = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthBefore);
    glLoadIdentity();
    glTranslatef(0, 0, -8);
    applyObjectRotation();
    Matrix m{};
    glGetFloatv(GL_MODELVIEW_MATRIX, m.data());
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthAfter);
    EXPECT_EQ(m, (Matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -8, 1}));
    EXPECT_EQ(depthAfter, depthBefore);
}

TEST_F(Trackball, LeftToRightDragTurnsTheNearSideRightAndKeepsTurningWhileHeld) {
    press(400, 400);
    motion(600, 400);
    const double degrees = 54.52;
    const Matrix once = frame();
    // A turn about the vertical axis: up stays up, the near side swings to the right.
    EXPECT_NEAR(once[4], 0, 1e-6);
    EXPECT_NEAR(once[5], 1, 1e-6);
    EXPECT_NEAR(once[6], 0, 1e-6);
    EXPECT_NEAR(nearSide(once)[0], std::sin(degrees * M_PI / 180), 1e-4);
    EXPECT_NEAR(nearSide(once)[2], std::cos(degrees * M_PI / 180), 1e-4);

    // Holding the button still applies the same turn again on the next frame.
    const Matrix twice = frame();
    EXPECT_NEAR(nearSide(twice)[0], std::sin(2 * degrees * M_PI / 180), 1e-4);
    EXPECT_NEAR(nearSide(twice)[2], std::cos(2 * degrees * M_PI / 180), 1e-4);
}

TEST_F(Trackball, LaterTurnsActAboutTheViewersAxesNotTheFigures) {
    // Close to a quarter turn to the right.
    press(400, 400);
    motion(690, 400);
    const Matrix turned = frame();
    fakeElapsedMs += 1;
    release();
    // The point of the figure that now faces the viewer.
    const std::array<float, 3> facing{turned[2], turned[6], turned[10]};

    // An upward drag tips whatever faces the viewer upwards, however the figure was turned before.
    // Folded in on the figure's side instead, it would tip the figure about its own x axis, which
    // now points away from the viewer, and what faces the viewer would not move.
    press(400, 400);
    motion(400, 200);
    const Matrix m = frame();
    std::array<double, 3> seen{};
    for (int row = 0; row < 3; ++row) {
        seen[row] = m[row] * facing[0] + m[4 + row] * facing[1] + m[8 + row] * facing[2];
    }
    const double degrees = 54.52;
    EXPECT_NEAR(seen[0], 0, 1e-4);
    EXPECT_NEAR(seen[1], std::sin(degrees * M_PI / 180), 1e-4);
    EXPECT_NEAR(seen[2], std::cos(degrees * M_PI / 180), 1e-4);
}

TEST_F(Trackball, LongSpinStaysARotation) {
    // Without re-orthonormalising, Mesa's float folds grow the figure by about 0.35% in 65,000 frames.
    flick(400, 400, 403, 398);
    Matrix m{};
    for (int i = 0; i < 100'000; ++i) m = frame();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double dot = 0;
            for (int k = 0; k < 3; ++k) dot += double(m[4 * k + i]) * m[4 * k + j];
            EXPECT_NEAR(dot, i == j ? 1 : 0, 1e-5) << i << "," << j;
        }
    }
}

TEST_F(Trackball, ReleaseInTheSameMillisecondSpinsOn) {
    flick(400, 400, 500, 400);
    EXPECT_EQ(installedIdle, &spinIdle);
    const Matrix first = frame();
    const Matrix second = frame();
    EXPECT_NE(first, IDENTITY);
    EXPECT_NE(second, first);

    const int before = redisplayRequests;
    installedIdle();
    EXPECT_EQ(redisplayRequests, before + 1);
}

TEST_F(Trackball, ReleaseInALaterMillisecondStops) {
    flick(400, 400, 500, 400);
    press(500, 400);
    motion(520, 400);
    fakeElapsedMs += 1;
    release();
    EXPECT_EQ(installedIdle, nullptr);
    const Matrix stopped = frame();
    EXPECT_EQ(frame(), stopped);
}

TEST_F(Trackball, PressDuringASpinSpinsOnUntilTheFirstMovement) {
    flick(400, 400, 500, 400);
    fakeElapsedMs += 50;
    press(300, 300);
    EXPECT_EQ(installedIdle, &spinIdle);
    const Matrix held = frame();
    EXPECT_NE(frame(), held);

    // The first movement replaces the turn: here with none.
    motion(300, 300);
    const Matrix stilled = frame();
    EXPECT_EQ(frame(), stilled);
    fakeElapsedMs += 1;
    release();
    EXPECT_EQ(installedIdle, nullptr);
}

TEST_F(Trackball, ClickWithoutMovementInOneMillisecondInstallsIdleButTurnsNothing) {
    press(400, 400);
    release();
    EXPECT_EQ(installedIdle, &spinIdle);
    EXPECT_EQ(frame(), IDENTITY);
    fakeElapsedMs += 1;
    press(400, 400);
    fakeElapsedMs += 1;
    release();
    EXPECT_EQ(installedIdle, nullptr);
}

TEST_F(Trackball, RightAndMiddleButtonsStartNothingButAskForAFrame) {
    press(400, 400);
    fakeElapsedMs += 1;
    release();
    EXPECT_EQ(redisplayRequests, 2) << "the left button asks for one on press and release";

    for (int button : {GLUT_RIGHT_BUTTON, GLUT_MIDDLE_BUTTON}) {
        redisplayRequests = 0;
        mouse(button, GLUT_DOWN, 400, 400);
        motion(600, 400);
        mouse(button, GLUT_UP, 600, 400);
        EXPECT_EQ(redisplayRequests, 3) << button;
        EXPECT_EQ(frame(), IDENTITY) << button;
        EXPECT_EQ(installedIdle, nullptr) << button;
    }

    // Nor do they end a left drag or a spin.
    flick(400, 400, 500, 400);
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 500, 400);
    fakeElapsedMs += 5;
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 500, 400);
    EXPECT_EQ(installedIdle, &spinIdle);
    const Matrix spinning = frame();
    EXPECT_NE(frame(), spinning);
}

}  // namespace
