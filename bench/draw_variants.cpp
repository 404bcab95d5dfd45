// What one frame would cost if its drawing were done differently, and whether any pixel would
// change. None of these variants is in the program; they are measured here so that the choice can
// be made on figures.
//
//     draw_variants VARIANT PIXELS_OUT     (needs $DISPLAY; run it where there is no 1.mp3)
//
// VARIANT is one of:
//   shipped        the program's own display()
//   one-stack      straight tubes (both radii equal) drawn with 1 stack instead of 20 or 10:
//                  each side facet is a flat rectangle whose vertices share their normal along the
//                  tube, so the stacks only add vertices with the colours the interpolation gives
//                  anyway; only rounding differs, where a tube's edge or depth meets another
//                  shape's. Tapered tubes (torso, feet) keep theirs: there the split of each facet
//                  into triangles shows in the shading
//   one-loop       discs drawn with 1 loop instead of 20: a disc is flat with one normal
//   known-size     drawText told the window's size instead of asking GLUT, which asks the X server
//                  twice a line, six round trips a frame
//   no-flush       no glFlush before the swap, which flushes anyway
//   no-normalize   GL_NORMALIZE off: GLU's normals are unit length and the figure is only ever
//                  rotated and moved, never scaled
//   cull-balls     back faces culled while the balls are drawn: a closed ball's back half is always
//                  behind its front half
// Run `shipped` with LP_NUM_THREADS=0 or 1 in the environment to see llvmpipe's thread count.
//
// Draws three poses (rest, mid-dance, both phases at 1 with the swings at 45) into PIXELS_OUT as
// raw RGBA rows; counts what one mid-dance frame asks of the pipeline (vertices, primitives,
// fragment shader runs, from GL's pipeline statistics queries), which no other load on the machine
// disturbs; then times 200 frames of the mid-dance pose three times. Prints the counts and the
// median round's wall and process CPU time per frame as key=value lines.
#include <GL/freeglut.h>
#include <GL/glext.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/handlers.h"
#include "app/scene.h"
#include "motion/motion_state.h"

namespace {
bool oneStack = false;
bool oneLoop = false;
bool knownSize = false;
bool noFlush = false;
bool cullBalls = false;
std::FILE* capture = nullptr;
constexpr int SIZE = 800;
}  // namespace

extern "C" {
void __real_gluCylinder(GLUquadric*, GLdouble, GLdouble, GLdouble, GLint, GLint);
void __real_gluDisk(GLUquadric*, GLdouble, GLdouble, GLint, GLint);
void __real_gluSphere(GLUquadric*, GLdouble, GLint, GLint);
int __real_glutGet(GLenum);
void __real_glFlush();
void __real_glutSwapBuffers();

void __wrap_gluCylinder(GLUquadric* q, GLdouble base, GLdouble top, GLdouble height, GLint slices,
                        GLint stacks) {
    __real_gluCylinder(q, base, top, height, slices, oneStack && base == top ? 1 : stacks);
}

void __wrap_gluDisk(GLUquadric* q, GLdouble inner, GLdouble outer, GLint slices, GLint loops) {
    __real_gluDisk(q, inner, outer, slices, oneLoop ? 1 : loops);
}

void __wrap_gluSphere(GLUquadric* q, GLdouble radius, GLint slices, GLint stacks) {
    if (cullBalls) glEnable(GL_CULL_FACE);
    __real_gluSphere(q, radius, slices, stacks);
    if (cullBalls) glDisable(GL_CULL_FACE);
}

int __wrap_glutGet(GLenum what) {
    if (knownSize && (what == GLUT_WINDOW_WIDTH || what == GLUT_WINDOW_HEIGHT)) return SIZE;
    return __real_glutGet(what);
}

void __wrap_glFlush() {
    if (!noFlush) __real_glFlush();
}

void __wrap_glutSwapBuffers() {
    if (capture != nullptr) {
        static std::vector<unsigned char> pixels(SIZE * SIZE * 4);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, SIZE, SIZE, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        std::fwrite(pixels.data(), 1, pixels.size(), capture);
    }
    __real_glutSwapBuffers();
}
}

namespace {
void pose(double body, double arm, double leftSwing, double rightSwing) {
    bodyPhase = body;
    armPhase = arm;
    leftArmSwing = leftSwing;
    rightArmSwing = rightSwing;
}

// One mid-dance frame's work as the pipeline counts it.
void countPipelineWork() {
    using GenQueries = void (*)(GLsizei, GLuint*);
    using BeginQuery = void (*)(GLenum, GLuint);
    using EndQuery = void (*)(GLenum);
    using GetQueryResult = void (*)(GLuint, GLenum, GLuint64*);
    const auto genQueries = reinterpret_cast<GenQueries>(
        glutGetProcAddress("glGenQueries"));
    const auto beginQuery = reinterpret_cast<BeginQuery>(glutGetProcAddress("glBeginQuery"));
    const auto endQuery = reinterpret_cast<EndQuery>(glutGetProcAddress("glEndQuery"));
    const auto getResult =
        reinterpret_cast<GetQueryResult>(glutGetProcAddress("glGetQueryObjectui64v"));
    if (genQueries == nullptr || beginQuery == nullptr || endQuery == nullptr ||
        getResult == nullptr) {
        return;
    }
    const struct {
        GLenum target;
        const char* name;
    } counters[] = {{GL_VERTICES_SUBMITTED_ARB, "vertices"},
                    {GL_PRIMITIVES_SUBMITTED_ARB, "primitives"},
                    {GL_FRAGMENT_SHADER_INVOCATIONS_ARB, "fragment_shader_runs"}};
    GLuint queries[3];
    genQueries(3, queries);
    for (int i = 0; i < 3; ++i) beginQuery(counters[i].target, queries[i]);
    display();
    for (int i = 0; i < 3; ++i) endQuery(counters[i].target);
    for (int i = 0; i < 3; ++i) {
        GLuint64 count = 0;
        getResult(queries[i], GL_QUERY_RESULT, &count);
        std::printf("%s=%llu\n", counters[i].name, static_cast<unsigned long long>(count));
    }
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: draw_variants VARIANT PIXELS_OUT\n");
        return 2;
    }
    const char* variant = argv[1];
    glutInit(&argc, argv);
    glutInitWindowSize(SIZE, SIZE);
    glutInitWindowPosition(100, 100);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("draw_variants");
    initScene();
    reshape(SIZE, SIZE);

    if (std::strcmp(variant, "one-stack") == 0) {
        oneStack = true;
    } else if (std::strcmp(variant, "one-loop") == 0) {
        oneLoop = true;
    } else if (std::strcmp(variant, "known-size") == 0) {
        knownSize = true;
    } else if (std::strcmp(variant, "no-flush") == 0) {
        noFlush = true;
    } else if (std::strcmp(variant, "no-normalize") == 0) {
        glDisable(GL_NORMALIZE);
    } else if (std::strcmp(variant, "cull-balls") == 0) {
        cullBalls = true;
    } else if (std::strcmp(variant, "shipped") != 0) {
        std::fprintf(stderr, "draw_variants: no variant %s\n", variant);
        return 2;
    }

    capture = std::fopen(argv[2], "wb");
    if (capture == nullptr) return 1;
    pose(0, 0, 0, 0);
    display();
    pose(0.5, 0.5, 22.5, 22.5);
    display();
    pose(1, 1, 45, 45);
    display();
    std::fclose(capture);
    capture = nullptr;

    pose(0.5, 0.5, 22.5, 22.5);
    countPipelineWork();
    for (int frame = 0; frame < 30; ++frame) display();
    glFinish();
    std::vector<std::pair<double, double>> rounds;
    for (int round = 0; round < 3; ++round) {
        const int frames = 200;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processCpuSeconds();
        for (int frame = 0; frame < frames; ++frame) display();
        glFinish();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rounds.push_back({wall / frames * 1e6, (processCpuSeconds() - cpuStart) / frames * 1e6});
    }
    std::sort(rounds.begin(), rounds.end());
    std::printf("wall_us=%.1f\ncpu_us=%.1f\n", rounds[1].first, rounds[1].second);
    return 0;
}
