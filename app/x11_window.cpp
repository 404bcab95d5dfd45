#include "app/x11_window.h"

#include <GL/glut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

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

// The values of a 32-bit property of `of`, of `type` (windows, atoms), up to 1024 of them.
std::vector<unsigned long> propertyValues(Display* display, Window of, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long left = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display, of, property, 0, 1024, False, type, &actualType, &format,
                           &count, &left, &data) == Success &&
        data != nullptr) {
        // Xlib hands 32-bit values over as longs.
        if (format == 32) values.assign(reinterpret_cast<unsigned long*>(data),
                                        reinterpret_cast<unsigned long*>(data) + count);
        XFree(data);
    }
    return values;
}

// The window a WINDOW property of `of` names, or None.
Window namedWindow(Display* display, Window of, Atom property) {
    const std::vector<unsigned long> windows = propertyValues(display, of, property, XA_WINDOW);
    return windows.size() == 1 ? windows[0] : None;
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
    const std::vector<unsigned long> features = propertyValues(
        display, DefaultRootWindow(display), XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    return std::find(features.begin(), features.end(), feature) != features.end();
}

// The window's place and size before it covered the screen: x, y, width, height in pixels.
int windowedGeometry[4] = {};
bool coveringScreen = false;

// Whether the window fills the screen or one of its monitors, as the X server last told it;
// asked again after the window's geometry changes, not every tick.
bool fillsAMonitor = false;
bool fillingKnown = false;

struct Area {
    int x, y;  // pixels from the screen's top left
    int width, height;
};

// The whole screen, and the monitors on it where the server knows them (RandR 1.5).
// A window's size and place in its parent, and the root window above it; false if it has gone.
bool geometryOf(Display* display, Window window, Area& area, Window& root) {
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    if (!XGetGeometry(display, window, &root, &area.x, &area.y, &width, &height, &border,
                      &depth)) {
        return false;
    }
    area.width = static_cast<int>(width);
    area.height = static_cast<int>(height);
    return true;
}

std::vector<Area> screenAndMonitors(Display* display, Window root) {
    Area screen{0, 0, 0, 0};
    Window none = None;
    geometryOf(display, root, screen, none);
    std::vector<Area> areas{{0, 0, screen.width, screen.height}};
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || (major == 1 && minor < 5)) {
        return areas;
    }
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    for (int i = 0; i < count; ++i) {
        areas.push_back({monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height});
    }
    if (monitors != nullptr) XRRFreeMonitors(monitors);
    return areas;
}

bool coversAMonitor(Display* display, Window window) {
    Window root = None;
    Area shown{0, 0, 0, 0};
    if (!geometryOf(display, window, shown, root)) return false;
    // Where the window is on the screen, whatever frame a window manager put it in.
    Window child = None;
    XTranslateCoordinates(display, window, root, 0, 0, &shown.x, &shown.y, &child);
    const std::vector<Area> areas = screenAndMonitors(display, root);
    return std::any_of(areas.begin(), areas.end(), [&](const Area& area) {
        return area.width > 0 && shown.x <= area.x && shown.y <= area.y &&
               shown.x + shown.width >= area.x + area.width &&
               shown.y + shown.height >= area.y + area.height;
    });
}

// The window covers the screen itself, to go back to x, y, width by height.
void coverScreenFrom(int x, int y, int width, int height) {
    coveringScreen = true;
    windowedGeometry[0] = x;
    windowedGeometry[1] = y;
    windowedGeometry[2] = width;
    windowedGeometry[3] = height;
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
    if (!askWindowManager(display, window, 1)) coverScreenFrom(x, y, width, height);
}

void toggleFullScreen() {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (display == nullptr || window == 0) return;
    if (!coveringScreen && askWindowManager(display, window, 2)) return;
    // NOTE: freeglut's own way for this case moves the window off the screen by its old position.
    if (!coveringScreen) {
        coverScreenFrom(glutGet(GLUT_WINDOW_X), glutGet(GLUT_WINDOW_Y), glutGet(GLUT_WINDOW_WIDTH),
                        glutGet(GLUT_WINDOW_HEIGHT));
        return;
    }
    coveringScreen = false;
    glutPositionWindow(windowedGeometry[0], windowedGeometry[1]);
    glutReshapeWindow(windowedGeometry[2], windowedGeometry[3]);
}

void windowGeometryChanged() {
    fillingKnown = false;
}

bool windowFillsScreen() {
    if (fillingKnown) return fillsAMonitor;
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (display == nullptr || window == 0) return false;
    fillingKnown = true;
    fillsAMonitor = coversAMonitor(display, window);
    return fillsAMonitor;
}

void suspendScreenSaver(bool suspend) {
    Display* display = glXGetCurrentDisplay();
    int eventBase = 0;
    int errorBase = 0;
    if (display == nullptr || !XScreenSaverQueryExtension(display, &eventBase, &errorBase)) return;
    // The server counts suspensions per client and ends them when the client goes.
    XScreenSaverSuspend(display, suspend ? True : False);
    XFlush(display);
}
