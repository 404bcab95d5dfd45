#include "overlay/overlay.h"

#include <GL/glut.h>

#include <cstdarg>
#include <cstdio>

void drawText(float x, float y, const char* format, ...) {
    if (format == nullptr) return;
    const int width = glutGet(GLUT_WINDOW_WIDTH);
    const int height = glutGet(GLUT_WINDOW_HEIGHT);
    // Nothing would show, and a flat orthographic box is a GL error.
    if (width <= 0 || height <= 0) return;

    char text[260];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // After an encoding error the buffer's contents are unspecified.
    if (written < 0) text[0] = '\0';

    // One unit per pixel with the origin at the window's centre and y growing downwards.
    const double halfWidth = width / 2.0;
    const double halfHeight = height / 2.0;
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluOrtho2D(-halfWidth, halfWidth, halfHeight, -halfHeight);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const int length = glutBitmapLength(GLUT_BITMAP_TIMES_ROMAN_10, bytes);
    // The raster colour is latched here, so the caller's colour must already be set.
    glRasterPos2f(x - length * 0.5f, y + 5);
    for (const unsigned char* c = bytes; *c != '\0'; ++c) {
        glutBitmapCharacter(GLUT_BITMAP_TIMES_ROMAN_10, *c);
    }

    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}
