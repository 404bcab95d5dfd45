// app/x11_window.h: what GLUT does not tell, or does not do right with, the X window manager.
#pragma once

// Sets _NET_WM_NAME and _NET_WM_ICON_NAME to the UTF-8 title and WM_CLASS to ("dancer", "Dancer") on
// the window of the current GLX context. GLUT hands the title over as Latin-1 only, which shows
// Cyrillic as mojibake.
void describeWindowToWindowManager(const char* utf8Title);
// Full screen and back. Where a window manager runs and offers it (_NET_WM_STATE_FULLSCREEN), it is
// asked; without one the window covers the screen itself, and then goes back where it was.
void toggleFullScreen();
// Full screen from the start, the same way, as soon as the window is made. Toggled back, it goes to
// x, y (pixels from the screen's top left), width by height.
void startFullScreen(int x, int y, int width, int height);
// Whether the window covers the whole screen or one of its monitors (RandR's), however it came
// to; the X server is asked only after windowGeometryChanged. GLUT thread.
bool windowFillsScreen();
// The window was resized or moved (GLUT's reshape and position handlers). GLUT thread.
void windowGeometryChanged();
// Keeps the X server's screen saver from blanking for idleness (true), or lets it again.
void suspendScreenSaver(bool suspend);
