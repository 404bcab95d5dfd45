// The pieces one tick and one frame are made of, timed with Google Benchmark.
//
//     micro_bench DATA_DIR [--benchmark_... flags]
//
// Needs $DISPLAY: the GL benchmarks draw in a real 800x800 GLUT window set up as the program sets
// up its own (under `make bench`, a private Xvfb with Mesa's llvmpipe). DATA_DIR/1.mp3 plays on
// SDL's dummy driver the whole time, so the tick reads a ring that playback keeps filled.
//
// GL benchmarks end each iteration with glFinish, so the time includes llvmpipe's rasterising
// threads; they report wall time and the CPU time of the whole process.
#include <GL/glut.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/handlers.h"
#include "app/scene.h"
#include "figure/figure.h"
#include "motion/audio_tap.h"
#include "motion/motion_driver.h"
#include "motion/motion_state.h"
#include "motion/music.h"
#include "overlay/overlay.h"
#include "trackball/trackball.h"

// The tick re-arms GLUT's timer, but no main loop runs here to fire it: each re-arm would only add
// another pending timer to GLUT's list, which would grow without end. So the re-arm is left out
// (linked with --wrap=glutTimerFunc).
extern "C" void __wrap_glutTimerFunc(unsigned int, void (*)(int), int) {}

namespace {

void tickWithFetch(benchmark::State& state) {
    for (auto _ : state) {
        tick(0);
        benchmark::DoNotOptimize(bodyPhase);
    }
}

void spectrumTransform(benchmark::State& state) {
    static float window[SPECTRUM_WINDOW];
    static float amplitudes[SPECTRUM_SIZE];
    readHeardWindow(window, SPECTRUM_WINDOW);
    for (auto _ : state) {
        analyseSpectrum(window, amplitudes);
        benchmark::DoNotOptimize(amplitudes);
    }
}

void foldTrackball(benchmark::State& state, bool turning) {
    setWindowSize(800, 800);
    beginDrag(400, 400, GLUT_LEFT_BUTTON, 0);
    dragTo(600, 400);
    // A release in another millisecond than the last movement stops the turn.
    if (!turning) endDrag(-1);
    for (auto _ : state) {
        glPushMatrix();
        applyObjectRotation();
        glPopMatrix();
    }
    endDrag(-1);
}

// The camera and the figure's placement as a frame has them, with the trackball still.
void placeFigure() {
    glLoadIdentity();
    glTranslatef(0, 0, -8);
    glRotatef(-90, 1, 0, 0);
    glTranslated(0, 0, -0.65);
}

// Mid-dance: every joint off its rest angle.
void poseMidDance() {
    bodyPhase = 0.5;
    armPhase = 0.5;
    leftArmSwing = 22.5;
    rightArmSwing = 22.5;
}

void clearOnly(benchmark::State& state) {
    for (auto _ : state) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glFinish();
    }
}

void clearAndDrawFigure(benchmark::State& state) {
    poseMidDance();
    for (auto _ : state) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        placeFigure();
        drawTorso();
        glFinish();
    }
}

void creditText(benchmark::State& state) {
    glLoadIdentity();
    for (auto _ : state) {
        glDisable(GL_LIGHTING);
        glColor3f(1, 1, 1);
        for (int line = 0; line < 3; ++line) {
            drawText(CREDIT_X, CREDIT_Y[line], "%s", CREDIT_LINES[line]);
        }
        glEnable(GL_LIGHTING);
        glFinish();
    }
}

// What drawText asks GLUT for, twice a line: freeglut asks the X server every time.
void windowSizeQuery(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(glutGet(GLUT_WINDOW_WIDTH));
    }
}

void displayFrame(benchmark::State& state) {
    poseMidDance();
    for (auto _ : state) {
        display();
        glFinish();
    }
}

void registerAll() {
    benchmark::RegisterBenchmark("tick: swings, fetch from a filled ring, phases", tickWithFetch);
    benchmark::RegisterBenchmark("spectrum: Hann window, 2048-point FFT, amplitudes",
                                 spectrumTransform);
    benchmark::RegisterBenchmark("trackball fold, still", foldTrackball, false);
    benchmark::RegisterBenchmark("trackball fold, turning", foldTrackball, true);
    for (auto* gl : {
             benchmark::RegisterBenchmark("GL: clear colour and depth", clearOnly),
             benchmark::RegisterBenchmark("GL: clear, then the whole figure", clearAndDrawFigure),
             benchmark::RegisterBenchmark("GL: the three credit lines", creditText),
             benchmark::RegisterBenchmark("GL: glutGet(GLUT_WINDOW_WIDTH)", windowSizeQuery),
             benchmark::RegisterBenchmark("GL: display(), swap included", displayFrame),
         }) {
        gl->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: micro_bench DATA_DIR [benchmark flags]\n");
        return 2;
    }
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    glutInit(&argc, argv);
    glutInitWindowSize(800, 800);
    glutInitWindowPosition(100, 100);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("micro_bench");
    initScene();
    reshape(800, 800);
    if (musicStream == nullptr) return 1;
    // Two device buffers fill the 2048-sample window; half a second leaves no doubt.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // llvmpipe compiles its shaders for a state the first time it draws in it; that belongs to
    // start-up, not to a frame.
    poseMidDance();
    for (int frame = 0; frame < 3; ++frame) display();
    glFinish();

    registerAll();
    benchmark::AddCustomContext("gl_renderer",
                                reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    benchmark::AddCustomContext("gl_version",
                                reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
