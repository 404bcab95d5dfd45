#include "app/x11_window.h"

#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

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
