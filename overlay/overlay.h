// overlay/overlay.h: bitmap text over the finished scene, placed in pixels from the window centre.
#pragma once

// Formats like printf, cuts the result to 259 bytes and draws it in GLUT's 10-pixel Times Roman,
// centred on x with its baseline 5 pixels below y; x, y in pixels from the window's centre, y down.
// Expects the modelview mode current and lighting and colour set; leaves both matrix stacks and the
// mode as it found them. A null format draws nothing and touches no GL state.
void drawText(float x, float y, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The credit block: three lines centred CREDIT_X pixels right of the window's centre, at CREDIT_Y
// pixels below it, which puts them in the lower right corner of an 800 by 800 window.
constexpr float CREDIT_X = 250;
constexpr float CREDIT_Y[3] = {375, 385, 395};
constexpr const char* CREDIT_LINES[3] = {
    "Copyright (c) 2026 the dancer developers.",
    "All rights reserved; no copying without their consent.",
    "Written by the dancer developers in December 2026",
};
