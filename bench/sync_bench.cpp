// How far the analysed window's end lies from the sample being heard when the spectrum is fetched.
//
//     sync_bench WORKDIR [SECONDS]     (default 30)
//
// Writes a test signal into WORKDIR/1.mp3 (WAV content, which the program plays as it is): digital
// silence with a 10 ms 1 kHz burst every 100 ms, each starting at full height, so the first sample
// of a burst can be found to the sample. It plays through the program's own audio path into SDL's
// disk driver (WORKDIR/out.raw) and reads the heard window every 20 ms as fetchSpectrum does, then
// compares, tick by tick:
//   - where the window ends, found from the burst inside it and the burst's place in out.raw, and
//   - what the device had played by then: the disk driver plays each buffer from the moment it is
//     written to out.raw, at the output rate, and no further than its end.
// A positive offset means the window runs ahead of what is heard. It also reports how long after a
// burst is heard the first fetch has it in its window: the tick's sampling adds up to 20 ms.
//
// Prints key=value lines for bench/run_bench.py.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "motion/audio_tap.h"
#include "motion/music.h"
#include "motion/spectrum.h"

namespace {
constexpr int RATE = 44100;
constexpr int BURST_PERIOD = RATE / 10;
constexpr int BURST_LENGTH = RATE / 100;
constexpr int TRACK_SECONDS = 10;
// A burst starts at half scale; silence is exactly 0. The quiet run before an onset must be longer
// than any gap inside a burst (none: the burst is a cosine sampled well above its own period).
constexpr float ONSET_LEVEL = 0.1f;
constexpr int QUIET_BEFORE_ONSET = 64;

void putLittleEndian(std::FILE* file, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) std::fputc(static_cast<int>((value >> (8 * i)) & 0xff), file);
}

bool writeTestSignal(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const std::uint32_t frames = TRACK_SECONDS * RATE;
    const std::uint32_t dataBytes = frames * 4;
    std::fputs("RIFF", file);
    putLittleEndian(file, 36 + dataBytes, 4);
    std::fputs("WAVEfmt ", file);
    putLittleEndian(file, 16, 4);
    putLittleEndian(file, 1, 2);  // PCM
    putLittleEndian(file, 2, 2);  // stereo
    putLittleEndian(file, RATE, 4);
    putLittleEndian(file, RATE * 4, 4);
    putLittleEndian(file, 4, 2);
    putLittleEndian(file, 16, 2);
    std::fputs("data", file);
    putLittleEndian(file, dataBytes, 4);
    const double pi = std::acos(-1.0);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint32_t intoPeriod = (i + BURST_PERIOD / 2) % BURST_PERIOD;
        const double value =
            intoPeriod < BURST_LENGTH ? 0.5 * std::cos(2 * pi * 1000 * intoPeriod / RATE) : 0.0;
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
        putLittleEndian(file, static_cast<std::uint16_t>(sample), 2);
        putLittleEndian(file, static_cast<std::uint16_t>(sample), 2);
    }
    return std::fclose(file) == 0;
}

// Where `samples` has a burst's first sample after a quiet run, or -1.
int onsetIn(const float* samples, int count) {
    int quiet = 0;
    for (int i = 0; i < count; ++i) {
        if (std::fabs(samples[i]) >= ONSET_LEVEL && quiet >= QUIET_BEFORE_ONSET) return i;
        quiet = std::fabs(samples[i]) < 1e-6f ? quiet + 1 : 0;
    }
    return -1;
}

std::int64_t nowNs() { return steadyNanoseconds(); }

// The disk driver's writes, as the audio thread makes them: when each ended and the output frames
// written up to then. One writer (the audio thread), read after playback stops.
struct DeviceWrite {
    std::int64_t ns;
    std::int64_t framesSoFar;
};
std::vector<DeviceWrite> deviceWrites;
std::atomic<std::size_t> deviceWriteCount{0};
std::int64_t framesWritten = 0;
ino_t outputInode = 0;
std::FILE* outputFile = nullptr;

bool isOutputFile(std::FILE* stream) {
    if (outputFile != nullptr) return stream == outputFile;
    struct stat info;
    if (outputInode == 0 || fstat(fileno(stream), &info) != 0 || info.st_ino != outputInode) {
        return false;
    }
    outputFile = stream;
    return true;
}
}  // namespace

// The disk driver hands each buffer to the C library's fwrite; standing in front of it gives the
// moment the device receives the samples, independently of the tap's own clock readings.
extern "C" std::size_t fwrite(const void* data, std::size_t size, std::size_t count,
                              std::FILE* stream) {
    using Write = std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "fwrite"));
    const std::size_t written = real(data, size, count, stream);
    if (isOutputFile(stream)) {
        framesWritten += static_cast<std::int64_t>(written * size / 8);
        const std::size_t slot = deviceWriteCount.load(std::memory_order_relaxed);
        if (slot < deviceWrites.size()) {
            deviceWrites[slot] = {nowNs(), framesWritten};
            deviceWriteCount.store(slot + 1, std::memory_order_release);
        }
    }
    return written;
}

namespace {
struct Fetch {
    std::int64_t ns;
    int onset;  // position of a burst's first sample in the window, or -1
};

// Output frames heard at `ns`: the buffer written last before it plays from its write onwards.
double heardAt(std::int64_t ns, std::size_t writes) {
    const auto after = std::upper_bound(
        deviceWrites.begin(), deviceWrites.begin() + static_cast<std::ptrdiff_t>(writes), ns,
        [](std::int64_t t, const DeviceWrite& w) { return t < w.ns; });
    if (after == deviceWrites.begin()) return 0;
    const DeviceWrite& last = *(after - 1);
    const std::int64_t previous =
        after - 1 == deviceWrites.begin() ? 0 : (after - 2)->framesSoFar;
    const double played = (ns - last.ns) * 1e-9 * RATE;
    return previous + std::min<double>(played, last.framesSoFar - previous);
}

// When output frame `frame` began to play, from the write that carried it.
double heardTimeOf(std::int64_t frame, std::size_t writes) {
    for (std::size_t k = 0; k < writes; ++k) {
        if (deviceWrites[k].framesSoFar > frame) {
            const std::int64_t first = k == 0 ? 0 : deviceWrites[k - 1].framesSoFar;
            return deviceWrites[k].ns + (frame - first) * 1e9 / RATE;
        }
    }
    return -1;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t i = std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()));
    return values[i];
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: sync_bench WORKDIR [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 30;
    if (!writeTestSignal("1.mp3")) return 1;
    std::FILE* touch = std::fopen("out.raw", "wb");
    if (touch == nullptr) return 1;
    std::fclose(touch);
    struct stat info;
    if (stat("out.raw", &info) != 0) return 1;
    outputInode = info.st_ino;
    deviceWrites.resize(static_cast<std::size_t>(seconds * RATE / 1024 * 2 + 1000));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "out.raw", 1);

    startMusic();
    if (musicStream == nullptr) return 1;
    std::vector<Fetch> fetches;
    static float window[SPECTRUM_WINDOW];
    const auto start = std::chrono::steady_clock::now();
    for (auto next = start; next - start < std::chrono::duration<double>(seconds);) {
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
        const std::int64_t at = nowNs();
        // What fetchSpectrum does, keeping the window it analyses.
        readHeardWindow(window, SPECTRUM_WINDOW);
        analyseSpectrum(window, spectrum);
        fetches.push_back({at, onsetIn(window, SPECTRUM_WINDOW)});
    }
    const std::size_t writes = deviceWriteCount.load(std::memory_order_acquire);

    // The bursts as the device received them, in output frames.
    std::vector<std::int64_t> onsets;
    std::FILE* output = std::fopen("out.raw", "rb");
    if (output == nullptr) return 1;
    std::vector<float> mono;
    for (float frame[2]; std::fread(frame, sizeof frame, 1, output) == 1;) {
        mono.push_back(0.5f * (frame[0] + frame[1]));
    }
    std::fclose(output);
    for (int from = 0;;) {
        const int found = onsetIn(mono.data() + from, static_cast<int>(mono.size()) - from);
        if (found < 0) break;
        onsets.push_back(from + found);
        from += found + BURST_LENGTH;
    }

    std::vector<double> offsetsMs;
    std::vector<double> onsetDelaysMs;
    std::size_t nextOnset = 0;
    for (const Fetch& fetch : fetches) {
        const double heard = heardAt(fetch.ns, writes);
        if (fetch.onset >= 0) {
            // The burst in the window is the one whose place puts the window's end nearest to
            // what is heard; bursts lie 100 ms apart, the window's end is within a buffer.
            double best = 1e18;
            for (const std::int64_t onset : onsets) {
                const double end = onset + (SPECTRUM_WINDOW - fetch.onset);
                if (std::fabs(end - heard) < std::fabs(best)) best = end - heard;
            }
            offsetsMs.push_back(best * 1000.0 / RATE);
        }
        // Bursts heard by now that a window showed for the first time.
        while (nextOnset < onsets.size() && onsets[nextOnset] < heard) {
            if (fetch.onset >= 0) {
                const double heardNs = heardTimeOf(onsets[nextOnset], writes);
                if (heardNs > 0) onsetDelaysMs.push_back((fetch.ns - heardNs) / 1e6);
            }
            ++nextOnset;
        }
    }
    if (offsetsMs.empty()) {
        std::fprintf(stderr, "sync_bench: no burst was found in any fetched window\n");
        return 1;
    }
    std::vector<double> magnitudes;
    for (double offset : offsetsMs) magnitudes.push_back(std::fabs(offset));
    std::printf("fetches=%zu\n", fetches.size());
    std::printf("windows_with_onset=%zu\n", offsetsMs.size());
    std::printf("offset_median_ms=%.4f\n", percentile(offsetsMs, 0.5));
    std::printf("offset_min_ms=%.4f\n", percentile(offsetsMs, 0));
    std::printf("offset_max_ms=%.4f\n", percentile(offsetsMs, 1));
    std::printf("offset_worst_abs_ms=%.4f\n", percentile(magnitudes, 1));
    if (!onsetDelaysMs.empty()) {
        std::printf("onset_to_fetch_median_ms=%.2f\n", percentile(onsetDelaysMs, 0.5));
        std::printf("onset_to_fetch_worst_ms=%.2f\n", percentile(onsetDelaysMs, 1));
    }
    return 0;
}
