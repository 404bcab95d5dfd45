// The figure drawn in a real GL context, with every GLU shape call recorded together with the
// modelview matrix it was drawn under (the shape calls are wrapped at link time).
#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "figure/figure.h"
#include "motion/motion_state.h"

namespace {

enum class Kind { Ball, Tube, Cone, Disc };

struct Shape {
    Kind kind;
    GLUquadric* quadric;
    double radius1, radius2, length;  // a ball or disc has radius1 == radius2 and length 0
    int slices, stacks;
    std::array<double, 16> modelview;

    std::array<double, 3> origin() const { return {modelview[12], modelview[13], modelview[14]}; }
};

std::vector<Shape> recorded;

void record(Kind kind, GLUquadric* q, double r1, double r2, double length, int slices, int stacks) {
    Shape shape{kind, q, r1, r2, length, slices, stacks, {}};
    glGetDoublev(GL_MODELVIEW_MATRIX, shape.modelview.data());
    recorded.push_back(shape);
}

}  // namespace

extern "C" {
void __real_gluSphere(GLUquadric*, GLdouble, GLint, GLint);
void __real_gluCylinder(GLUquadric*, GLdouble, GLdouble, GLdouble, GLint, GLint);
void __real_gluDisk(GLUquadric*, GLdouble, GLdouble, GLint, GLint);

void __wrap_gluSphere(GLUquadric* q, GLdouble radius, GLint slices, GLint stacks) {
    record(Kind::Ball, q, radius, radius, 0, slices, stacks);
    __real_gluSphere(q, radius, slices, stacks);
}
void __wrap_gluCylinder(GLUquadric* q, GLdouble base, GLdouble top, GLdouble height, GLint slices,
                        GLint stacks) {
    record(base == 0 ? Kind::Cone : Kind::Tube, q, base, top, height, slices, stacks);
    __real_gluCylinder(q, base, top, height, slices, stacks);
}
void __wrap_gluDisk(GLUquadric* q, GLdouble inner, GLdouble outer, GLint slices, GLint loops) {
    EXPECT_EQ(inner, 0) << "discs are solid";
    record(Kind::Disc, q, outer, outer, 0, slices, loops);
    __real_gluDisk(q, inner, outer, slices, loops);
}
}

namespace {

// Where each shape falls in the drawing order of the chain torso -> head, arms -> waist -> legs.
enum ShapeIndex {
    HeadBall = 5,
    LeftShoulderBall = 6,
    LeftHandBall = 10,
    RightHandBall = 15,
    PelvisDrum = 17,
    LeftKneeBall = 22,
    LeftConeFoot = 25,
    RightKneeBall = 28,
    RightAnkleBall = 30,
    RightConeFoot = 31,
};

std::vector<Shape> drawPose(double body, double arm, double leftSwing, double rightSwing) {
    bodyPhase = body;
    armPhase = arm;
    leftArmSwing = leftSwing;
    rightArmSwing = rightSwing;
    recorded.clear();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    drawTorso();
    bodyPhase = armPhase = leftArmSwing = rightArmSwing = 0;
    return recorded;
}

void expectAt(const Shape& shape, double x, double y, double z) {
    const auto p = shape.origin();
    EXPECT_NEAR(p[0], x, 5e-4);
    EXPECT_NEAR(p[1], y, 5e-4);
    EXPECT_NEAR(p[2], z, 5e-4);
}

TEST(Figure, RestPosePutsJointsWhereTheyBelong) {
    const auto shapes = drawPose(0, 0, 0, 0);
    ASSERT_EQ(shapes.size(), 32u);
    expectAt(shapes[HeadBall], 0, 0.187, 2.142);
    expectAt(shapes[LeftShoulderBall], -0.693, 0.512, 1.260);
    expectAt(shapes[RightHandBall], -0.079, -1.776, -0.385);
    expectAt(shapes[LeftKneeBall], -0.683, -0.616, -1.819);
    expectAt(shapes[RightAnkleBall], 0.483, -0.129, -3.300);
    expectAt(shapes[RightConeFoot], 0.302, -0.806, -3.300);
}

TEST(Figure, FullPhasesPoseTheOtherExtreme) {
    const auto shapes = drawPose(1, 1, 0, 0);
    ASSERT_EQ(shapes.size(), 32u);
    expectAt(shapes[HeadBall], 0.223, -0.556, 1.930);
    expectAt(shapes[LeftHandBall], 0.152, -1.957, 0.985);
    expectAt(shapes[RightKneeBall], 1.028, -0.416, -1.819);
    expectAt(shapes[LeftConeFoot], -0.664, -0.806, -3.300);
}

TEST(Figure, SwingsLiftBothArmsOutwards) {
    const auto rest = drawPose(0, 0, 0, 0);
    const auto swung = drawPose(0, 0, 45, 45);
    // The left hand moves further to -x, the right one further to +x: the mirrored angle at work.
    EXPECT_LT(swung[LeftHandBall].origin()[0], rest[LeftHandBall].origin()[0] - 0.5);
    EXPECT_GT(swung[RightHandBall].origin()[0], rest[RightHandBall].origin()[0] + 0.5);
}

TEST(Figure, WaistAndLegsIgnoreTheTorsoLean) {
    // The torso leans about x with bodyPhase; the pelvis drum only turns about z with the waist, so
    // its axis stays exactly vertical whatever the phase.
    for (double body : {0.0, 0.5, 1.0, 3.0}) {
        const auto shapes = drawPose(body, 0, 0, 0);
        const auto& m = shapes[PelvisDrum].modelview;
        EXPECT_NEAR(m[8], 0, 1e-12);
        EXPECT_NEAR(m[9], 0, 1e-12);
        EXPECT_NEAR(m[10], 1, 1e-12);
    }
}

TEST(Figure, PhasesOutsideTheirRangeExtendTheAnglesUnclamped) {
    // At bodyPhase 3 the torso leans 25 degrees and twists 150, the neck nods 54 and the head a
    // further 126: the head hangs straight down from the neck ball. A clamp at 1 would put it at
    // (0.223, -0.556, 1.930).
    const auto shapes = drawPose(3, 0, 0, 0);
    expectAt(shapes[HeadBall], 0.243, -0.170, 1.358);
}

TEST(Figure, ThirtyTwoShapesFromThirteenQuadrics) {
    const auto shapes = drawPose(0.3, 0.7, 10, 20);
    std::map<Kind, int> kinds;
    std::set<GLUquadric*> quadrics;
    std::multiset<std::tuple<int, double, double, double, int, int>> sizes;
    for (const auto& s : shapes) {
        ++kinds[s.kind];
        quadrics.insert(s.quadric);
        sizes.insert({static_cast<int>(s.kind), s.radius1, s.radius2, s.length, s.slices, s.stacks});
    }
    EXPECT_EQ(kinds[Kind::Ball], 14);
    EXPECT_EQ(kinds[Kind::Tube], 12);
    EXPECT_EQ(kinds[Kind::Cone], 2);
    EXPECT_EQ(kinds[Kind::Disc], 4);
    EXPECT_EQ(quadrics.size(), 13u);

    const int ball = static_cast<int>(Kind::Ball), tube = static_cast<int>(Kind::Tube);
    const int cone = static_cast<int>(Kind::Cone), disc = static_cast<int>(Kind::Disc);
    const std::multiset<std::tuple<int, double, double, double, int, int>> expected = {
        {tube, 0.5, 0.8, 1.3, 20, 20},   {disc, 0.5, 0.5, 0, 20, 20},     {disc, 0.8, 0.8, 0, 20, 20},
        {tube, 0.2, 0.2, 0.6, 10, 10},   {ball, 0.2, 0.2, 0, 10, 10},     {ball, 0.5, 0.5, 0, 20, 20},
        {tube, 0.3, 0.3, 0.5, 10, 10},   {tube, 0.5, 0.5, 0.5, 20, 20},   {disc, 0.5, 0.5, 0, 20, 20},
        {disc, 0.5, 0.5, 0, 20, 20},     {cone, 0, 0.15, 0.6, 20, 20},    {cone, 0, 0.15, 0.6, 20, 20},
        // Shoulder, elbow and hand; hip, knee and ankle: twelve joint balls.
        {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},
        {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},
        {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},
        {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},   {ball, 0.15, 0.15, 0, 10, 10},
        // Upper arms, forearms, thighs and shins.
        {tube, 0.15, 0.15, 1, 20, 20},   {tube, 0.15, 0.15, 1, 20, 20},   {tube, 0.15, 0.15, 1, 20, 20},
        {tube, 0.15, 0.15, 1, 20, 20},   {tube, 0.15, 0.15, 1, 20, 20},   {tube, 0.15, 0.15, 1, 20, 20},
        {tube, 0.15, 0.15, 1, 20, 20},   {tube, 0.15, 0.15, 1, 20, 20},
    };
    EXPECT_EQ(sizes, expected);
}

TEST(Figure, DrawingLeavesTheMatrixStackAsItFoundIt) {
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslated(0.25, -1, -8);
    glRotated(33, 1, 2, 3);
    std::array<double, 16> before{}, between{}, after{};
    GLint depthBefore = 0, depthAfter = 0;
    glGetDoublev(GL_MODELVIEW_MATRIX, before.data());
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthBefore);
    bodyPhase = 0.4;
    armPhase = 0.9;
    drawTorso();
    glGetDoublev(GL_MODELVIEW_MATRIX, between.data());
    drawTorso();
    glGetDoublev(GL_MODELVIEW_MATRIX, after.data());
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthAfter);
    bodyPhase = armPhase = 0;
    EXPECT_EQ(before, between);
    EXPECT_EQ(before, after);
    EXPECT_EQ(depthBefore, depthAfter);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace
