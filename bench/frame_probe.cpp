// An LD_PRELOAD library that watches a program's ticks and frames from outside, so the shipped
// binary needs no instrumentation and prints nothing:
//
//     LD_PRELOAD=build/libframe_probe.so PROBE_LOG=events.bin dancer
//
// It appends one 16-byte record (CLOCK_MONOTONIC ns, kind, value) to PROBE_LOG for:
//   0 loaded        the library's constructor ran, all shared libraries are mapped; value 0
//   1 tick          a GLUT timer callback is about to run (the first callback ever registered);
//                   value: GLUT's elapsed time in ms, the clock its timers run on
//   2 frame         glutSwapBuffers or SDL_RenderPresent returned; value: the frame's number
//   3 first shown   after the first frame, a round trip to the X server came back: the server has
//                   drawn it into the window; value 1
//   4 GLUT ready    glutInit returned: connected to the X server, GL driver loaded
//   5 window        glutCreateWindow returned: the window and its GL context exist
//   6 main loop     glutMainLoop was entered: everything before the first event is done
// Records go straight to the file with write(), so nothing grows in the process's memory and a
// SIGTERM loses nothing.
#include <GL/glut.h>
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {
enum Kind : std::int32_t {
    LOADED = 0,
    TICK = 1,
    FRAME = 2,
    FIRST_SHOWN = 3,
    GLUT_READY = 4,
    WINDOW = 5,
    MAIN_LOOP = 6,
};

struct Event {
    std::int64_t ns;
    std::int32_t kind;
    std::int32_t value;
};

int logFd = -1;
std::int32_t frames = 0;

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void note(Kind kind, std::int32_t value) {
    if (logFd < 0) return;
    const Event event{monotonicNs(), kind, value};
    // A short write only loses a record of a benchmark; the program must go on regardless.
    if (write(logFd, &event, sizeof event) != sizeof event) return;
}

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

template <typename Function>
Function loadedFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

__attribute__((constructor)) void openLog() {
    const char* path = std::getenv("PROBE_LOG");
    if (path == nullptr) return;
    logFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    note(LOADED, 0);
}

// The frame just handed to the X server is on screen once a request sent after it is answered.
void noteFrame(Display* display) {
    note(FRAME, ++frames);
    if (frames != 1) return;
    using Sync = int (*)(Display*, Bool);
    static const auto sync = loadedFunction<Sync>("XSync");
    if (display != nullptr && sync != nullptr) sync(display, False);
    note(FIRST_SHOWN, 1);
}

using TimerCallback = void (*)(int);
TimerCallback countedCallback = nullptr;

void countedTimer(int value) {
    using Get = int (*)(GLenum);
    static const auto glutGet = loadedFunction<Get>("glutGet");
    note(TICK, glutGet != nullptr ? glutGet(GLUT_ELAPSED_TIME) : 0);
    countedCallback(value);
}
}  // namespace

extern "C" void glutInit(int* argc, char** argv) {
    using Init = void (*)(int*, char**);
    static const auto real = realFunction<Init>("glutInit");
    real(argc, argv);
    note(GLUT_READY, 0);
}

extern "C" int glutCreateWindow(const char* title) {
    using CreateWindow = int (*)(const char*);
    static const auto real = realFunction<CreateWindow>("glutCreateWindow");
    const int window = real(title);
    note(WINDOW, window);
    return window;
}

extern "C" void glutMainLoop() {
    using MainLoop = void (*)();
    static const auto real = realFunction<MainLoop>("glutMainLoop");
    note(MAIN_LOOP, 0);
    real();
}

extern "C" void glutTimerFunc(unsigned int ms, TimerCallback callback, int value) {
    using TimerFunc = void (*)(unsigned int, TimerCallback, int);
    static const auto real = realFunction<TimerFunc>("glutTimerFunc");
    if (countedCallback == nullptr) countedCallback = callback;
    real(ms, callback == countedCallback ? countedTimer : callback, value);
}

extern "C" void glutSwapBuffers() {
    using SwapBuffers = void (*)();
    using CurrentDisplay = Display* (*)();
    static const auto real = realFunction<SwapBuffers>("glutSwapBuffers");
    static const auto currentDisplay = loadedFunction<CurrentDisplay>("glXGetCurrentDisplay");
    real();
    noteFrame(currentDisplay != nullptr ? currentDisplay() : nullptr);
}

// SDL programs (the spectrum view it is compared with) show their frames here.
extern "C" void SDL_RenderPresent(SDL_Renderer* renderer) {
    using RenderPresent = void (*)(SDL_Renderer*);
    using RenderGetWindow = SDL_Window* (*)(SDL_Renderer*);
    using GetWindowWMInfo = SDL_bool (*)(SDL_Window*, SDL_SysWMinfo*);
    static const auto real = realFunction<RenderPresent>("SDL_RenderPresent");
    real(renderer);
    Display* display = nullptr;
    if (frames == 0) {
        const auto window = loadedFunction<RenderGetWindow>("SDL_RenderGetWindow");
        const auto wmInfo = loadedFunction<GetWindowWMInfo>("SDL_GetWindowWMInfo");
        SDL_SysWMinfo info;
        SDL_VERSION(&info.version);
        SDL_Window* shown = window != nullptr ? window(renderer) : nullptr;
        if (shown != nullptr && wmInfo != nullptr && wmInfo(shown, &info) &&
            info.subsystem == SDL_SYSWM_X11) {
            display = info.info.x11.display;
        }
    }
    noteFrame(display);
}
