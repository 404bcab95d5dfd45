#include "app/render/offscreen.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
EGLDisplay display = EGL_NO_DISPLAY;
EGLContext context = EGL_NO_CONTEXT;
GLuint framebuffer = 0;
GLuint renderbuffers[2] = {0, 0};  // colour, depth
int frameWidth = 0;                // pixels
int frameHeight = 0;               // pixels

PFNGLGENFRAMEBUFFERSPROC genFramebuffers;
PFNGLBINDFRAMEBUFFERPROC bindFramebuffer;
PFNGLGENRENDERBUFFERSPROC genRenderbuffers;
PFNGLBINDRENDERBUFFERPROC bindRenderbuffer;
PFNGLRENDERBUFFERSTORAGEPROC renderbufferStorage;
PFNGLFRAMEBUFFERRENDERBUFFERPROC framebufferRenderbuffer;
PFNGLCHECKFRAMEBUFFERSTATUSPROC checkFramebufferStatus;
PFNGLDELETEFRAMEBUFFERSPROC deleteFramebuffers;
PFNGLDELETERENDERBUFFERSPROC deleteRenderbuffers;

template <typename Function>
bool find(Function& function, const char* name) {
    function = reinterpret_cast<Function>(eglGetProcAddress(name));
    return function != nullptr;
}

// The display of Mesa's surfaceless platform, which needs no window system at all; where EGL
// lacks it, the default display.
EGLDisplay openDisplay() {
    const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (extensions != nullptr &&
        std::strstr(extensions, "EGL_MESA_platform_surfaceless") != nullptr) {
        auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
            eglGetProcAddress("eglGetPlatformDisplayEXT"));
        if (getPlatformDisplay != nullptr) {
            EGLDisplay surfaceless =
                getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
            if (surfaceless != EGL_NO_DISPLAY) return surfaceless;
        }
    }
    return eglGetDisplay(EGL_DEFAULT_DISPLAY);
}

// How many threads Mesa's software renderer rasterises with, unless the user says. The video
// encoder's two threads keep two cores busy; rasteriser threads sharing those cores cost a sixth
// more CPU than rasterising on the drawing thread (800x800 on two cores), for the same pixels, so
// only the cores beyond two get them. Mesa reads the number when EGL starts.
void chooseRasteriserThreads() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    const int count = sched_getaffinity(0, sizeof cores, &cores) == 0 ? CPU_COUNT(&cores) : 1;
    const std::string threads = std::to_string(count > 2 ? count - 2 : 0);
    setenv("LP_NUM_THREADS", threads.c_str(), 0);
}

bool makeFramebuffer() {
    if (!find(genFramebuffers, "glGenFramebuffers") ||
        !find(bindFramebuffer, "glBindFramebuffer") ||
        !find(genRenderbuffers, "glGenRenderbuffers") ||
        !find(bindRenderbuffer, "glBindRenderbuffer") ||
        !find(renderbufferStorage, "glRenderbufferStorage") ||
        !find(framebufferRenderbuffer, "glFramebufferRenderbuffer") ||
        !find(checkFramebufferStatus, "glCheckFramebufferStatus") ||
        !find(deleteFramebuffers, "glDeleteFramebuffers") ||
        !find(deleteRenderbuffers, "glDeleteRenderbuffers")) {
        return false;
    }
    genFramebuffers(1, &framebuffer);
    bindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    genRenderbuffers(2, renderbuffers);
    bindRenderbuffer(GL_RENDERBUFFER, renderbuffers[0]);
    renderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, frameWidth, frameHeight);
    framebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                            renderbuffers[0]);
    // Depth of 24 bits, as a window's, and no stencil, which nothing uses: Mesa's software
    // renderer then clears it with a plain fill, where it would keep the stencil bits of a
    // depth-stencil buffer on each clear a word at a time. The frames come out the same.
    bindRenderbuffer(GL_RENDERBUFFER, renderbuffers[1]);
    renderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, frameWidth, frameHeight);
    framebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER,
                            renderbuffers[1]);
    if (checkFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return false;
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    return true;
}
}  // namespace

bool openOffscreen(int width, int height, std::string& why) {
    frameWidth = width;
    frameHeight = height;
    chooseRasteriserThreads();
    display = openDisplay();
    EGLint major = 0;
    EGLint minor = 0;
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, &major, &minor)) {
        why = "no OpenGL offscreen (EGL finds no display)";
        return false;
    }
    // Any surface type: a window is what eglChooseConfig assumes, and there is none.
    const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_DONT_CARE,
                             EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    if (!eglBindAPI(EGL_OPENGL_API) || !eglChooseConfig(display, wanted, &config, 1, &configs) ||
        configs < 1) {
        why = "no OpenGL offscreen (EGL offers no desktop OpenGL)";
        return false;
    }
    context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
    if (context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        why = "no OpenGL offscreen (EGL makes no context without a surface)";
        return false;
    }
    if (!makeFramebuffer()) {
        why = "no OpenGL offscreen (no framebuffer of that size)";
        return false;
    }
    return true;
}

void readOffscreen(unsigned char* rgba) {
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    // RGBA is the order Mesa keeps an RGBA8 renderbuffer in, so the pixels are copied unconverted.
    glReadPixels(0, 0, frameWidth, frameHeight, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
}

void closeOffscreen() {
    if (framebuffer != 0) {
        deleteFramebuffers(1, &framebuffer);
        deleteRenderbuffers(2, renderbuffers);
        framebuffer = 0;
    }
    if (display != EGL_NO_DISPLAY) {
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
        eglTerminate(display);
    }
    context = EGL_NO_CONTEXT;
    display = EGL_NO_DISPLAY;
}
