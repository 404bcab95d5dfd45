// What the audio path costs: decoding, the tap and a spectrum fetch every 20 ms, in CPU seconds per
// second of playback, beside Debian's mpg123 decoding the same file to nothing.
//
//     audio_bench [DIR [SECONDS [--listen[=APP]]]]   plays DIR/1.mp3 (default: data) for SECONDS
//                                                    (default: 20), or listens to the default
//                                                    output, or to application APP's stream
//
// Playback runs on SDL's dummy driver, which consumes audio in real time without a sound card, so
// the figures leave out only what a real device's driver adds. Listening needs a sound server that
// something plays into; it then also tells how far the analysed window's end lies behind what the
// sink plays. The program's 20 ms timer wakes its thread whether or not there is music; a first
// run of bare wake-ups, before the music starts, measures that part so it can be told apart. Lines
// "from here" and "to here" bound the run the CPU figures are of, for a harness to read the sound
// server's CPU over the same span.
#include <SDL_mixer.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/session_bus/session_bus.h"
#include "motion/music.h"
#include "motion/sound/sound_server.h"

namespace {
using Clock = std::chrono::steady_clock;

// The scheduler's own count, to the nanosecond: getrusage's is sampled at the timer's rate, too
// coarsely for a few milliseconds a second.
double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Run {
    double seconds = 0;         // wall time, which the dummy driver plays in
    double processCpu = 0;      // every thread
    double tickThreadCpu = 0;   // this thread: wake-ups and fetches
    double fetchSeconds = 0;    // inside fetchSpectrum
    double quietMeanSum = 0;    // the motion driver's reading, summed over ticks
    int ticks = 0;
    std::vector<double> lags;   // listening: the window's end behind the sink after each fetch, s
    std::vector<double> polls;  // playing: each tick's poll of the session bus, s
};

// Wakes every 20 ms for `seconds`, fetching the spectrum if asked to, and then, if asked to, how far
// the window's end is behind the sink (which costs a round trip to the server each time).
Run tickFor(double seconds, bool fetch, bool measureLag = false) {
    Run run;
    const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const Clock::time_point start = Clock::now();
    Clock::time_point nextTick = start;
    while (secondsSince(start) < seconds) {
        nextTick += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(nextTick);
        ++run.ticks;
        if (!fetch) continue;
        const Clock::time_point fetchStart = Clock::now();
        fetchSpectrum();
        run.fetchSeconds += secondsSince(fetchStart);
        const Clock::time_point pollStart = Clock::now();
        pollSessionBus();
        run.polls.push_back(secondsSince(pollStart));
        // The mean of the values below 0.02, as the motion driver reads the spectrum.
        double quietSum = 0;
        int quietCount = 0;
        for (const float value : spectrum) {
            if (value < 0.02f) {
                quietSum += value;
                ++quietCount;
            }
        }
        run.quietMeanSum += quietCount > 0 ? quietSum / quietCount : 0;
        if (!measureLag) continue;
        if (const double lag = listeningLagSeconds(); !std::isnan(lag)) run.lags.push_back(lag);
    }
    run.seconds = secondsSince(start);
    run.processCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    run.tickThreadCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    return run;
}

// Length of the track as mpg123 decodes it (16-bit stereo at 44100 Hz), or 0.
double trackSeconds() {
    FILE* decoded = popen("mpg123 -q -s 1.mp3", "r");
    if (decoded == nullptr) return 0;
    static char buffer[1 << 16];
    double bytes = 0;
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, decoded)) > 0;) bytes += n;
    return pclose(decoded) == 0 ? bytes / (44100 * 4) : 0;
}

// CPU seconds mpg123 takes to decode the track to nothing, the mean of three runs.
double mpg123Seconds() {
    const int runs = 3;
    const double start = childrenCpuSeconds();
    for (int run = 0; run < runs; ++run) {
        if (std::system("mpg123 -q -t 1.mp3") != 0) return 0;
    }
    return (childrenCpuSeconds() - start) / runs;
}

void row(const char* what, double cpuPerSecond) {
    std::printf("%-54s %9.5f\n", what, cpuPerSecond);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}
}  // namespace

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : "data";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
    const char* listen = argc > 3 ? argv[3] : "";
    const bool oneApp = std::strncmp(listen, "--listen=", 9) == 0;
    const bool listening = oneApp || std::strcmp(listen, "--listen") == 0;
    if (chdir(dir) != 0) {
        std::perror(dir);
        return 1;
    }
    setenv("SDL_AUDIODRIVER", "dummy", 0);

    const Run bare = tickFor(seconds / 4, false);
    if (listening) {
        listenToDesktop(oneApp ? ListenTo::Application : ListenTo::Everything,
                        oneApp ? listen + 9 : "");
        startMusic();
        // Until the recording has begun.
        if (tickFor(5, true, true).lags.empty()) return 1;
    } else {
        startMusic();
        if (Mix_PlayingMusic() == 0) return 1;
        // On the session bus that DBUS_SESSION_BUS_ADDRESS names, where nothing asks anything.
        offerMediaPlayer();
    }
    std::printf("from here\n");
    std::fflush(stdout);
    const Run music = tickFor(seconds, true);
    std::printf("to here\n");
    std::fflush(stdout);
    const Run lagged = listening ? tickFor(seconds / 2, true, true) : Run{};
    const double track = listening ? 0 : trackSeconds();
    const double decode = track > 0 ? mpg123Seconds() / track : 0;

    // What the music adds to the process: all its threads' CPU less the bare wake-ups.
    const double wakeUps = bare.tickThreadCpu / bare.seconds;
    const double audioPath = music.processCpu / music.seconds - wakeUps;
    const double audioThread = (music.processCpu - music.tickThreadCpu) / music.seconds;
    const double fetches = music.fetchSeconds / music.seconds;
    std::printf("%-54s %9s\n",
                !listening ? "1.mp3, in CPU seconds per second of playback"
                : oneApp   ? "one application, in CPU seconds per second heard"
                           : "the default output, in CPU seconds per second heard",
                "CPU-s/s");
    row("audio path: decode, mix and tap, plus the fetches", audioPath);
    row("  audio thread: decode, mix, tap, its wake-ups", audioThread);
    row("  fetchSpectrum every 20 ms (wall time)", fetches);
    row("the 20 ms tick thread's wake-ups, music or not", wakeUps);
    row("whole process while playing", music.processCpu / music.seconds);
    row("mpg123 -q -t (decoding only)", decode);
    if (!listening) {
        row("session bus poll each tick, median (us)", 1e6 * percentile(music.polls, 0.5));
        row("session bus poll each tick, 99th percentile (us)", 1e6 * percentile(music.polls, 0.99));
    }
    if (listening) {
        row("window's end behind the sink, least (ms)", 1e3 * percentile(lagged.lags, 0));
        row("window's end behind the sink, median (ms)", 1e3 * percentile(lagged.lags, 0.5));
        row("window's end behind the sink, most (ms)", 1e3 * percentile(lagged.lags, 1));
    }
    std::printf("\n%.1f s played, %d fetches of %.1f us on average; mean quiet mean %.5f\n",
                music.seconds, music.ticks, 1e6 * music.fetchSeconds / music.ticks,
                music.quietMeanSum / music.ticks);
    return 0;
}
