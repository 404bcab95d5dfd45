// app/chores.h: the frame's work on each tick beside the dance: the session bus, the captions, the
// pointer at rest and the screen kept awake.
#pragma once

// Handed to the motion driver's tick (setTickChores). GLUT thread.
void doFrameChores();
