#include "motion/music.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "motion/audio_format.h"
#include "motion/audio_tap.h"

Mix_Music* musicStream = nullptr;
float spectrum[SPECTRUM_SIZE] = {};

namespace {
const char MUSIC_FILE[] = "1.mp3";
const char OUTPUT_NAME[] = "default audio output";
constexpr int OUTPUT_RATE = 44100;
constexpr int OUTPUT_BUFFER_FRAMES = 1024;

float heardWindow[SPECTRUM_WINDOW];

// The one line a failure earns; the program says nothing else of its own.
void reportNoMusic(const char* what, const char* reason) {
    std::fprintf(stderr, "dancer: %s: %s; running without music\n", what, reason);
}

// The libraries below write diagnostics of their own to stderr: ALSA several lines when there is
// no sound card, SDL a warning about its disk driver. The program's one line says what matters.
void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void ignoreSdlLog(void*, int, SDL_LogPriority, const char*) {}

// Audio thread, when the mixer stops the music. Playing loops forever, so this only happens when
// the decoder runs dry: the file has shrunk or changed under it.
void reportMusicStopped() {
    const char* decoderError = Mix_GetError();
    char reason[512];
    std::snprintf(reason, sizeof reason, "playback stopped (%s)",
                  *decoderError != '\0' ? decoderError : "the decoder gave no more audio");
    reportNoMusic(MUSIC_FILE, reason);
}

// Post-mix callback, on the audio thread: the output exactly as the device receives it.
void tapOutput(void*, Uint8* stream, int bytes) {
    tapMixedOutput(reinterpret_cast<const float*>(stream),
                   bytes / static_cast<int>(2 * sizeof(float)));
}

const char* describeFileType(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory, not a file";
    if (S_ISFIFO(mode)) return "a pipe, not a file";
    if (S_ISCHR(mode)) return "a character device, not a file";
    if (S_ISBLK(mode)) return "a block device, not a file";
    if (S_ISSOCK(mode)) return "a socket, not a file";
    return "not a regular file";
}

struct Decoder {
    Mix_MusicType type;
    const char* name;
};

Decoder decoderFor(AudioFormat format) {
    switch (format) {
        case AudioFormat::Wav: return {MUS_WAV, "WAV"};
        case AudioFormat::Ogg: return {MUS_OGG, "Ogg Vorbis"};
        case AudioFormat::Flac: return {MUS_FLAC, "FLAC"};
        case AudioFormat::Mp3: break;
    }
    return {MUS_MP3, "MP3"};
}

// Opens the music file as a regular file and decodes it with the decoder its first bytes call
// for. Returns null after reporting why not.
Mix_Music* loadMusicFile() {
    // Without O_NONBLOCK a FIFO would block here until a writer came along.
    const int fd = open(MUSIC_FILE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reportNoMusic(MUSIC_FILE, std::strerror(errno));
        return nullptr;
    }
    // Asked of the open descriptor, so the file cannot be swapped between the check and the read.
    struct stat info;
    if (fstat(fd, &info) != 0) {
        reportNoMusic(MUSIC_FILE, std::strerror(errno));
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        reportNoMusic(MUSIC_FILE, describeFileType(info.st_mode));
        close(fd);
        return nullptr;
    }
    unsigned char head[SNIFF_BYTES];
    const ssize_t headLength = pread(fd, head, sizeof head, 0);
    if (headLength <= 0) {
        reportNoMusic(MUSIC_FILE, headLength == 0 ? "empty file" : std::strerror(errno));
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        reportNoMusic(MUSIC_FILE, std::strerror(errno));
        close(fd);
        return nullptr;
    }
    SDL_RWops* source = SDL_RWFromFP(file, SDL_TRUE);
    if (source == nullptr) {
        reportNoMusic(MUSIC_FILE, SDL_GetError());
        std::fclose(file);
        return nullptr;
    }
    // The type is given, so the mixer never guesses and never reaches its tracker or MIDI
    // decoders. It closes the source whether or not the load succeeds.
    const Decoder decoder = decoderFor(sniffAudioFormat(head, headLength));
    Mix_Music* music = Mix_LoadMUSType_RW(source, decoder.type, SDL_TRUE);
    if (music == nullptr) {
        char reason[512];
        std::snprintf(reason, sizeof reason, "not playable as %s (%s)", decoder.name,
                      Mix_GetError());
        reportNoMusic(MUSIC_FILE, reason);
    }
    return music;
}
}  // namespace

// The mixer decodes MP3 through libmpg123 without asking it to be quiet, and libmpg123 then prints
// notes about junk and damaged frames to stderr. The mixer gets its decoder handles through this
// definition, which stands in front of the library's and makes each handle quiet.
extern "C" mpg123_handle* mpg123_new(const char* decoder, int* error) {
    using NewHandle = mpg123_handle* (*)(const char*, int*);
    static const auto libraryNew = reinterpret_cast<NewHandle>(dlsym(RTLD_NEXT, "mpg123_new"));
    if (libraryNew == nullptr) {
        if (error != nullptr) *error = MPG123_ERR;
        return nullptr;
    }
    mpg123_handle* handle = libraryNew(decoder, error);
    if (handle != nullptr) {
        mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    }
    return handle;
}

void startMusic() {
    // Otherwise SDL takes SIGINT and SIGTERM for itself and the program no longer stops on them.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    snd_lib_error_set_handler(ignoreAlsaMessage);
    SDL_LogSetOutputFunction(ignoreSdlLog, nullptr);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        reportNoMusic(OUTPUT_NAME, SDL_GetError());
        return;
    }
    // No changes allowed: SDL converts to whatever the hardware wants, and the tap always sees
    // stereo float at 44100 Hz in buffers of OUTPUT_BUFFER_FRAMES.
    if (Mix_OpenAudioDevice(OUTPUT_RATE, AUDIO_F32SYS, 2, OUTPUT_BUFFER_FRAMES, nullptr, 0) != 0) {
        reportNoMusic(OUTPUT_NAME, Mix_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return;
    }
    Mix_Music* music = loadMusicFile();
    if (music != nullptr) {
        startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES);
        Mix_SetPostMix(tapOutput, nullptr);
        Mix_HookMusicFinished(reportMusicStopped);
        if (Mix_PlayMusic(music, -1) == 0) {
            musicStream = music;
            return;
        }
        reportNoMusic(MUSIC_FILE, Mix_GetError());
        Mix_FreeMusic(music);
    }
    // Nothing to play: give the device back rather than feed it silence for the whole run.
    Mix_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void fetchSpectrum() {
    if (musicStream == nullptr) {
        return;
    }
    readHeardWindow(heardWindow, SPECTRUM_WINDOW);
    analyseSpectrum(heardWindow, spectrum);
}
