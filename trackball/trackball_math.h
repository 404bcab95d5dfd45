// trackball/trackball_math.h: the trackball's geometry, free of any window or GL context.
#pragma once
#include <array>

using Vec3 = std::array<float, 3>;

// A window point (pixels, origin top left, y down) lifted onto the unit dome over a window of
// width x height pixels; a unit vector with z > 0. A window with no area gives (0, 0, 1).
Vec3 projectToSphere(int x, int y, int width, int height);
// Degrees to turn for a drag between two dome points: 90 per unit of straight-line distance.
float dragAngle(const Vec3& from, const Vec3& to);
// Axis of that turn, from x to; not unit length (its length is the sine of the angle between them).
Vec3 dragAxis(const Vec3& from, const Vec3& to);
// Makes the 3x3 rotation part of a column-major 4x4 matrix orthonormal again (Gram-Schmidt in
// double, first column kept in direction); the fourth row and column are left as they are.
void orthonormalizeRotation(float matrix[16]);
