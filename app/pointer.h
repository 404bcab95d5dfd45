// app/pointer.h: the mouse pointer over the window, out of the way while it rests over the figure
// full screen.
#pragma once

// How long the pointer rests, full screen, before it hides; GLUT milliseconds.
constexpr int POINTER_REST_MS = 2000;

// The pointer moved over the window at `nowMs`: it shows again if it was hidden.
void pointerMoved(int nowMs);
// Each tick: hides the pointer once it has rested POINTER_REST_MS over a window that fills the
// screen, and shows it again when the window no longer does.
void hideRestingPointer(int nowMs);
