#include "app/session_bus/bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "app/session_bus/session_bus.h"

namespace {
sd_bus* bus = nullptr;

// A thread watches the socket, so that a tick where nothing came makes no system call: here one
// costs 9 us, the tick's caches cold after its sleep.
std::thread watch;
// The watch's word to the GLUT thread: the socket has something to read. Set by the watch, cleared
// by the GLUT thread before it reads all there is.
std::atomic<bool> busStirred{true};
// The GLUT thread's word to the watch, an eventfd: all is read, watch again (or end).
int rearm = -1;
std::atomic<bool> watchEnds{false};
unsigned quietTicks = 0;  // GLUT thread
// At most this many messages are handled a tick, so that no peer can hold the figure still.
constexpr int MESSAGES_PER_TICK = 64;

void watchSocket(int socket) {
    pollfd waits[2] = {{rearm, POLLIN, 0}, {socket, POLLIN, 0}};
    while (!watchEnds) {
        // Stirred, the socket stays readable until the GLUT thread reads it: only its word counts.
        const nfds_t count = busStirred ? 1 : 2;
        if (poll(waits, count, -1) <= 0) continue;
        std::uint64_t words = 0;
        if ((waits[0].revents & POLLIN) != 0 && read(rearm, &words, sizeof words) < 0) continue;
        if (count == 2 && waits[1].revents != 0) busStirred = true;
    }
}

void wakeWatch() {
    const std::uint64_t word = 1;
    // Only a count near 2^64 could refuse it.
    if (write(rearm, &word, sizeof word) != sizeof word) std::abort();
}

// What was sent last has been written already, unless the bus is stuck, and then exit should
// not wait for it.
void disconnect() {
    if (watch.joinable()) {
        watchEnds = true;
        wakeWatch();
        watch.join();
        close(rearm);
    }
    bus = sd_bus_close_unref(bus);
}

void endAtExit() {
    letGoOfIdleness();
    disconnect();
}

// Whether a call waiting for its answer has run out of time, or a message read waits.
bool busTimeUp() {
    std::uint64_t due = 0;
    if (sd_bus_get_timeout(bus, &due) < 0) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return due <= static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                      static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}
}  // namespace

sd_bus* connectedBus() {
    if (bus != nullptr) return bus;
    if (sd_bus_open_user(&bus) < 0) return bus = nullptr;
    rearm = eventfd(0, EFD_CLOEXEC);
    if (rearm < 0) return bus = sd_bus_close_unref(bus);
    watch = std::thread(watchSocket, sd_bus_get_fd(bus));
    std::atexit(endAtExit);
    return bus;
}

sd_bus* sessionBus() {
    return bus;
}

void pollSessionBus() {
    if (bus == nullptr) return;
    // Asking sd-bus itself, cold, costs microseconds too: it is asked whether it has something
    // left to write or a call has run out of time only every 10th tick (200 ms).
    if (!busStirred && (++quietTicks % 10 != 0 ||
                        ((sd_bus_get_events(bus) & POLLOUT) == 0 && !busTimeUp()))) {
        tellMediaPlayerChanges();
        return;
    }
    busStirred = false;
    int handled = 0;
    int count = 0;
    while (count < MESSAGES_PER_TICK && (handled = sd_bus_process(bus, nullptr)) > 0) ++count;
    // The bus went: the music plays on, without it.
    if (handled < 0) {
        disconnect();
        return;
    }
    if (count == MESSAGES_PER_TICK) {
        // A peer that sends faster than ticks handle gets the rest on the next tick, not this one.
        busStirred = true;
    } else {
        wakeWatch();
    }
    tellMediaPlayerChanges();
}
