// app/handlers.h: the GLUT callbacks. Each translates its event and hands it to the module that
// decides; all run on the GLUT thread.
#pragma once

// Draws one frame: camera 8 units back, the trackball's turn, the figure upright and lowered by
// 0.65, then the overlay.
void display();
// New window size in pixels; keeps a 60 degree vertical field. A zero height keeps the old projection.
void reshape(int width, int height);
// The window moved, to x, y in pixels (GLUT's position handler).
void moved(int x, int y);
// q, Q and Esc end the process with status 0; f toggles full screen; space pauses and resumes the
// music; i shows the names of the track playing; every other key is ignored.
void keyboard(unsigned char key, int x, int y);
// Mouse button press or release at window pixel (x, y), origin top left.
void mouse(int button, int state, int x, int y);
// Pointer movement with a button held, window pixels.
void motion(int x, int y);
// Pointer movement with no button held: it shows again where it was hidden.
void passiveMotion(int x, int y);
// Keys without a character: Right and Left arrows go to the next and previous track, F11 toggles
// full screen (through the window manager, or by covering the screen where there is none).
void special(int key, int x, int y);
