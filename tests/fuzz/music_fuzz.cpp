// Everything the program does with the bytes of its music file, as one libFuzzer target: the bytes
// become ./1.mp3, startMusic sniffs, opens and loads them exactly as the program does, the mixer's
// own decoders play them through the post-mix hook into the tap, and fetchSpectrum analyses what
// the tap holds. The same entry point replays saved inputs in the GCC builds (replay_main.cpp).
//
// There is no sound device. The mixer's call to SDL_OpenAudioDevice is answered here instead of by
// SDL, and the mixer's audio callback is then called directly, a buffer at a time, in place of
// SDL's audio thread: decoding runs as fast as it can and the same input always plays the same.
#include <SDL.h>
#include <SDL_mixer.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "motion/music.h"

namespace {
constexpr SDL_AudioDeviceID FAKE_DEVICE = 0x7fffffff;
// Device buffers played per input, each a tick's worth of audio: about 1.1 s, enough for a short
// input to end and loop.
constexpr int BUFFERS_PER_INPUT = 48;

char scratch[] = "/tmp/dancer-fuzz-XXXXXX";

void removeScratch() {
    unlink("1.mp3");
    rmdir(scratch);
}

SDL_AudioCallback mixerCallback = nullptr;
void* mixerUserdata = nullptr;
SDL_AudioSpec deviceSpec;

// libFuzzer sees coverage only in code built with it, and the decoders are system libraries. These
// counters tell it what the decoder made of an input (format, how much sound, whether it stopped),
// so it keeps inputs that lead the decoders somewhere new.
__attribute__((section("__libfuzzer_extra_counters"))) std::uint8_t outcomes[2 * 4 * 16];

int log2Bucket(int count) {
    int bucket = 0;
    while (count > 0 && bucket < 15) {
        count >>= 1;
        ++bucket;
    }
    return bucket;
}

bool hasSound(const std::uint8_t* buffer, int bytes) {
    const auto* samples = reinterpret_cast<const float*>(buffer);
    for (int i = 0; i < bytes / static_cast<int>(sizeof(float)); ++i) {
        if (samples[i] != 0.0f) return true;
    }
    return false;
}

void expect(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stdout, "broken: %s\n", what);
        std::fflush(stdout);
        std::abort();
    }
}

// The program's own lines on stderr while it handled one input, each of which must be about the
// music file. libmpg123 writes some warnings about damaged frames whatever it is told; those are
// not the program's.
int programLinesIn(const char* text, std::size_t length, bool& allAboutTheFile) {
    int lines = 0;
    allAboutTheFile = true;
    for (std::size_t at = 0; at < length;) {
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
        const std::size_t next = end != nullptr ? end - text + 1 : length;
        if (std::strncmp(text + at, "dancer: ", 8) == 0) {
            ++lines;
            allAboutTheFile = allAboutTheFile && std::strncmp(text + at, "dancer: 1.mp3: ", 15) == 0;
        }
        at = next;
    }
    return lines;
}

void writeMusicFile(const std::uint8_t* data, std::size_t size) {
    FILE* out = std::fopen("1.mp3", "wb");
    expect(out != nullptr, "cannot write 1.mp3");
    expect(size == 0 || std::fwrite(data, 1, size, out) == size, "cannot write 1.mp3");
    std::fclose(out);
}
}  // namespace

// Answers the mixer's request for a device with exactly the format it asks for.
extern "C" SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int isCapture,
                                                 const SDL_AudioSpec* desired,
                                                 SDL_AudioSpec* obtained, int) {
    if (isCapture) return 0;
    deviceSpec = *desired;
    deviceSpec.silence = 0;
    deviceSpec.size = deviceSpec.samples * deviceSpec.channels * SDL_AUDIO_BITSIZE(desired->format) / 8;
    if (obtained != nullptr) *obtained = deviceSpec;
    mixerCallback = desired->callback;
    mixerUserdata = desired->userdata;
    return FAKE_DEVICE;
}
extern "C" void SDL_PauseAudioDevice(SDL_AudioDeviceID, int) {}
extern "C" void SDL_LockAudioDevice(SDL_AudioDeviceID) {}
extern "C" void SDL_UnlockAudioDevice(SDL_AudioDeviceID) {}
extern "C" void SDL_CloseAudioDevice(SDL_AudioDeviceID) {
    mixerCallback = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // SDL's audio subsystem is still initialised; the dummy driver makes that quick and quiet. As
    // in startMusic, SDL must leave SIGINT and SIGTERM alone, or nothing could stop the fuzzer.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    expect(mkdtemp(scratch) != nullptr && chdir(scratch) == 0, "no scratch directory");
    std::atexit(removeScratch);
    // Held open for the whole run, in the format startMusic asks for, so that each input's
    // startMusic and teardown only count references instead of reopening every decoder.
    expect(SDL_InitSubSystem(SDL_INIT_AUDIO) == 0, SDL_GetError());
    expect(Mix_OpenAudioDevice(44100, AUDIO_F32SYS, 2, 1024, nullptr, 0) == 0, Mix_GetError());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    writeMusicFile(data, size);

    char* said = nullptr;
    std::size_t saidLength = 0;
    FILE* const realStderr = stderr;
    stderr = open_memstream(&said, &saidLength);
    expect(stderr != nullptr, "no memory stream");

    startMusic();
    bool stopped = false;
    int buffersWithSound = 0;
    if (musicStream != nullptr) {
        expect(mixerCallback != nullptr, "the mixer did not open the device");
        static std::uint8_t buffer[1 << 16];
        expect(deviceSpec.size <= sizeof buffer, "device buffer too large");
        for (int i = 0; i < BUFFERS_PER_INPUT; ++i) {
            mixerCallback(mixerUserdata, buffer, static_cast<int>(deviceSpec.size));
            if (hasSound(buffer, static_cast<int>(deviceSpec.size))) ++buffersWithSound;
            fetchSpectrum();
            for (float value : spectrum) {
                expect(std::isfinite(value) && value >= 0, "spectrum value not finite or negative");
            }
        }
        stopped = Mix_PlayingMusic() == 0;
    }

    std::fclose(stderr);
    stderr = realStderr;
    // One line when nothing plays; while it plays, one line only if it stopped.
    const int expectedLines = musicStream == nullptr ? 1 : (stopped ? 1 : 0);
    bool aboutTheFile = true;
    const bool saidRight =
        programLinesIn(said, saidLength, aboutTheFile) == expectedLines && aboutTheFile;
    if (!saidRight) std::fprintf(stdout, "said: %.*s\n", static_cast<int>(saidLength), said);
    std::free(said);
    expect(saidRight, "not exactly the one line expected on stderr");

    const int format = size >= 4 && std::memcmp(data, "RIFF", 4) == 0   ? 1
                       : size >= 4 && std::memcmp(data, "OggS", 4) == 0 ? 2
                       : size >= 4 && std::memcmp(data, "fLaC", 4) == 0 ? 3
                                                                        : 0;
    ++outcomes[(stopped ? 64 : 0) + format * 16 + log2Bucket(buffersWithSound)];

    if (musicStream != nullptr) {
        // Halting calls the hook, which would report a stop the program never makes.
        Mix_HookMusicFinished(nullptr);
        Mix_HaltMusic();
        Mix_FreeMusic(musicStream);
        musicStream = nullptr;
        Mix_CloseAudio();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    std::memset(spectrum, 0, sizeof spectrum);
    return 0;
}
