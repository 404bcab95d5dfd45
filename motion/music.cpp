#include "motion/music.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "motion/audio_format.h"
#include "motion/audio_tap.h"

Mix_Music* musicStream = nullptr;
float spectrum[SPECTRUM_SIZE] = {};

namespace {
const char MUSIC_FILE[] = "1.mp3";
const char OUTPUT_NAME[] = "default audio output";
constexpr int OUTPUT_RATE = 44100;
constexpr int OUTPUT_BUFFER_FRAMES = 1024;
constexpr auto REOPEN_INTERVAL = std::chrono::seconds(2);

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

std::size_t readMusicFileAt(void* fd, std::uint64_t offset, unsigned char* into, std::size_t count) {
    const ssize_t got = pread(*static_cast<int*>(fd), into, count, static_cast<off_t>(offset));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

// The music file as the mixer reads it: through a view that hides its tags (audio_format.h). The
// mixer reads it on the audio thread, so nothing here allocates.
struct MusicFileView {
    int fd;
    DecoderView view;
    Sint64 position;  // in the view
};

MusicFileView& viewOf(SDL_RWops* source) {
    return *static_cast<MusicFileView*>(source->hidden.unknown.data1);
}

Sint64 viewSize(SDL_RWops* source) {
    const MusicFileView& file = viewOf(source);
    // Asked anew each time: the file may have shrunk or grown since it was opened.
    struct stat info;
    if (fstat(file.fd, &info) != 0) return SDL_SetError("%s", std::strerror(errno));
    const Sint64 start = static_cast<Sint64>(file.view.start);
    return info.st_size > start ? info.st_size - start : 0;
}

Sint64 viewSeek(SDL_RWops* source, Sint64 offset, int whence) {
    MusicFileView& file = viewOf(source);
    Sint64 base = 0;
    if (whence == RW_SEEK_CUR) {
        base = file.position;
    } else if (whence == RW_SEEK_END) {
        base = viewSize(source);
        if (base < 0) return -1;
    } else if (whence != RW_SEEK_SET) {
        return SDL_SetError("unknown seek origin");
    }
    if (offset < -base) return SDL_SetError("seek before the start");
    file.position = base + offset;
    return file.position;
}

std::size_t viewRead(SDL_RWops* source, void* into, std::size_t size, std::size_t count) {
    MusicFileView& file = viewOf(source);
    if (size == 0 || count > SIZE_MAX / size) return 0;
    auto* bytes = static_cast<unsigned char*>(into);
    const std::uint64_t from = file.view.start + static_cast<std::uint64_t>(file.position);
    std::size_t got = 0;
    while (got < size * count) {
        const std::size_t read = readMusicFileAt(&file.fd, from + got, bytes + got, size * count - got);
        if (read == 0) break;
        got += read;
    }
    for (int p = 0; p < file.view.patchCount; ++p) {
        const BytePatch& patch = file.view.patches[p];
        for (int i = 0; i < patch.count; ++i) {
            const std::uint64_t at = patch.offset + i;
            if (at >= from && at < from + got) bytes[at - from] = patch.bytes[i];
        }
    }
    file.position += static_cast<Sint64>(got);
    return got / size;
}

std::size_t viewWrite(SDL_RWops*, const void*, std::size_t, std::size_t) {
    SDL_SetError("the music file is read-only");
    return 0;
}

int viewClose(SDL_RWops* source) {
    MusicFileView* file = &viewOf(source);
    close(file->fd);
    delete file;
    SDL_FreeRW(source);
    return 0;
}

// Takes the descriptor over: it is closed with the view, or at once if no view can be made.
SDL_RWops* openView(int fd, const DecoderView& view) {
    SDL_RWops* source = SDL_AllocRW();
    if (source == nullptr) {
        close(fd);
        return nullptr;
    }
    source->size = viewSize;
    source->seek = viewSeek;
    source->read = viewRead;
    source->write = viewWrite;
    source->close = viewClose;
    source->type = SDL_RWOPS_UNKNOWN;
    source->hidden.unknown.data1 = new MusicFileView{fd, view, 0};
    return source;
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

void reportUnplayable(const Decoder& decoder, const char* why) {
    char reason[512];
    std::snprintf(reason, sizeof reason, "not playable as %s (%s)", decoder.name, why);
    reportNoMusic(MUSIC_FILE, reason);
}

// Opens the music file as a regular file and decodes it with the decoder its first bytes call
// for. Returns null after reporting why not.
Mix_Music* loadMusicFile() {
    // Without O_NONBLOCK a FIFO would block here until a writer came along.
    int fd = open(MUSIC_FILE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    const AudioFormat format = sniffAudioFormat(head, headLength);
    const Decoder decoder = decoderFor(format);
    const DecoderView view = viewForDecoder(format, readMusicFileAt, &fd);
    if (view.problem != nullptr) {
        reportUnplayable(decoder, view.problem);
        close(fd);
        return nullptr;
    }
    SDL_RWops* source = openView(fd, view);
    if (source == nullptr) {
        reportNoMusic(MUSIC_FILE, SDL_GetError());
        return nullptr;
    }
    // The type is given, so the mixer never guesses and never reaches its tracker or MIDI
    // decoders. It closes the source whether or not the load succeeds.
    Mix_Music* music = Mix_LoadMUSType_RW(source, decoder.type, SDL_TRUE);
    if (music == nullptr) reportUnplayable(decoder, Mix_GetError());
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

namespace {
// NOTE: once the output is lost, SDL keeps calling the mixer at the device's pace with nowhere for
// the sound to go, so buffers still arriving prove nothing. The device's removal event is what
// says it is gone.
//
// From a loss until the output is back, the mixer belongs to the thread that reopens it, and the
// GLUT thread only reads the tap and this flag. Closing a lost device takes tens of milliseconds
// and opening one can wait on a sound server, which no tick should. Quitting meanwhile is safe:
// the process ends with the thread, and none of the program's objects has a destructor to run.
bool outputLost = false;              // GLUT thread
std::atomic<bool> outputBack{false};  // set by the reopening thread when the music plays again

// Opens the default output; on failure says why if asked to.
bool openOutput(bool sayWhy) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        if (sayWhy) reportNoMusic(OUTPUT_NAME, SDL_GetError());
        return false;
    }
    // No changes allowed: SDL converts to whatever the hardware wants, and the tap always sees
    // stereo float at 44100 Hz in buffers of OUTPUT_BUFFER_FRAMES.
    if (Mix_OpenAudioDevice(OUTPUT_RATE, AUDIO_F32SYS, 2, OUTPUT_BUFFER_FRAMES, nullptr, 0) != 0) {
        if (sayWhy) reportNoMusic(OUTPUT_NAME, Mix_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    return true;
}

void closeOutput() {
    Mix_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// Starts the music at `seconds` into the track, or from its start where the decoder cannot seek.
bool playMusicFrom(double seconds) {
    Mix_SetPostMix(tapOutput, nullptr);
    Mix_HookMusicFinished(reportMusicStopped);
    return (seconds > 0 && Mix_FadeInMusicPos(musicStream, -1, 0, seconds) == 0) ||
           Mix_PlayMusic(musicStream, -1) == 0;
}

void closeAndReopenOutput(double resumeAt, bool musicWasPlaying) {
    closeOutput();
    // Music that had already stopped (its file shrank) has nothing to come back to.
    if (!musicWasPlaying) return;
    for (;;) {
        std::this_thread::sleep_for(REOPEN_INTERVAL);
        if (!openOutput(false)) continue;
        if (playMusicFrom(resumeAt)) break;
        closeOutput();
    }
    outputBack.store(true, std::memory_order_release);
}

// Reads the output's events. When it has gone: silence from now on, one line, and a thread that
// brings it back. When that thread is done: one line more.
void watchOutput() {
    if (outputLost) {
        if (outputBack.exchange(false, std::memory_order_acquire)) {
            outputLost = false;
            std::fprintf(stderr, "dancer: %s: back; music resumed\n", OUTPUT_NAME);
        }
        return;
    }
    SDL_Event events[8];
    int count;
    bool removed = false;
    Uint32 removedAtMs = 0;
    while ((count = SDL_PeepEvents(events, 8, SDL_GETEVENT, SDL_AUDIODEVICEADDED,
                                   SDL_AUDIODEVICEREMOVED)) > 0) {
        for (int i = 0; i < count; ++i) {
            // Devices that were never opened are reported as device 0.
            const SDL_AudioDeviceEvent& device = events[i].adevice;
            if (device.type == SDL_AUDIODEVICEREMOVED && device.which != 0 && !device.iscapture) {
                removed = true;
                removedAtMs = device.timestamp;
            }
        }
    }
    if (!removed) return;

    const char* driver = SDL_GetCurrentAudioDriver();
    char reason[128];
    std::snprintf(reason, sizeof reason, "the %s device went away", driver ? driver : "audio");
    reportNoMusic(OUTPUT_NAME, reason);
    // The decoder has run on since the loss, and the buffer the device held was never played.
    const double lostSeconds = (SDL_GetTicks() - removedAtMs) / 1000.0;
    const double resumeAt = Mix_GetMusicPosition(musicStream) - lostSeconds -
                            static_cast<double>(OUTPUT_BUFFER_FRAMES) / OUTPUT_RATE;
    const bool wasPlaying = Mix_PlayingMusic() != 0;
    Mix_HookMusicFinished(nullptr);
    Mix_SetPostMix(nullptr, nullptr);
    // Nothing handed over from now on is heard.
    startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES);
    outputLost = true;
    std::thread(closeAndReopenOutput, resumeAt > 0 ? resumeAt : 0.0, wasPlaying).detach();
}
}  // namespace

void startMusic() {
    // Otherwise SDL takes SIGINT and SIGTERM for itself and the program no longer stops on them.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    snd_lib_error_set_handler(ignoreAlsaMessage);
    SDL_LogSetOutputFunction(ignoreSdlLog, nullptr);
    if (!openOutput(true)) return;
    musicStream = loadMusicFile();
    if (musicStream != nullptr) {
        startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES);
        if (playMusicFrom(0)) return;
        reportNoMusic(MUSIC_FILE, Mix_GetError());
        Mix_FreeMusic(musicStream);
        musicStream = nullptr;
    }
    // Nothing to play: give the device back rather than feed it silence for the whole run.
    closeOutput();
}

void fetchSpectrum() {
    if (musicStream == nullptr) {
        return;
    }
    watchOutput();
    readHeardWindow(heardWindow, SPECTRUM_WINDOW);
    analyseSpectrum(heardWindow, spectrum);
}
