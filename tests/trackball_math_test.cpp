// The trackball's geometry, without a window: the dome, the turn a drag makes, and the
// re-orthonormalisation that keeps a long spin a pure rotation.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "trackball/trackball_math.h"

namespace {

double length(const Vec3& v) {
    return std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
}

TEST(ProjectToSphere, WorkedPointsOfAnEightHundredWindow) {
    EXPECT_EQ(projectToSphere(400, 400, 800, 800), (Vec3{0, 0, 1}));

    const Vec3 right = projectToSphere(600, 400, 800, 800);
    EXPECT_NEAR(right[0], 0.57735, 1e-5);
    EXPECT_EQ(right[1], 0);
    EXPECT_NEAR(right[2], 0.81650, 1e-5);

    // On and beyond the rim z is tiny but positive: the point never falls behind the dome.
    const Vec3 corner = projectToSphere(800, 0, 800, 800);
    EXPECT_NEAR(corner[0], 0.70711, 1e-5);
    EXPECT_NEAR(corner[1], 0.70711, 1e-5);
    EXPECT_NEAR(corner[2], 1.27e-9, 0.01e-9);
    const Vec3 leftEdge = projectToSphere(0, 400, 800, 800);
    EXPECT_EQ(leftEdge[0], -1);
    EXPECT_EQ(leftEdge[1], 0);
    EXPECT_NEAR(leftEdge[2], 1.79e-9, 0.01e-9);

    // A drag may leave the window; the point still lands on the rim, as a unit vector.
    for (const Vec3& p : {right, corner, leftEdge, projectToSphere(-3000, 5000, 800, 800)}) {
        EXPECT_NEAR(length(p), 1, 1e-6);
        EXPECT_GT(p[2], 0);
    }
}

TEST(ProjectToSphere, FootprintStretchesToAWideWindow) {
    const Vec3 right = projectToSphere(1200, 300, 1600, 600);
    const Vec3 rightEdge = projectToSphere(1600, 300, 1600, 600);
    EXPECT_NEAR(rightEdge[0], 1, 1e-6);
    EXPECT_NEAR(rightEdge[2], 0, 1e-6);
    // Halfway to the top edge is as far up the dome as halfway to the side.
    EXPECT_EQ(projectToSphere(800, 150, 1600, 600), (Vec3{0, right[0], right[2]}));
}

TEST(ProjectToSphere, WindowWithNoAreaGivesTheDomeTop) {
    EXPECT_EQ(projectToSphere(10, 10, 0, 800), (Vec3{0, 0, 1}));
    EXPECT_EQ(projectToSphere(10, 10, 800, 0), (Vec3{0, 0, 1}));
    EXPECT_EQ(projectToSphere(0, 0, 0, 0), (Vec3{0, 0, 1}));
}

TEST(DragTurn, WorkedDragFromTheCentreToTheRight) {
    const Vec3 from = projectToSphere(400, 400, 800, 800);
    const Vec3 to = projectToSphere(600, 400, 800, 800);
    EXPECT_NEAR(dragAngle(from, to), 54.52, 0.005);
    const Vec3 axis = dragAxis(from, to);
    EXPECT_EQ(axis[0], 0);
    EXPECT_NEAR(axis[1], 0.57735, 1e-5);
    EXPECT_EQ(axis[2], 0);

    // A movement that goes nowhere is no turn at all, with an exactly zero axis.
    EXPECT_EQ(dragAngle(to, to), 0);
    EXPECT_EQ(dragAxis(to, to), (Vec3{0, 0, 0}));
}

using Matrix = std::array<float, 16>;

// What the GL matrix stack computes for glLoadIdentity, glRotatef, glMultMatrixf and a read-back:
// the rotation times the matrix, every product rounded to float.
void foldInFloats(Matrix& m, const std::array<float, 9>& rotationRows) {
    Matrix result = m;
    for (int col = 0; col < 4; ++col) {
        for (int row = 0; row < 3; ++row) {
            result[4 * col + row] = rotationRows[3 * row] * m[4 * col] +
                                    rotationRows[3 * row + 1] * m[4 * col + 1] +
                                    rotationRows[3 * row + 2] * m[4 * col + 2];
        }
    }
    m = result;
}

// glRotatef's matrix, rows first, built in floats like a driver does.
std::array<float, 9> rotationRows(float degrees, Vec3 axis) {
    const float n = static_cast<float>(length(axis));
    const float x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    const float radians = degrees * static_cast<float>(M_PI / 180);
    const float c = std::cos(radians), s = std::sin(radians), t = 1 - c;
    return {x * x * t + c,     x * y * t - z * s, x * z * t + y * s,
            y * x * t + z * s, y * y * t + c,     y * z * t - x * s,
            z * x * t - y * s, z * y * t + x * s, z * z * t + c};
}

void expectRotation(const Matrix& m, double tolerance) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double rowDot = 0;
            for (int k = 0; k < 3; ++k) rowDot += double(m[4 * k + i]) * m[4 * k + j];
            EXPECT_NEAR(rowDot, i == j ? 1 : 0, tolerance) << "R Rt at " << i << "," << j;
        }
    }
    const double det = double(m[0]) * (double(m[5]) * m[10] - double(m[9]) * m[6]) -
                       double(m[4]) * (double(m[1]) * m[10] - double(m[9]) * m[2]) +
                       double(m[8]) * (double(m[1]) * m[6] - double(m[5]) * m[2]);
    EXPECT_NEAR(det, 1, tolerance);
}

TEST(Orthonormalize, TenMillionFoldsOfADragStayARotation) {
    // A small, slanted drag: about half a degree per frame about a tilted axis.
    const Vec3 from = projectToSphere(400, 400, 800, 800);
    const Vec3 to = projectToSphere(403, 398, 800, 800);
    const auto rotation = rotationRows(dragAngle(from, to), dragAxis(from, to));

    Matrix m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int frame = 0; frame < 10'000'000; ++frame) {
        foldInFloats(m, rotation);
        orthonormalizeRotation(m.data());
    }
    expectRotation(m, 1e-5);
}

}  // namespace
