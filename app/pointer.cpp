#include "app/pointer.h"

#include <GL/glut.h>

namespace {
int lastMoveMs = 0;  // GLUT ms
bool pointerHidden = false;

void showPointer(bool shown) {
    glutSetCursor(shown ? GLUT_CURSOR_INHERIT : GLUT_CURSOR_NONE);
    pointerHidden = !shown;
}
}  // namespace

void pointerMoved(int nowMs) {
    lastMoveMs = nowMs;
    if (pointerHidden) showPointer(true);
}

void hideRestingPointer(int nowMs) {
    // Most ticks the pointer shows and has moved lately: nothing to ask of GLUT.
    if (!pointerHidden && nowMs - lastMoveMs < POINTER_REST_MS) return;
    const bool fillsScreen = glutGet(GLUT_WINDOW_WIDTH) >= glutGet(GLUT_SCREEN_WIDTH) &&
                             glutGet(GLUT_WINDOW_HEIGHT) >= glutGet(GLUT_SCREEN_HEIGHT);
    if (pointerHidden && !fillsScreen) {
        showPointer(true);
    } else if (!pointerHidden && fillsScreen) {
        showPointer(false);
    }
}
