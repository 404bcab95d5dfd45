// overlay/overlay.h: bitmap text over the finished scene, placed in pixels from the window centre.
#pragma once

// Where drawText's glyphs come from: GLUT's 10-pixel Times Roman, in the window; or, where there is
// no GLUT (a video), the same font's glyphs built into the program at build time from the X bitmap
// font GLUT's was made from, drawn as GLUT draws its own, which gives the credits the same pixels.
enum class TextGlyphs { Glut, BuiltIn };
// Chooses the glyphs for every later drawText; GLUT's until then. The drawing thread.
void useTextGlyphs(TextGlyphs glyphs);

// One built-in glyph as glBitmap takes it: a cell `width` pixels wide (its advance) and `height`
// high, `descent` of them below the baseline, rows from the bottom, (width + 7) / 8 bytes a row,
// the leftmost pixel in the top bit. A code the font lacks has width 0.
struct GlyphCell {
    int width;
    int height;
    int descent;
    const unsigned char* bits;
};
GlyphCell builtInGlyph(unsigned char code);

// Formats like printf, cuts the result to 259 bytes and draws it in the 10-pixel Times Roman,
// centred on x with its baseline 5 pixels below y; x, y in pixels from the centre of a viewport of
// `width` x `height` pixels, y down. Expects the modelview mode current and lighting and colour
// set; leaves both matrix stacks and the mode as it found them. A null format draws nothing and
// touches no GL state.
void drawText(int width, int height, float x, float y, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// The credit block: three lines centred CREDIT_X pixels right of the window's centre, at CREDIT_Y
// pixels below it, which puts them in the lower right corner of an 800 by 800 window.
constexpr float CREDIT_X = 250;
constexpr float CREDIT_Y[3] = {375, 385, 395};
constexpr const char* CREDIT_LINES[3] = {
    "Copyright (c) 2026 the dancer developers.",
    "All rights reserved; no copying without their consent.",
    "Written by the dancer developers in December 2026",
};
