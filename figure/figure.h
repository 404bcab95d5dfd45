// figure/figure.h: the dancer, a chain of GLU quadrics posed from the motion state.
#pragma once

// Draws the whole figure in the current modelview frame (body axis +z, front -y, scene units).
// Leaves the modelview matrix and its stack depth as it found them.
void drawTorso();
// From now on, draws each shape from a display list made the first time instead of having GLU make
// it anew every frame: the same pixels at less cost. Drawing thread, with its context current.
void keepFigureShapes();

// The segments below it in the chain; each poses its joint, draws, then calls the next one down.
void drawHeadAndNeck();
void drawLeftArm();
void drawRightArm();
void drawForearm();
void drawWaist();
void drawPelvis();
void drawLeftThigh();
void drawRightThigh();
void drawLeftShin();
void drawRightShin();
void drawFoot();
