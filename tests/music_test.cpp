// startMusic and fetchSpectrum on SDL's dummy audio driver, which plays in real time without sound.
// Music starts once per process, so each suite runs in a process of its own (see CMakeLists.txt).
#include "motion/music.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

// Every allocation made by the program's code in this process, in any thread. Shared libraries
// (SDL and the decoders) allocate past these counters; the program's code cannot.
std::atomic<long> allocations{0};

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __real_calloc(std::size_t count, std::size_t size);
extern "C" void* __real_realloc(void* pointer, std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    ++allocations;
    return __real_malloc(size);
}
extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
    ++allocations;
    return __real_calloc(count, size);
}
extern "C" void* __wrap_realloc(void* pointer, std::size_t size) {
    ++allocations;
    return __real_realloc(pointer, size);
}
extern "C" void* __real__Znwm(std::size_t size);  // operator new
extern "C" void* __wrap__Znwm(std::size_t size) {
    ++allocations;
    return __real__Znwm(size);
}
extern "C" void* __real__Znam(std::size_t size);  // operator new[]
extern "C" void* __wrap__Znam(std::size_t size) {
    ++allocations;
    return __real__Znam(size);
}

namespace {
constexpr int RATE = 44100;
const double PI = std::acos(-1.0);

// A fresh, empty working directory, as the program would be started in. Once the music has
// started it can go: the mixer keeps the file open.
std::string enterScratchDirectory() {
    char path[] = "/tmp/dancer-music-test-XXXXXX";
    if (mkdtemp(path) == nullptr || chdir(path) != 0) {
        ADD_FAILURE() << "no scratch directory";
    }
    return path;
}

// 16-bit stereo WAV of a sine with `periods` whole periods in every 2048 samples, so that it
// loops without a seam and is centred on spectrum bin `periods`.
void writeSineWav(const char* name, int periods, double amplitude, int windows) {
    const int frames = windows * SPECTRUM_WINDOW;
    std::vector<std::int16_t> samples(2 * frames);
    for (int n = 0; n < frames; ++n) {
        const double value = amplitude * std::sin(2 * PI * periods * n / SPECTRUM_WINDOW);
        samples[2 * n] = samples[2 * n + 1] = static_cast<std::int16_t>(std::lround(value * 32767));
    }
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    FILE* out = std::fopen(name, "wb");
    ASSERT_NE(out, nullptr);
    auto u32 = [out](std::uint32_t v) { std::fwrite(&v, 4, 1, out); };
    auto u16 = [out](std::uint16_t v) { std::fwrite(&v, 2, 1, out); };
    std::fwrite("RIFF", 1, 4, out);
    u32(36 + dataBytes);
    std::fwrite("WAVEfmt ", 1, 8, out);
    u32(16);
    u16(1);  // PCM
    u16(2);
    u32(RATE);
    u32(RATE * 4);
    u16(4);
    u16(16);
    std::fwrite("data", 1, 4, out);
    u32(dataBytes);
    std::fwrite(samples.data(), 2, samples.size(), out);
    std::fclose(out);
}

int loudestBin() {
    int loudest = 0;
    for (int k = 1; k < SPECTRUM_SIZE; ++k) {
        if (spectrum[k] > spectrum[loudest]) loudest = k;
    }
    return loudest;
}

void expectSpectrumAllZero() {
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
        ASSERT_EQ(spectrum[k], 0.0f) << "bin " << k;
    }
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

// The whole chain: decoder, mixer, tap, the heard-sample estimate and the analysis.
TEST(MusicPlaying, SineInTheFileShowsInItsBinAtItsAmplitude) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string scratch = enterScratchDirectory();
    // WAV content under the MP3 name: the decoder is chosen by the bytes.
    writeSineWav("1.mp3", 93, 0.5, 22);
    startMusic();
    std::filesystem::remove_all(scratch);
    ASSERT_NE(musicStream, nullptr);
    expectSpectrumAllZero();
    sleepMs(300);
    fetchSpectrum();
    EXPECT_EQ(loudestBin(), 93);
    EXPECT_NEAR(spectrum[93], 0.5, 0.005);

    // Half a second of fetches every 20 ms, with the audio thread tapping all the while.
    const long before = allocations;
    for (int tick = 0; tick < 25; ++tick) {
        sleepMs(20);
        fetchSpectrum();
    }
    EXPECT_EQ(allocations - before, 0) << "the tap or a fetch allocated";
    EXPECT_EQ(loudestBin(), 93);
    EXPECT_NEAR(spectrum[93], 0.5, 0.005);
}

TEST(MusicWithoutFile, RunsSilentWithTheSpectrumAtZero) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string scratch = enterScratchDirectory();
    startMusic();
    std::filesystem::remove_all(scratch);
    EXPECT_EQ(musicStream, nullptr);
    for (int tick = 0; tick < 5; ++tick) {
        sleepMs(20);
        fetchSpectrum();
    }
    expectSpectrumAllZero();
}

TEST(MusicWithoutDevice, RunsSilentWithTheSpectrumAtZero) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    const std::string scratch = enterScratchDirectory();
    writeSineWav("1.mp3", 93, 0.5, 22);
    startMusic();
    std::filesystem::remove_all(scratch);
    EXPECT_EQ(musicStream, nullptr);
    fetchSpectrum();
    expectSpectrumAllZero();
}
