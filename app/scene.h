// app/scene.h: the GL state that holds for the whole run.
#pragma once

#include <functional>

// Sets clear colour, depth test, normalisation, the one grey material and the one light. Needs a
// current GL context; once, before anything is drawn, in the window and in a video alike.
void initLighting();
// initLighting, then starts what the window's scene needs besides GL. Call once, before any handler
// runs.
void initScene();
// A viewport of `width` x `height` pixels with the window's 60 degree vertical field; a zero height
// keeps the last projection.
void setProjection(int width, int height);
// Draws one frame into a viewport of `width` x `height` pixels at `nowMs` (the captions' clock, ms):
// camera 8 units back, `turnFigure`'s turn multiplied on, the figure upright and lowered by 0.65,
// then the credits and the caption. The drawing thread.
void drawScene(int width, int height, int nowMs, const std::function<void()>& turnFigure);
