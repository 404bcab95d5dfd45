#include "overlay/overlay.h"

#include <GL/glut.h>

#include <cstdarg>
#include <cstdio>

namespace {
// GLYPH_HEIGHT, GLYPH_DESCENT, GLYPH_ADVANCE, GLYPH_OFFSET and GLYPH_BITS, made at build time.
#include "times_roman_10.inc"

TextGlyphs glyphSource = TextGlyphs::Glut;

int textLength(const unsigned char* bytes) {
    if (glyphSource == TextGlyphs::Glut) return glutBitmapLength(GLUT_BITMAP_TIMES_ROMAN_10, bytes);
    int length = 0;
    for (const unsigned char* c = bytes; *c != '\0'; ++c) length += GLYPH_ADVANCE[*c];
    return length;
}

void drawGlyphs(const unsigned char* bytes) {
    if (glyphSource == TextGlyphs::Glut) {
        for (const unsigned char* c = bytes; *c != '\0'; ++c) {
            glutBitmapCharacter(GLUT_BITMAP_TIMES_ROMAN_10, *c);
        }
        return;
    }
    // The bitmaps are packed a byte at a time, as GLUT unpacks its own.
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (const unsigned char* c = bytes; *c != '\0'; ++c) {
        const GlyphCell glyph = builtInGlyph(*c);
        glBitmap(glyph.width, glyph.height, 0, static_cast<float>(glyph.descent),
                 static_cast<float>(glyph.width), 0, glyph.bits);
    }
    glPopClientAttrib();
}
}  // namespace

void useTextGlyphs(TextGlyphs glyphs) {
    glyphSource = glyphs;
}

GlyphCell builtInGlyph(unsigned char code) {
    return {GLYPH_ADVANCE[code], GLYPH_HEIGHT, GLYPH_DESCENT, GLYPH_BITS + GLYPH_OFFSET[code]};
}

void drawText(int width, int height, float x, float y, const char* format, ...) {
    if (format == nullptr) return;
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
    const int length = textLength(bytes);
    // The raster colour is latched here, so the caller's colour must already be set.
    glRasterPos2f(x - length * 0.5f, y + 5);
    drawGlyphs(bytes);

    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}
