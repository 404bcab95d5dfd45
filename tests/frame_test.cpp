// The frame's projection rules, checked on the real GL state after each reshape.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "app/handlers.h"

namespace {

std::array<double, 16> projection() {
    std::array<double, 16> m{};
    glGetDoublev(GL_PROJECTION_MATRIX, m.data());
    return m;
}

std::array<int, 4> viewport() {
    std::array<int, 4> v{};
    glGetIntegerv(GL_VIEWPORT, v.data());
    return v;
}

// GL keeps the matrix in floats, hence the tolerances below.
// For a perspective projection m[5] is cot(fovy / 2) and m[0] is that divided by the aspect.
double verticalFieldDegrees(const std::array<double, 16>& m) {
    return 2 * std::atan(1 / m[5]) * 180 / M_PI;
}

TEST(Reshape, WideWindowWidensTheViewButKeepsSixtyDegreesUpright) {
    reshape(800, 800);
    EXPECT_NEAR(verticalFieldDegrees(projection()), 60, 1e-5);
    EXPECT_NEAR(projection()[0], projection()[5], 1e-6);

    reshape(1600, 800);
    const auto wide = projection();
    EXPECT_NEAR(verticalFieldDegrees(wide), 60, 1e-5);
    EXPECT_NEAR(wide[0], wide[5] / 2, 1e-6);
    // Near 1, far 50.
    EXPECT_NEAR(wide[10], -(50.0 + 1) / (50 - 1), 1e-6);
    EXPECT_NEAR(wide[14], -2.0 * 50 * 1 / (50 - 1), 1e-6);
    EXPECT_EQ(viewport(), (std::array<int, 4>{0, 0, 1600, 800}));
}

TEST(Reshape, ZeroHeightKeepsTheProjectionButStillResetsTheRest) {
    reshape(640, 480);
    const auto before = projection();
    glMatrixMode(GL_MODELVIEW);
    glTranslated(1, 2, 3);

    reshape(640, 0);
    EXPECT_EQ(projection(), before);
    for (double v : before) EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(viewport(), (std::array<int, 4>{0, 0, 640, 0}));

    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
    std::array<double, 16> modelview{};
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview.data());
    EXPECT_EQ(modelview, (std::array<double, 16>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
}

}  // namespace
