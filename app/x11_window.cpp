#include "app/x11_window.h"

#include <GL/glut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

void describeWindowToWindowManager(const char* utf8Title) {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (display == nullptr || window == 0) {
        return;
    }
    const Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8Title);
    const int length = static_cast<int>(std::strlen(utf8Title));
    for (const char* property : {"_NET_WM_NAME", "_NET_WM_ICON_NAME"}) {
        XChangeProperty(display, window, XInternAtom(display, property, False), utf8String, 8,
                        PropModeReplace, bytes, length);
    }

    char resName[] = "dancer";
    char resClass[] = "Dancer";
    XClassHint classHint{resName, resClass};
    XSetClassHint(display, window, &classHint);
    XFlush(display);
}

namespace {
bool windowGone = false;  // set by noteWindowGone while a window that may be gone is asked about

int noteWindowGone(Display*, XErrorEvent*) {
    windowGone = true;
    return 0;
}

// The window a WINDOW property of `of` names, or None.
Window namedWindow(Display* display, Window of, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long left = 0;
    unsigned char* data = nullptr;
    Window named = None;
    if (XGetWindowProperty(display, of, property, 0, 1, False, XA_WINDOW, &type, &format, &count,
                           &left, &data) == Success &&
        data != nullptr) {
        if (count == 1 && format == 32) named = *reinterpret_cast<Window*>(data);
        XFree(data);
    }
    return named;
}

// A window manager runs where the root names its check window and that window, still there, names
// itself. What a window manager writes on the root outlives it when it crashes: a request sent
// then would go to no one.
bool windowManagerRuns(Display* display) {
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const Window named = namedWindow(display, DefaultRootWindow(display), check);
    if (named == None) return false;
    // Asking a window that is gone is an X error, which would otherwise end the program.
    XSync(display, False);
    windowGone = false;
    const XErrorHandler previous = XSetErrorHandler(noteWindowGone);
    const Window self = namedWindow(display, named, check);
    XSync(display, False);
    XSetErrorHandler(previous);
    return !windowGone && self == named;
}

bool windowManagerOffers(Display* display, Atom feature) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long left = 0;
    unsigned char* data = nullptr;
    const Atom supported = XInternAtom(display, "_NET_SUPPORTED", False);
    if (XGetWindowProperty(display, DefaultRootWindow(display), supported, 0, 1024, False, XA_ATOM,
                           &type, &format, &count, &left, &data) != Success ||
        data == nullptr) {
        return false;
    }
    const Atom* features = reinterpret_cast<const Atom*>(data);
    const bool offered = std::find(features, features + count, feature) != features + count;
    XFree(data);
    return offered;
}

// The window's place and size before it covered the screen: x, y, width, height in pixels.
int windowedGeometry[4] = {};
bool coveringScreen = false;

void coverScreen() {
    glutPositionWindow(0, 0);
    glutReshapeWindow(glutGet(GLUT_SCREEN_WIDTH), glutGet(GLUT_SCREEN_HEIGHT));
}

// Asks the window manager, where one runs and offers it, to add (1) or toggle (2) full screen.
bool askWindowManager(Display* display, Window window, long action) {
    const Atom fullScreen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
    if (!windowManagerRuns(display) || !windowManagerOffers(display, fullScreen)) return false;
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = window;
    request.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    request.xclient.format = 32;
    request.xclient.data.l[0] = action;
    request.xclient.data.l[1] = static_cast<long>(fullScreen);
    request.xclient.data.l[3] = 1;  // asked for by the application
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &request);
    XFlush(display);
    return true;
}
}  // namespace

void startFullScreen(int x, int y, int width, int height) {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (display == nullptr || window == 0) return;
    if (askWindowManager(display, window, 1)) return;
    coveringScreen = true;
    windowedGeometry[0] = x;
    windowedGeometry[1] = y;
    windowedGeometry[2] = width;
    windowedGeometry[3] = height;
    coverScreen();
}

void toggleFullScreen() {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (display == nullptr || window == 0) return;
    if (!coveringScreen && askWindowManager(display, window, 2)) return;
    // NOTE: freeglut's own way for this case moves the window off the screen by its old position.
    coveringScreen = !coveringScreen;
    if (coveringScreen) {
        windowedGeometry[0] = glutGet(GLUT_WINDOW_X);
        windowedGeometry[1] = glutGet(GLUT_WINDOW_Y);
        windowedGeometry[2] = glutGet(GLUT_WINDOW_WIDTH);
        windowedGeometry[3] = glutGet(GLUT_WINDOW_HEIGHT);
        coverScreen();
    } else {
        glutPositionWindow(windowedGeometry[0], windowedGeometry[1]);
        glutReshapeWindow(windowedGeometry[2], windowedGeometry[3]);
    }
}
