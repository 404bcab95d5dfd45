#include "motion/sound/output.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "motion/sound/audio_tap.h"
#include "motion/sound/library.h"
#include "motion/sound/messages.h"
#include "motion/sound/sound_server.h"
#include "motion/sound/tracks.h"

namespace {
constexpr int OUTPUT_BUFFER_FRAMES = 1024;

// The libraries below write diagnostics of their own to stderr: ALSA several lines when there is
// no sound card, SDL a warning about its disk driver. The program's one line says what matters.
void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void ignoreSdlLog(void*, int, SDL_LogPriority, const char*) {}

// Post-mix callback, on the audio thread: the output exactly as the device receives it.
void tapOutput(void*, Uint8* stream, int bytes) {
    tapMixedOutput(reinterpret_cast<const float*>(stream),
                   bytes / static_cast<int>(2 * sizeof(float)));
}

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
        if (atStart) reportUnplayable(AUDIO_OUTPUT, SDL_GetError(), false);
        return false;
    }
    // No changes allowed: SDL converts to whatever the hardware wants, and the tap always sees
    // stereo float at 44100 Hz in buffers of OUTPUT_BUFFER_FRAMES.
    if (Mix_OpenAudioDevice(OUTPUT_RATE, AUDIO_F32SYS, 2, OUTPUT_BUFFER_FRAMES, nullptr, 0) != 0) {
        if (atStart) reportUnplayable(AUDIO_OUTPUT, Mix_GetError(), false);
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

// The output's life once its sound server has gone. Closing a lost device takes tens of
// milliseconds and opening one can wait on a sound server, which no tick should: a worker thread
// does either, one at a time, touching only SDL's device. Everything else (the tracks, their
// music, the tap) is the GLUT thread's, which takes them off the mixer before the worker starts
// and puts them back once it is done.
enum class Output {
    Playing,  // open, and the server behind it watched
    Closing,  // lost, and being closed
    Waiting,  // closed; opened again once the server is there
    Opening,  // being opened again
    Silent,   // closed for good: the music had stopped, or its files have gone
};

Output output = Output::Playing;  // GLUT thread
double resumeAt = 0;              // seconds into the track, where the music goes on
bool resumeWanted = false;        // the music was playing when the server went
bool serverWentWhileOpening = false;
std::thread outputWork;
bool outputWorkOpened = false;  // the worker's, until outputWorkDone says it is done
std::atomic<bool> outputWorkDone{false};

void startOutputWork(bool (*work)()) {
    outputWorkDone.store(false, std::memory_order_relaxed);
    outputWork = std::thread([work] {
        outputWorkOpened = work();
        outputWorkDone.store(true, std::memory_order_release);
    });
}

// Whether the worker has finished, and has been joined: its outcome is then this thread's to read.
bool outputWorkFinished() {
    if (!outputWork.joinable()) return true;
    if (!outputWorkDone.load(std::memory_order_acquire)) return false;
    outputWork.join();
    return true;
}

bool closeLostOutput() {
    closeOutput();
    return false;
}

bool reopenOutput() {
    return openOutput(false);
}

// Hands the mixed output to the tap and the end of each track to the next, then plays.
void startTracksOnOutput(double seconds) {
    Mix_SetPostMix(tapOutput, nullptr);
    startTracks(seconds);
}

// Takes the tracks and the tap off the output, so that it can close.
void stopTracksOnOutput() {
    stopTracks();
    Mix_SetPostMix(nullptr, nullptr);
}

// The music has nowhere to go: the device is given back rather than fed silence for the rest of
// the run, and what is left of the listing stops.
void goSilent() {
    stopTracksOnOutput();
    output = Output::Closing;
    resumeWanted = false;
    startOutputWork(closeLostOutput);
    stopListing();
}

// When the sound server has gone: silence from now on, one line, and the output closed.
void noticeLoss() {
    const std::string reason =
        std::string("the ") + SDL_GetCurrentAudioDriver() + " device went away";
    reportUnplayable(AUDIO_OUTPUT, reason.c_str(), false);
    // A track the mixer's thread started since the last tick is the one to resume.
    tendTracks();
    // Noticed within a tick of the loss; the buffer the device held then was never played.
    const double position =
        decodedSeconds() - static_cast<double>(OUTPUT_BUFFER_FRAMES) / OUTPUT_RATE;
    resumeAt = position > 0 ? position : 0.0;
    resumeWanted = tracksLeft();
    // NOTE: the music cannot outlive the audio it was loaded for. With SDL 3 under SDL 2's name,
    // shutting audio down frees the converter the decoder feeds, and music kept across a reopen
    // plays silence; so it is freed here and loaded from its file again.
    stopTracksOnOutput();
    // Nothing handed over from now on is heard.
    startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES, OUTPUT_BUFFER_FRAMES);
    output = Output::Closing;
    startOutputWork(closeLostOutput);
}

// At exit: the threads that use the mixer stop first, and the hook goes before the device.
void stopMusic() {
    stopListing();
    if (outputWork.joinable()) outputWork.join();
    const bool open = output == Output::Playing || (output == Output::Opening && outputWorkOpened);
    if (!open) return;
    stopTracksOnOutput();
    closeOutput();
}

// The sound server behind the output just opened, if it has one, is watched to notice when it
// goes. SDL may play through one that does not speak the PulseAudio protocol, and then it is not.
void watchServerBehindOutput() {
    const char* driver = SDL_GetCurrentAudioDriver();
    if (driver != nullptr &&
        (std::strcmp(driver, "pulseaudio") == 0 || std::strcmp(driver, "pipewire") == 0)) {
        watchSoundServer();
    }
}
}  // namespace

bool startOutput() {
    // Otherwise SDL takes SIGINT and SIGTERM for itself and the program no longer stops on them.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    snd_lib_error_set_handler(ignoreAlsaMessage);
    SDL_LogSetOutputFunction(ignoreSdlLog, nullptr);
    if (!openOutput(true)) return false;
    startTap(OUTPUT_RATE, OUTPUT_BUFFER_FRAMES, OUTPUT_BUFFER_FRAMES);
    startTracksOnOutput(0);
    if (!tracksLeft()) {
        // Nothing to play: the device is given back rather than fed silence for the whole run.
        stopTracksOnOutput();
        closeOutput();
        output = Output::Silent;
        return false;
    }
    std::atexit(stopMusic);
    watchServerBehindOutput();
    return true;
}

void followSoundServer() {
    const WatchedServer server = pollSoundServer();
    switch (output) {
        case Output::Playing:
            if (server == WatchedServer::Gone) {
                noticeLoss();
            } else {
                tendTracks();
                if (!tracksLeft()) goSilent();
            }
            break;
        case Output::Closing:
            // Music that had already stopped (its file shrank) has nothing to come back to.
            if (outputWorkFinished()) output = resumeWanted ? Output::Waiting : Output::Silent;
            break;
        case Output::Waiting:
            if (server == WatchedServer::There) {
                serverWentWhileOpening = false;
                output = Output::Opening;
                startOutputWork(reopenOutput);
            }
            break;
        case Output::Opening:
            serverWentWhileOpening = serverWentWhileOpening || server == WatchedServer::Gone;
            if (!outputWorkFinished()) break;
            if (!outputWorkOpened) {
                output = Output::Waiting;
                watchSoundServerAgainLater();
            } else if (serverWentWhileOpening) {
                // It may have opened on the server that went: closed again, and opened once the
                // server is there, without a word.
                output = Output::Closing;
                startOutputWork(closeLostOutput);
            } else {
                output = Output::Playing;
                startTracksOnOutput(resumeAt);
                if (tracksLeft()) {
                    tellUser(AUDIO_OUTPUT, "back; music resumed");
                } else {
                    // The files have gone or changed, and said so; silence stays.
                    goSilent();
                }
            }
            break;
        case Output::Silent:
            break;
    }
}

OutputState outputState() {
    switch (output) {
        case Output::Playing: return OutputState::Open;
        case Output::Closing: return resumeWanted ? OutputState::Lost : OutputState::Gone;
        case Output::Silent: return OutputState::Gone;
        default: return OutputState::Lost;
    }
}
