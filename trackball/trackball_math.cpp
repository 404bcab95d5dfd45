#include "trackball/trackball_math.h"

#include <cmath>

namespace {

// A hair under half pi, so the dome's rim and everything outside it keep a tiny positive z
// (about 1.8e-9) and stay on the viewer's side.
constexpr double HALF_PI_APPROX = 1.570796325;

using Vec3d = std::array<double, 3>;

double dot(const Vec3d& a, const Vec3d& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3d normalized(const Vec3d& v) {
    const double length = std::sqrt(dot(v, v));
    return {v[0] / length, v[1] / length, v[2] / length};
}

Vec3d column(const float matrix[16], int index) {
    return {matrix[4 * index], matrix[4 * index + 1], matrix[4 * index + 2]};
}

void setColumn(float matrix[16], int index, const Vec3d& v) {
    for (int row = 0; row < 3; ++row) matrix[4 * index + row] = static_cast<float>(v[row]);
}

// a minus its part along the unit vector u.
Vec3d withoutPartAlong(const Vec3d& a, const Vec3d& u) {
    const double along = dot(a, u);
    return {a[0] - along * u[0], a[1] - along * u[1], a[2] - along * u[2]};
}

}  // namespace

Vec3 projectToSphere(int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return {0, 0, 1};
    // A non-square window squeezes the dome's footprint into an ellipse that fills it.
    const double vx = (2.0 * x - width) / width;
    const double vy = (height - 2.0 * y) / height;
    const double d = std::fmin(std::sqrt(vx * vx + vy * vy), 1.0);
    const Vec3d onDome = normalized({vx, vy, std::cos(d * HALF_PI_APPROX)});
    return {static_cast<float>(onDome[0]), static_cast<float>(onDome[1]),
            static_cast<float>(onDome[2])};
}

float dragAngle(const Vec3& from, const Vec3& to) {
    const Vec3d chord{double(to[0]) - from[0], double(to[1]) - from[1], double(to[2]) - from[2]};
    return static_cast<float>(90 * std::sqrt(dot(chord, chord)));
}

Vec3 dragAxis(const Vec3& from, const Vec3& to) {
    return {from[1] * to[2] - from[2] * to[1], from[2] * to[0] - from[0] * to[2],
            from[0] * to[1] - from[1] * to[0]};
}

void orthonormalizeRotation(float matrix[16]) {
    const Vec3d x = normalized(column(matrix, 0));
    const Vec3d y = normalized(withoutPartAlong(column(matrix, 1), x));
    const Vec3d z = normalized(withoutPartAlong(withoutPartAlong(column(matrix, 2), x), y));
    setColumn(matrix, 0, x);
    setColumn(matrix, 1, y);
    setColumn(matrix, 2, z);
}
