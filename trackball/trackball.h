// trackball/trackball.h: turns left-button drags into an accumulated rotation of the figure.
// Everything runs on the GLUT thread and needs a current GL context.
#pragma once
#include "trackball/trackball_math.h"

// Window size in pixels, as last reported by reshape.
void setWindowSize(int width, int height);
// Press of `button` at window pixel (x, y), at GLUT elapsed time `timeMs`. Keeps the current turn,
// so a press during a spin spins on until the first movement.
void beginDrag(int x, int y, int button, int timeMs);
// Pointer at window pixel (x, y) during a drag: the turn from the last point becomes the turn
// applied every frame. Does nothing when no drag is in progress.
void dragTo(int x, int y);
// Release at GLUT elapsed time `timeMs`: in the same millisecond as the last press or movement the
// figure spins on; otherwise it stops.
void endDrag(int timeMs);
// The idle callback while spinning: asks for another frame.
void spinIdle();
// The accumulated rotation becomes the identity. Leaves the modelview matrix as it found it.
void resetObjectRotation();
// Folds this frame's turn into the accumulated rotation and multiplies that onto the modelview.
void applyObjectRotation();
