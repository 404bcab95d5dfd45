#include "motion/music.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <alsa/asoundlib.h>
#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/mainloop.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "motion/audio_tap.h"
#include "motion/music_file.h"

float spectrum[SPECTRUM_SIZE] = {};

namespace {
// What plays: set by startMusic, null when nothing could be started, and loaded anew when a lost
// output comes back. Should the file stop decoding later (it shrank while playing), it stays set
// and the spectrum falls to the silence that is then heard.
Mix_Music* musicStream = nullptr;
const char OUTPUT_NAME[] = "default audio output";
constexpr int OUTPUT_RATE = 44100;
constexpr int OUTPUT_BUFFER_FRAMES = 1024;
constexpr auto REOPEN_INTERVAL = std::chrono::seconds(2);

float heardWindow[SPECTRUM_WINDOW];

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

// From a loss until the output is back, the mixer and its music belong to the thread that reopens
// it, and the GLUT thread only reads the tap and this flag. Closing a lost device takes tens of
// milliseconds and opening one can wait on a sound server, which no tick should. Quitting meanwhile
// is safe: the process ends with the thread, and none of the program's objects has a destructor.
bool outputLost = false;              // GLUT thread
std::atomic<bool> outputBack{false};  // set by the reopening thread when the music plays again

// Opens the default output. SDL plays through the PulseAudio protocol wherever a server speaks it
// (PulseAudio and PipeWire's PulseAudio service both do): a stream there follows the server's
// default output wherever it moves, also from the placeholder a restarted server offers before its
// sound cards are back, where SDL 3's own PipeWire driver would stay. Only at start, with no such
// server, may SDL choose another way to play, and only then is a failure said; after a loss, the
// server that went is the one waited for. A user's SDL_AUDIODRIVER wins over both.
bool openOutput(bool atStart) {
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen == nullptr || *chosen == '\0') {
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "pulseaudio", SDL_HINT_OVERRIDE);
    }
    bool ready = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (!ready && atStart) {
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        ready = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    }
    if (!ready) {
        if (atStart) reportNoMusic(OUTPUT_NAME, SDL_GetError());
        return false;
    }
    // No changes allowed: SDL converts to whatever the hardware wants, and the tap always sees
    // stereo float at 44100 Hz in buffers of OUTPUT_BUFFER_FRAMES.
    if (Mix_OpenAudioDevice(OUTPUT_RATE, AUDIO_F32SYS, 2, OUTPUT_BUFFER_FRAMES, nullptr, 0) != 0) {
        if (atStart) reportNoMusic(OUTPUT_NAME, Mix_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    return true;
}

// Shutting SDL's audio down as well is what lets a new output reach a sound server that has
// restarted: SDL 2.32 and SDL 3 keep their first connection to it for as long as audio is up.
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
    // NOTE: the music cannot outlive the audio it was loaded for. With SDL 3 under SDL 2's name,
    // shutting audio down frees the converter the decoder feeds, and music kept across a reopen
    // plays silence; so it is freed first and loaded from the file again.
    Mix_FreeMusic(musicStream);
    musicStream = nullptr;
    closeOutput();
    // Music that had already stopped (its file shrank) has nothing to come back to.
    if (!musicWasPlaying) return;
    do {
        std::this_thread::sleep_for(REOPEN_INTERVAL);
    } while (!openOutput(false));
    musicStream = loadMusicFile();
    if (musicStream == nullptr || !playMusicFrom(resumeAt)) {
        // The file has gone or changed, and said so; silence stays.
        closeOutput();
        return;
    }
    outputBack.store(true, std::memory_order_release);
}

// NOTE: SDL does not say that the output has gone on every version and server. Once a sound server
// dies, some go on calling the mixer at the device's pace with nowhere for the sound to go, others
// stop calling it; some send a removal event, others none or one for no device in particular, and
// some report the device as playing. What tells on all of them is a connection of our own to the
// server, which PulseAudio and PipeWire's PulseAudio service both serve: it fails when the server
// goes. It is polled on the GLUT thread and never waited on.
pa_mainloop* serverLoop = nullptr;
pa_context* serverLink = nullptr;  // null: no server is watched
bool serverLinkReady = false;      // it was connected, so a failure now means the server went

// Watches the sound server behind the output just opened, if it has one. A server that cannot be
// reached is not a loss: SDL may play through one that does not speak the PulseAudio protocol.
void watchSoundServer() {
    const char* driver = SDL_GetCurrentAudioDriver();
    if (driver == nullptr ||
        (std::strcmp(driver, "pulseaudio") != 0 && std::strcmp(driver, "pipewire") != 0)) {
        return;
    }
    if (serverLoop == nullptr) serverLoop = pa_mainloop_new();
    serverLink = pa_context_new(pa_mainloop_get_api(serverLoop), "dancer output watch");
    serverLinkReady = false;
    if (serverLink != nullptr &&
        pa_context_connect(serverLink, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_context_unref(serverLink);
        serverLink = nullptr;
    }
}

bool soundServerGone() {
    if (serverLink == nullptr) return false;
    pa_mainloop_iterate(serverLoop, 0, nullptr);
    const pa_context_state_t state = pa_context_get_state(serverLink);
    if (state == PA_CONTEXT_READY) serverLinkReady = true;
    if (PA_CONTEXT_IS_GOOD(state)) return false;
    pa_context_unref(serverLink);
    serverLink = nullptr;
    return serverLinkReady;
}

// When the sound server has gone: silence from now on, one line, and a thread that brings it back.
void noticeLoss() {
    if (!soundServerGone()) return;
    char reason[128];
    std::snprintf(reason, sizeof reason, "the %s device went away", SDL_GetCurrentAudioDriver());
    reportNoMusic(OUTPUT_NAME, reason);
    // Noticed within a tick of the loss; the buffer the device held then was never played.
    const double resumeAt = Mix_GetMusicPosition(musicStream) -
                            static_cast<double>(OUTPUT_BUFFER_FRAMES) / OUTPUT_RATE;
    const bool wasPlaying = Mix_PlayingMusic() != 0;
    Mix_HookMusicFinished(nullptr);
    Mix_SetPostMix(nullptr, nullptr);
    // Nothing handed over from now on is heard.
    startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES);
    outputLost = true;
    std::thread(closeAndReopenOutput, resumeAt > 0 ? resumeAt : 0.0, wasPlaying).detach();
}

// When that thread is done: one line more, and the server behind the new output is watched.
void noticeReturn() {
    if (!outputBack.exchange(false, std::memory_order_acquire)) return;
    outputLost = false;
    std::fprintf(stderr, "dancer: %s: back; music resumed\n", OUTPUT_NAME);
    watchSoundServer();
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
        if (playMusicFrom(0)) {
            watchSoundServer();
            return;
        }
        reportNoMusic(MUSIC_FILE, Mix_GetError());
        Mix_FreeMusic(musicStream);
        musicStream = nullptr;
    }
    // Nothing to play: give the device back rather than feed it silence for the whole run.
    closeOutput();
}

void fetchSpectrum() {
    if (outputLost) {
        noticeReturn();
    } else if (musicStream != nullptr) {
        noticeLoss();
    } else {
        return;
    }
    readHeardWindow(heardWindow, SPECTRUM_WINDOW);
    analyseSpectrum(heardWindow, spectrum);
}
