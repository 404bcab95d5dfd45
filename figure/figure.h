// figure/figure.h: the dancer, a chain of GLU quadrics posed from the motion state.
#pragma once

// Draws the whole figure in the current modelview frame (body axis +z, front -y, scene units).
// Leaves the modelview matrix and its stack depth as it found them.
void drawTorso();

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
