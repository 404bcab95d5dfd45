// Preloaded into the real binary by the end-to-end tests. Counts the timer's re-arms (one per tick,
// plus main's first) and the buffer swaps (one per frame drawn), keeps the longest time between two
// re-arms, and notes whether an idle callback (the trackball's spin) is installed, in a small file
// named by DANCER_TEST_COUNTERS that the test maps and reads while the program runs. Without that
// variable it only passes the calls on.
#include <GL/glut.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {
// The file's layout, native 64-bit words; the test reads the first three.
struct Counters {
    std::uint64_t ticks;
    std::uint64_t frames;
    std::uint64_t longestTickGapNs;  // the test may set it back to 0 to start a new interval
    std::uint64_t lastTickNs;
    std::uint64_t idleInstalled;  // 1 while an idle callback is installed
};

Counters* counters() {
    static Counters* const mapped = []() -> Counters* {
        const char* path = std::getenv("DANCER_TEST_COUNTERS");
        if (path == nullptr) return nullptr;
        const int fd = open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0) return nullptr;
        void* memory = mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return memory == MAP_FAILED ? nullptr : static_cast<Counters*>(memory);
    }();
    return mapped;
}

std::uint64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + now.tv_nsec;
}

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" void glutTimerFunc(unsigned int ms, void (*callback)(int), int value) {
    static const auto real = realFunction<void (*)(unsigned int, void (*)(int), int)>("glutTimerFunc");
    if (Counters* c = counters()) {
        const std::uint64_t now = nowNs();
        if (c->ticks > 0 && now - c->lastTickNs > c->longestTickGapNs) {
            c->longestTickGapNs = now - c->lastTickNs;
        }
        c->lastTickNs = now;
        ++c->ticks;
    }
    real(ms, callback, value);
}

extern "C" void glutSwapBuffers() {
    static const auto real = realFunction<void (*)()>("glutSwapBuffers");
    if (Counters* c = counters()) ++c->frames;
    real();
}

extern "C" void glutIdleFunc(void (*callback)()) {
    static const auto real = realFunction<void (*)(void (*)())>("glutIdleFunc");
    if (Counters* c = counters()) c->idleInstalled = callback != nullptr;
    real(callback);
}
