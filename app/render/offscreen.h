// app/render/offscreen.h: an OpenGL context with no window and no display, through EGL: Mesa's
// software renderer, or a GPU where one answers. The thread that opens it draws with it.
#pragma once
#include <string>

// Makes a compatibility-profile context current on the calling thread, drawing into a framebuffer
// of `width` x `height` pixels with depth, as a window with GLUT_RGB | GLUT_DEPTH would. False,
// with why in `why`, when there is none to be had. Unless LP_NUM_THREADS says otherwise, Mesa's
// software renderer rasterises on the calling thread, with threads only for cores beyond two.
bool openOffscreen(int width, int height, std::string& why);
// Copies what was drawn into `rgba`: width x height x 4 bytes, rows from the bottom.
void readOffscreen(unsigned char* rgba);
// Lets the context and its framebuffer go.
void closeOffscreen();
