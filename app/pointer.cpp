#include "app/pointer.h"

#include <GL/glut.h>

#include "app/x11_window.h"

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
    const bool fillsScreen = windowFillsScreen();
    if (pointerHidden && !fillsScreen) {
        showPointer(true);
    } else if (!pointerHidden && fillsScreen) {
        showPointer(false);
    }
}
